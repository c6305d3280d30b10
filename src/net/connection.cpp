#include "net/connection.hpp"

#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/os_error.hpp"

namespace quelt::net {

ExchangeError io_error_from_errno(int code) { return {ExchangeError::Kind::Io, os_error_text(code), code}; }
ExchangeError io_error(const char* text) { return {ExchangeError::Kind::Io, text, 0}; }

ExchangeResult<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return quelt::unexpected(io_error_from_errno(errno));
        }
        if (sent == 0) return quelt::unexpected(io_error(kFailedToWrite));
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return {};
}

ExchangeResult<void> Connection::write_all(std::span<const std::span<const std::uint8_t>> pieces) {
    if (pieces.size() == 1) return write_all(pieces.front());
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (auto piece : pieces)
        if (!piece.empty()) vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < vectors.size()) {
        msghdr message{};
        message.msg_iov = vectors.data() + first;
        message.msg_iovlen = std::min<std::size_t>(vectors.size() - first, IOV_MAX);
        ssize_t sent = ::sendmsg(socket_.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return quelt::unexpected(io_error_from_errno(errno));
        }
        if (sent == 0) return quelt::unexpected(io_error(kFailedToWrite));
        // A short write: resume inside the piece the kernel stopped in.
        auto left = static_cast<std::size_t>(sent);
        while (left != 0 && left >= vectors[first].iov_len) left -= vectors[first++].iov_len;
        if (left != 0) {
            vectors[first].iov_base = static_cast<std::uint8_t*>(vectors[first].iov_base) + left;
            vectors[first].iov_len -= left;
        }
    }
    return {};
}

ExchangeResult<std::size_t> Connection::receive(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        const ssize_t got = receive_spinning(socket_.get(), into, capacity, spin_, sleep_);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got == 0) return quelt::unexpected(io_error(kFailedToFill));
        if (errno != EINTR) return quelt::unexpected(io_error_from_errno(errno));
    }
}

ExchangeResult<void> Connection::read_exact(std::span<std::uint8_t> bytes) {
    const std::size_t early = std::min(bytes.size(), buffered());
    if (early != 0) {
        std::memcpy(bytes.data(), read_ahead_.data() + read_from_, early);
        read_from_ += early;
        bytes = bytes.subspan(early);
    }
    while (!bytes.empty()) {
        auto got = receive(bytes.data(), bytes.size());
        if (!got) return quelt::unexpected(got.error());
        bytes = bytes.subspan(*got);
    }
    return {};
}

ExchangeResult<std::span<const std::uint8_t>> Connection::peek_exact(std::size_t count) {
    if (buffered() < count) {
        if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
        if (read_from_ != 0) {  // keep the waiting bytes at the front, so room follows them
            std::memmove(read_ahead_.data(), read_ahead_.data() + read_from_, buffered());
            read_to_ -= read_from_;
            read_from_ = 0;
        }
        while (read_to_ < count) {
            auto got = receive(read_ahead_.data() + read_to_, kReadAheadSize - read_to_);
            if (!got) return quelt::unexpected(got.error());
            read_to_ += *got;
        }
    }
    return std::span<const std::uint8_t>(read_ahead_.data() + read_from_, count);
}

ExchangeResult<void> Connection::skip(std::size_t count) {
    const std::size_t early = std::min(count, buffered());
    read_from_ += early;
    count -= early;
    if (count == 0) return {};
    // Nothing is buffered now: read the rest into the read-ahead room, never
    // past the bytes that are dropped.
    if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
    read_from_ = read_to_ = 0;
    while (count != 0) {
        auto got = receive(read_ahead_.data(), std::min(count, kReadAheadSize));
        if (!got) return quelt::unexpected(got.error());
        count -= *got;
    }
    return {};
}

}  // namespace quelt::net
