#include "net/connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "common/os_error.hpp"
#include "transport/frame_header.hpp"

namespace quelt::net {

ExchangeError io_error_from_errno(int code) { return {ExchangeError::Kind::Io, os_error_text(code), code}; }
ExchangeError io_error(const char* text) { return {ExchangeError::Kind::Io, text, 0}; }

ExchangeResult<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(io_error_from_errno(errno));
        }
        if (sent == 0) return std::unexpected(io_error(kFailedToWrite));
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return {};
}

ExchangeResult<std::size_t> Connection::receive_some(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::recv(socket_.get(), into, capacity, 0);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got == 0) return std::unexpected(io_error(kFailedToFill));
        if (errno != EINTR) return std::unexpected(io_error_from_errno(errno));
    }
}

ExchangeResult<void> Connection::read_exact(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
        auto got = receive_some(bytes.data(), bytes.size());
        if (!got) return std::unexpected(got.error());
        bytes = bytes.subspan(*got);
    }
    return {};
}

ExchangeResult<ReplyFrame> Connection::read_reply() {
    std::uint8_t header_bytes[wire::ReplyFrameHeader::kSize];
    if (auto read = read_exact(header_bytes); !read) return std::unexpected(read.error());
    const auto header = wire::ReplyFrameHeader::read(header_bytes);

    ReplyFrame frame{header.reply_code, {}};
    const std::size_t length = header.body_length;
    frame.body.reserve(std::min(length, kBodyUpFrontLimit));
    std::size_t filled = 0;
    while (filled < length) {
        if (filled == frame.body.capacity()) frame.body.reserve(std::min(length, filled * 2));
        auto got = receive_some(frame.body.data() + filled, std::min(length, frame.body.capacity()) - filled);
        if (!got) return std::unexpected(got.error());
        filled += *got;
    }
    frame.body.resize(length);
    return frame;
}

}  // namespace quelt::net
