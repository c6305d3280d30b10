// Connection I/O on POSIX: every stream is a socket descriptor.
#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/os_error.hpp"
#include "net/connection.hpp"

namespace quelt::net {

// close() is not retried on EINTR: on Linux the descriptor is gone either way.
void StreamHandle::close() noexcept {
    if (valid()) ::close(static_cast<int>(value_));
    value_ = kNone;
}

Error io_error_from_errno(int code) { return Error::os(ErrorKind::Connection, code, os_error_text(code)); }
Error io_error(const char* text) { return Error::io(text); }

Result<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    request_sent();
    while (!bytes.empty()) {
        const ssize_t sent = ::send(static_cast<int>(stream_.get()), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return quelt::unexpected(io_error_from_errno(errno));
        }
        if (sent == 0) return quelt::unexpected(io_error(kFailedToWrite));
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return {};
}

Result<void> Connection::write_all(std::span<const std::span<const std::uint8_t>> pieces) {
    if (pieces.size() == 1) return write_all(pieces.front());
    request_sent();
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (auto piece : pieces)
        if (!piece.empty()) vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < vectors.size()) {
        msghdr message{};
        message.msg_iov = vectors.data() + first;
        message.msg_iovlen = std::min<std::size_t>(vectors.size() - first, IOV_MAX);
        ssize_t sent = ::sendmsg(static_cast<int>(stream_.get()), &message, MSG_NOSIGNAL);
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

Result<std::size_t> Connection::receive(std::uint8_t* into, std::size_t capacity) {
    SpinWindow& window = window_for_read();
    for (;;) {
        const ssize_t got = receive_spinning(static_cast<int>(stream_.get()), into, capacity, window, sleep_);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got == 0) return quelt::unexpected(io_error(kFailedToFill));
        if (errno != EINTR) return quelt::unexpected(io_error_from_errno(errno));
    }
}

}  // namespace quelt::net
