// Connection I/O of the Windows server: Winsock calls on a TCP socket; on a
// named-pipe instance (opened for overlapped I/O, so that another thread can
// cancel it) each call is started overlapped and waited for at once.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "common/unique_handle_windows.hpp"
#include "net/gathered_send.hpp"
#include "net/spinning_receive.hpp"
#include "peer_io.hpp"

namespace quelt::server {
namespace {

constexpr std::size_t kLargestCall = 1u << 30;

net::NativeSocket socket_of(Peer peer) { return static_cast<net::NativeSocket>(peer.handle); }
HANDLE pipe_of(Peer peer) { return reinterpret_cast<HANDLE>(peer.handle); }

// The calling thread's event for waiting on its own overlapped calls.
HANDLE thread_event() {
    thread_local UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.get();
}

// Bytes moved by one overlapped ReadFile or WriteFile, waited for; -1 on failure.
long long pipe_call(Peer peer, bool reading, std::uint8_t* data, std::size_t size) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = thread_event();
    const auto length = static_cast<DWORD>(std::min(size, kLargestCall));
    DWORD moved = 0;
    BOOL done = reading ? ::ReadFile(pipe_of(peer), data, length, &moved, &overlapped)
                        : ::WriteFile(pipe_of(peer), data, length, &moved, &overlapped);
    if (!done && ::GetLastError() == ERROR_IO_PENDING) done = ::GetOverlappedResult(pipe_of(peer), &overlapped, &moved, TRUE);
    return done ? static_cast<long long>(moved) : -1;
}

bool send_piece(Peer peer, const iovec& piece) {
    auto* data = static_cast<std::uint8_t*>(piece.iov_base);
    std::size_t left = piece.iov_len;
    while (left != 0) {
        const long long sent = pipe_call(peer, false, data, left);
        if (sent <= 0) return false;
        data += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

bool send_all(Peer peer, std::span<iovec> pieces) {
    if (peer.local) {
        for (const iovec& piece : pieces)
            if (!send_piece(peer, piece)) return false;
        return true;
    }
    return net::send_gathered(socket_of(peer), pieces).has_value();
}

std::size_t receive_some(Peer peer, std::uint8_t* into, std::size_t capacity, SpinWindow& spin) {
    if (peer.local) {  // a pipe has no readiness to spin on
        const long long got = pipe_call(peer, true, into, capacity);
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    const net::Received got = net::receive_spinning(socket_of(peer), into, capacity, spin);
    return got ? *got : 0;
}

void abort_connection(Peer peer) {
    if (peer.local) {
        // The client's next read fails at once: the pipe is no longer connected.
        ::DisconnectNamedPipe(pipe_of(peer));
        return;
    }
    linger immediate{1, 0};
    ::setsockopt(socket_of(peer), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&immediate), sizeof immediate);
}

void shut_down(Peer peer) {
    if (peer.local) {
        ::DisconnectNamedPipe(pipe_of(peer));
    } else {
        ::shutdown(socket_of(peer), SD_BOTH);
    }
    // A thread blocked in a read right now wakes with "operation aborted".
    ::CancelIoEx(reinterpret_cast<HANDLE>(peer.handle), nullptr);
}

}  // namespace quelt::server
