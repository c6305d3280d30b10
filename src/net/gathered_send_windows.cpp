// The gathering send over Winsock. WSASend takes its own buffer records
// (32-bit lengths), so a batch of pieces is described again on the stack.
#include <winsock2.h>

#include <algorithm>

#include "net/gathered_send.hpp"

namespace quelt::net {
namespace {

// One call moves at most this much of one piece: the system's counts are 32-bit.
constexpr std::size_t kLargestCall = 1u << 30;
constexpr std::size_t kBatch = 64;

}  // namespace

quelt::expected<std::size_t, OsError> send_some(NativeSocket socket, std::span<const GatherPiece> pieces) {
    WSABUF buffers[kBatch];
    std::size_t count = 0;
    while (count < std::min(pieces.size(), kBatch)) {
        const GatherPiece& piece = pieces[count];
        buffers[count++] = {static_cast<ULONG>(std::min(piece.iov_len, kLargestCall)),
                            static_cast<char*>(piece.iov_base)};
        if (piece.iov_len > kLargestCall) break;  // the rest of this piece goes first in the next call
    }
    DWORD sent = 0;
    if (::WSASend(socket, buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0)
        return quelt::unexpected(last_socket_error());
    return static_cast<std::size_t>(sent);
}

}  // namespace quelt::net
