// The spinning receive over Winsock. `fd` carries a SOCKET: Windows keeps
// its handles meaningful in 32 bits, so the int holds it whole. A failure
// returns -1 with errno set to EIO, which no caller retries; the Winsock
// code stays in WSAGetLastError() for the caller to report.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "net/spinning_receive.hpp"

namespace quelt::net {
namespace {

using Clock = std::chrono::steady_clock;

SOCKET socket_of(int fd) noexcept { return static_cast<SOCKET>(static_cast<std::intptr_t>(fd)); }

ssize_t received(int got) noexcept {
    if (got != SOCKET_ERROR) return got;
    errno = EIO;
    return -1;
}

// True if bytes (or the end of the stream) wait to be read; -1 if polling failed.
int readable_within(int fd, int milliseconds) noexcept {
    WSAPOLLFD readable{socket_of(fd), POLLRDNORM, 0};
    const int ready = ::WSAPoll(&readable, 1, milliseconds);
    return ready == SOCKET_ERROR ? -1 : ready;
}

}  // namespace

ssize_t blocking_receive(int fd, std::uint8_t* into, std::size_t capacity) noexcept {
    const int wanted = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
    return received(::recv(socket_of(fd), reinterpret_cast<char*>(into), wanted, 0));
}

ssize_t receive_when_readable(int fd, std::uint8_t* into, std::size_t capacity) noexcept {
    if (readable_within(fd, -1) < 0) return received(SOCKET_ERROR);
    return blocking_receive(fd, into, capacity);
}

// Only TCP sockets come here (the named pipe has I/O of its own), and a
// reader blocked in recv() on a TCP socket wakes for data only.
SleepingReceive sleeping_receive_for(int) noexcept { return blocking_receive; }

ssize_t receive_spinning(int fd, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                         SleepingReceive sleep) noexcept {
    const SpinWindow::Duration spin = window.next_spin();
    if (spin == SpinWindow::Duration::zero()) {
        const auto began = Clock::now();
        const ssize_t got = sleep(fd, into, capacity);
        window.learn(Clock::now() - began);
        return got;
    }
    // Bytes already there (the rest of a reply, say) say nothing of how long
    // this peer takes: only a read that has to wait teaches the window.
    int ready = readable_within(fd, 0);
    if (ready < 0) return received(SOCKET_ERROR);
    if (ready > 0) return blocking_receive(fd, into, capacity);
    const auto began = Clock::now();
    const auto deadline = began + spin;
    do {
        ::SwitchToThread();
        ready = readable_within(fd, 0);
        if (ready < 0) return received(SOCKET_ERROR);
        if (ready > 0) {
            window.learn(Clock::now() - began);
            return blocking_receive(fd, into, capacity);
        }
    } while (Clock::now() < deadline);
    const ssize_t got = sleep(fd, into, capacity);
    window.learn(Clock::now() - began);
    return got;
}

}  // namespace quelt::net
