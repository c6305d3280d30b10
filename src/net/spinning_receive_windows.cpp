// The spin's system calls over Winsock. A failure carries the Winsock code
// and its system text.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <climits>

#include "common/propagate.hpp"
#include "net/spinning_receive.hpp"

namespace quelt::net {
namespace {

// Whether bytes (or the end of the stream) wait to be read, waiting up to `milliseconds` (-1: forever).
quelt::expected<bool, OsError> readable_within(NativeSocket socket, int milliseconds) {
    WSAPOLLFD readable{socket, POLLRDNORM, 0};
    const int ready = ::WSAPoll(&readable, 1, milliseconds);
    if (ready == SOCKET_ERROR) return quelt::unexpected(last_socket_error());
    return ready > 0;
}

}  // namespace

Received blocking_receive(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    const int wanted = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
    const int got = ::recv(socket, reinterpret_cast<char*>(into), wanted, 0);
    if (got == SOCKET_ERROR) return quelt::unexpected(last_socket_error());
    return static_cast<std::size_t>(got);
}

Received receive_when_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    QUELT_TRY(ready, readable_within(socket, -1));
    return blocking_receive(socket, into, capacity);
}

// Only TCP sockets come here (the named pipe has I/O of its own), and a
// reader blocked in recv() on a TCP socket wakes for data only.
SleepingReceive sleeping_receive_for(NativeSocket) noexcept { return blocking_receive; }

namespace spin_calls {

Received receive_now(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    QUELT_TRY(ready, readable_within(socket, 0));
    if (!*ready) return kNothingYet;
    return blocking_receive(socket, into, capacity);
}

Received receive_if_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
    return receive_now(socket, into, capacity);
}

void yield_processor() noexcept { ::SwitchToThread(); }

}  // namespace spin_calls

}  // namespace quelt::net
