#include "socket_io.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>

namespace quelt::server {

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
