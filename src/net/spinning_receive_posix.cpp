// The spin's system calls on POSIX.
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/spinning_receive.hpp"

namespace quelt::net {
namespace {

Received received(ssize_t got) {
    if (got < 0) return quelt::unexpected(last_socket_error());
    return static_cast<std::size_t>(got);
}

}  // namespace

Received blocking_receive(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    return received(::recv(socket, into, capacity, 0));
}

Received receive_when_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    pollfd readable{socket, POLLIN, 0};
    if (::poll(&readable, 1, -1) < 0) return quelt::unexpected(last_socket_error());  // EINTR: the caller retries
    return blocking_receive(socket, into, capacity);
}

SleepingReceive sleeping_receive_for(NativeSocket socket) noexcept {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const bool unix_socket =
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX;
    return unix_socket ? receive_when_readable : blocking_receive;
}

namespace spin_calls {

Received receive_now(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    const ssize_t got = ::recv(socket, into, capacity, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
    return received(got);
}

// Readiness is watched with poll(), which leaves the socket unlocked: a
// spinning recv() would hold the lock that the arriving bytes need.
Received receive_if_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    pollfd readable{socket, POLLIN, 0};
    if (::poll(&readable, 1, 0) <= 0) return kNothingYet;
    return receive_now(socket, into, capacity);
}

void yield_processor() noexcept { ::sched_yield(); }

}  // namespace spin_calls

}  // namespace quelt::net
