#pragma once
// The socket types of the POSIX build (see net/socket_types.hpp).
#include <sys/uio.h>

namespace quelt::net {

using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
using GatherPiece = ::iovec;

}  // namespace quelt::net
