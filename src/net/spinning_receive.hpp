#pragma once
// A receive that first spins for bytes about to arrive: a reply (or, on the
// server, the next request) that comes within the connection's spin window
// is read without the calling thread going to sleep and being woken (see
// common/spin_window.hpp). Each retry yields the processor, so a peer on the
// same processor runs meanwhile instead of being kept waiting. The policy is
// spinning_receive.cpp; the system calls it is made of are
// spinning_receive_<platform>.cpp.
#include <cstddef>
#include <cstdint>

#include "common/expected.hpp"
#include "common/os_error.hpp"
#include "common/spin_window.hpp"
#include "net/socket_types.hpp"

namespace quelt::net {

// Bytes received, 0 at the end of the stream, or the failure (an interrupted
// call included: the caller retries those, see interrupted()).
using Received = quelt::expected<std::size_t, OsError>;

// How the reader sleeps once it stops spinning: a read that blocks until
// bytes arrive.
using SleepingReceive = Received (*)(NativeSocket socket, std::uint8_t* into, std::size_t capacity);

// recv(socket, into, capacity, 0) on a blocking socket.
Received blocking_receive(NativeSocket socket, std::uint8_t* into, std::size_t capacity);

// recv() once poll() has seen readable data. A reader blocked in recv() on a
// Unix socket is also woken, for nothing, whenever its peer frees buffer
// space (each time the peer reads); poll() wakes for readable data only.
Received receive_when_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity);

// How to sleep on this socket: receive_when_readable for a Unix socket,
// blocking_receive for any other.
SleepingReceive sleeping_receive_for(NativeSocket socket) noexcept;

Received receive_spinning(NativeSocket socket, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                          SleepingReceive sleep = blocking_receive);

// The system's part of the spin, one call each.
namespace spin_calls {

// What a receive that must not wait returns when no byte is there yet.
inline constexpr std::size_t kNothingYet = SIZE_MAX;

// The bytes already there, or kNothingYet; never waits.
Received receive_now(NativeSocket socket, std::uint8_t* into, std::size_t capacity);
// Like receive_now, for a reader that asks again and again: readiness is
// looked at first where reading would take a lock the arriving bytes need.
Received receive_if_readable(NativeSocket socket, std::uint8_t* into, std::size_t capacity);
// Lets another thread that is ready run on this processor.
void yield_processor() noexcept;

}  // namespace spin_calls

}  // namespace quelt::net
