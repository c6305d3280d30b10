#pragma once
// Blocking I/O of one connection thread (peer_io_posix.cpp,
// peer_io_windows.cpp). Every failure ends the connection, so the functions
// only say whether they completed.
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/spin_window.hpp"
#include "gather.hpp"
#include "peer.hpp"

namespace quelt::server {

// Hands all pieces to the system in as few calls as it accepts; never raises SIGPIPE.
bool send_all(Peer peer, std::span<iovec> pieces);

// Bytes received into `into` (at least 1), or 0 when the connection ended
// or failed. A socket's read spins for bytes about to arrive as long as
// `spin` allows before it sleeps (net/spinning_receive.hpp).
std::size_t receive_some(Peer peer, std::uint8_t* into, std::size_t capacity, SpinWindow& spin);

// Closes with an RST instead of an orderly shutdown: the peer sees "connection reset".
void abort_connection(Peer peer);

// Wakes the connection's thread out of a blocking read, which then sees the
// end of the stream. The handle stays open (its thread closes it).
void shut_down(Peer peer);

}  // namespace quelt::server
