#include "net/spinning_receive.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace quelt::net {
namespace {

using Clock = std::chrono::steady_clock;

bool would_block(ssize_t got) noexcept { return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK); }

}  // namespace

ssize_t blocking_receive(int fd, std::uint8_t* into, std::size_t capacity) noexcept {
    return ::recv(fd, into, capacity, 0);
}

ssize_t receive_when_readable(int fd, std::uint8_t* into, std::size_t capacity) noexcept {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, -1) < 0) return -1;  // EINTR included: the caller retries
    return ::recv(fd, into, capacity, 0);
}

SleepingReceive sleeping_receive_for(int fd) noexcept {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const bool unix_socket =
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX;
    return unix_socket ? receive_when_readable : blocking_receive;
}

ssize_t receive_spinning(int fd, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                         SleepingReceive sleep) noexcept {
    const SpinWindow::Duration spin = window.next_spin();
    if (spin == SpinWindow::Duration::zero()) {
        // Replies come late on this connection: sleep at once, as a plain
        // blocking read does, and only note how long the bytes took.
        const auto began = Clock::now();
        const ssize_t got = sleep(fd, into, capacity);
        window.learn(Clock::now() - began);
        return got;
    }
    // Bytes already there (the rest of a reply, say) say nothing of how long
    // this peer takes: only a read that has to wait teaches the window.
    ssize_t got = ::recv(fd, into, capacity, MSG_DONTWAIT);
    if (!would_block(got)) return got;
    const auto began = Clock::now();
    const auto deadline = began + spin;
    // Readiness is watched with poll(), which leaves the socket unlocked: a
    // spinning recv() would hold the lock that the arriving bytes need.
    pollfd readable{fd, POLLIN, 0};
    do {
        ::sched_yield();
        if (::poll(&readable, 1, 0) > 0) {
            got = ::recv(fd, into, capacity, MSG_DONTWAIT);
            if (!would_block(got)) {
                window.learn(Clock::now() - began);
                return got;
            }
        }
    } while (Clock::now() < deadline);
    got = sleep(fd, into, capacity);
    window.learn(Clock::now() - began);
    return got;
}

}  // namespace quelt::net
