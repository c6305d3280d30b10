#pragma once
// Sends every byte of a list of pieces over a blocking socket, handing them
// to the system together (one frame, one call where the system takes it
// whole). Used by the client's connections and the reference server's peers
// alike. The loop is gathered_send.cpp; the one system call,
// gathered_send_<platform>.cpp.
#include <cstddef>
#include <span>

#include "common/expected.hpp"
#include "common/os_error.hpp"
#include "net/socket_types.hpp"

namespace quelt::net {

// What a send that takes no byte reports: code 0 and the I/O layer's text.
inline constexpr const char* kFailedToWrite = "failed to write whole buffer";

// Retries short and interrupted sends; `pieces` is used up on the way (the
// piece a send stopped inside is moved past its sent bytes). A peer that has
// gone away is an error value, never a SIGPIPE.
quelt::expected<void, OsError> send_gathered(NativeSocket socket, std::span<GatherPiece> pieces);

// Bytes of the leading pieces that one system call accepted (0 if none).
quelt::expected<std::size_t, OsError> send_some(NativeSocket socket, std::span<const GatherPiece> pieces);

}  // namespace quelt::net
