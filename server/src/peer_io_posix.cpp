#include "peer_io.hpp"

#include <sys/socket.h>

#include "net/gathered_send.hpp"
#include "net/spinning_receive.hpp"

namespace quelt::server {
namespace {

net::NativeSocket socket_of(Peer peer) { return static_cast<net::NativeSocket>(peer.handle); }

}  // namespace

bool send_all(Peer peer, std::span<iovec> pieces) { return net::send_gathered(socket_of(peer), pieces).has_value(); }

std::size_t receive_some(Peer peer, std::uint8_t* into, std::size_t capacity, SpinWindow& spin) {
    // On a Unix socket the read sleeps in poll(), which wakes for data only;
    // recv() there also wakes whenever the client reads a reply.
    const net::SleepingReceive sleep = peer.local ? net::receive_when_readable : net::blocking_receive;
    for (;;) {
        net::Received got = net::receive_spinning(socket_of(peer), into, capacity, spin, sleep);
        if (got) return *got;
        if (!interrupted(got.error())) return 0;
    }
}

void abort_connection(Peer peer) {
    linger immediate{1, 0};
    ::setsockopt(socket_of(peer), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

void shut_down(Peer peer) { ::shutdown(socket_of(peer), SHUT_RDWR); }

}  // namespace quelt::server
