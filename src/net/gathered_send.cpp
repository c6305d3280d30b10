#include "net/gathered_send.hpp"

#include <cstdint>

namespace quelt::net {

quelt::expected<void, OsError> send_gathered(NativeSocket socket, std::span<GatherPiece> pieces) {
    std::size_t first = 0;
    while (first < pieces.size() && pieces[first].iov_len == 0) ++first;
    while (first < pieces.size()) {
        auto sent = send_some(socket, pieces.subspan(first));
        if (!sent) {
            if (interrupted(sent.error())) continue;
            return quelt::unexpected(std::move(sent.error()));
        }
        if (*sent == 0) return quelt::unexpected(OsError{0, kFailedToWrite});
        // A short send: resume inside the piece the system stopped in.
        std::size_t left = *sent;
        while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
        if (left != 0) {
            pieces[first].iov_base = static_cast<std::uint8_t*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return {};
}

}  // namespace quelt::net
