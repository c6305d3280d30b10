#pragma once
// Blocking socket output of one connection thread. Every failure ends the
// connection, so the functions only say whether they completed.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace quelt::server {

// Hands all pieces to the kernel in as few calls as it accepts; never raises SIGPIPE.
bool send_all(int fd, std::span<iovec> pieces);

// Closes with an RST instead of an orderly shutdown: the peer sees "connection reset".
void abort_connection(int fd);

}  // namespace quelt::server
