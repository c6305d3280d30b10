#pragma once
// A receive that first spins for bytes about to arrive: a reply (or, on the
// server, the next request) that comes within the connection's spin window
// is read without the calling thread going to sleep and being woken (see
// common/spin_window.hpp). Each retry yields the processor, so a peer on the
// same processor runs meanwhile instead of being kept waiting.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "common/spin_window.hpp"

namespace quelt::net {

// How the reader sleeps once it stops spinning: a read that blocks until
// bytes arrive, with the result convention of recv().
using SleepingReceive = ssize_t (*)(int fd, std::uint8_t* into, std::size_t capacity) noexcept;

// recv(fd, into, capacity, 0) on a blocking socket.
ssize_t blocking_receive(int fd, std::uint8_t* into, std::size_t capacity) noexcept;

// recv() once poll() has seen readable data. A reader blocked in recv() on a
// Unix socket is also woken, for nothing, whenever its peer frees buffer
// space (each time the peer reads); poll() wakes for readable data only.
ssize_t receive_when_readable(int fd, std::uint8_t* into, std::size_t capacity) noexcept;

// How to sleep on this socket: receive_when_readable for a Unix socket,
// blocking_receive for any other.
SleepingReceive sleeping_receive_for(int fd) noexcept;

// Like `sleep` (by default a blocking recv): the count of bytes read, 0 at
// the end of the stream, or -1 with errno set (EINTR included: the caller
// retries).
ssize_t receive_spinning(int fd, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                         SleepingReceive sleep = blocking_receive) noexcept;

}  // namespace quelt::net
