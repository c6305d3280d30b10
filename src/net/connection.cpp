#include "net/connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/os_error.hpp"

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
    if (!read_ahead_.empty()) {
        const std::size_t taken = std::min(capacity, read_ahead_.size());
        std::memcpy(into, read_ahead_.data(), taken);
        read_ahead_.erase(read_ahead_.begin(), read_ahead_.begin() + static_cast<std::ptrdiff_t>(taken));
        return taken;
    }
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
    constexpr std::size_t kHeader = wire::ReplyFrameHeader::kSize;
    ReplyFrame frame;
    wire::ByteBuffer& buffer = frame.bytes;
    buffer.reserve(kFirstReadSize);
    std::size_t filled = 0;
    while (filled < kHeader) {
        auto got = receive_some(buffer.data() + filled, buffer.capacity() - filled);
        if (!got) return std::unexpected(got.error());
        filled += *got;
    }
    const auto header = wire::ReplyFrameHeader::read(std::span<const std::uint8_t, kHeader>(buffer.data(), kHeader));
    frame.reply_code = header.reply_code;
    const std::size_t total = kHeader + header.body_length;
    if (filled > total) {  // the start of the next frame: keep it for the next read
        read_ahead_.insert(read_ahead_.begin(), buffer.data() + total, buffer.data() + filled);
        filled = total;
    }
    if (filled < total) buffer.reserve(std::min(total, kHeader + kBodyUpFrontLimit));
    while (filled < total) {
        if (filled == buffer.capacity()) buffer.reserve(std::min(total, filled * 2));
        auto got = receive_some(buffer.data() + filled, std::min(total, buffer.capacity()) - filled);
        if (!got) return std::unexpected(got.error());
        filled += *got;
    }
    buffer.resize(total);
    return frame;
}

}  // namespace quelt::net
