#include "socket_io.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quelt::server {
namespace {

constexpr std::size_t kFirstReservation = 1 << 20;

ssize_t read_some(int fd, std::uint8_t* at, std::size_t count) {
    for (;;) {
        ssize_t got = ::recv(fd, at, count, 0);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

bool read_exact(int fd, std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t got = read_some(fd, buffer.data() + filled, buffer.size() - filled);
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

bool read_into(int fd, wire::ByteBuffer& buffer, std::size_t length) {
    std::size_t filled = 0;
    while (filled < length) {
        // The buffer grows only ahead of bytes that actually arrived, and it
        // never shrinks: steady traffic reuses it as it is.
        if (buffer.size() < length) {
            std::size_t target = std::min(length, std::max({kFirstReservation, buffer.size(), filled * 2}));
            if (buffer.size() < target) buffer.resize(target);
        }
        std::size_t upto = std::min(length, buffer.size());
        if (!read_exact(fd, buffer.span().subspan(filled, upto - filled))) return false;
        filled = upto;
    }
    return true;
}

bool send_all(int fd, std::span<iovec> pieces) {
    std::size_t first = 0;
    while (first < pieces.size()) {
        msghdr message{};
        message.msg_iov = pieces.data() + first;
        message.msg_iovlen = std::min<std::size_t>(pieces.size() - first, IOV_MAX);
        ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (sent == 0) return false;
        auto left = static_cast<std::size_t>(sent);
        while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<std::uint8_t*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return true;
}

void abort_connection(int fd) {
    linger immediate{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

}  // namespace quelt::server
