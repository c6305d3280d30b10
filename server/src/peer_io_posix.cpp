#include "peer_io.hpp"

#include <sys/socket.h>

#include <climits>

#include <algorithm>
#include <cerrno>

#include "net/spinning_receive.hpp"

namespace quelt::server {
namespace {

int fd_of(Peer peer) { return static_cast<int>(peer.handle); }

}  // namespace

bool send_all(Peer peer, std::span<iovec> pieces) {
    std::size_t first = 0;
    while (first < pieces.size()) {
        msghdr message{};
        message.msg_iov = pieces.data() + first;
        message.msg_iovlen = std::min<std::size_t>(pieces.size() - first, IOV_MAX);
        ssize_t sent = ::sendmsg(fd_of(peer), &message, MSG_NOSIGNAL);
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

std::size_t receive_some(Peer peer, std::uint8_t* into, std::size_t capacity, SpinWindow& spin) {
    // On a Unix socket the read sleeps in poll(), which wakes for data only;
    // recv() there also wakes whenever the client reads a reply.
    const net::SleepingReceive sleep = peer.local ? net::receive_when_readable : net::blocking_receive;
    for (;;) {
        const ssize_t got = net::receive_spinning(fd_of(peer), into, capacity, spin, sleep);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got == 0 || errno != EINTR) return 0;
    }
}

void abort_connection(Peer peer) {
    linger immediate{1, 0};
    ::setsockopt(fd_of(peer), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

void shut_down(Peer peer) { ::shutdown(fd_of(peer), SHUT_RDWR); }

}  // namespace quelt::server
