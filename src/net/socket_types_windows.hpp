#pragma once
// The socket types of the Windows build (see net/socket_types.hpp). SOCKET is
// UINT_PTR; naming it here keeps <winsock2.h> out of every includer (the
// Windows twins check that the two agree).
#include <cstddef>
#include <cstdint>

// Windows has no iovec: the same two fields, so code that lays out a gathered
// write reads the same on both platforms.
struct iovec {
    void* iov_base;
    std::size_t iov_len;
};

namespace quelt::net {

using NativeSocket = std::uintptr_t;
inline constexpr NativeSocket kNoSocket = ~NativeSocket{0};  // INVALID_SOCKET
using GatherPiece = ::iovec;

}  // namespace quelt::net
