#pragma once
// Blocking socket I/O of one connection thread. Every failure ends the
// connection, so the functions only say whether they completed.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "transport/byte_buffer.hpp"

namespace quelt::server {

bool read_exact(int fd, std::span<std::uint8_t> buffer);

// Reads `length` bytes into the front of `buffer`, growing it as bytes
// actually arrive, so a peer that announces a huge frame and sends little
// cannot make the server allocate it. The buffer is reused between frames and
// never shrinks; only its first `length` bytes are the frame.
bool read_into(int fd, wire::ByteBuffer& buffer, std::size_t length);

// Hands all pieces to the kernel in as few calls as it accepts; never raises SIGPIPE.
bool send_all(int fd, std::span<iovec> pieces);

// Closes with an RST instead of an orderly shutdown: the peer sees "connection reset".
void abort_connection(int fd);

}  // namespace quelt::server
