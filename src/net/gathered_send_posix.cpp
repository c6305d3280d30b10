#include <limits.h>
#include <sys/socket.h>

#include <algorithm>

#include "net/gathered_send.hpp"

namespace quelt::net {

quelt::expected<std::size_t, OsError> send_some(NativeSocket socket, std::span<const GatherPiece> pieces) {
    ssize_t sent;
    if (pieces.size() == 1) {
        sent = ::send(socket, pieces[0].iov_base, pieces[0].iov_len, MSG_NOSIGNAL);
    } else {
        msghdr message{};
        message.msg_iov = const_cast<GatherPiece*>(pieces.data());
        message.msg_iovlen = std::min<std::size_t>(pieces.size(), IOV_MAX);
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    }
    if (sent < 0) return quelt::unexpected(last_socket_error());
    return static_cast<std::size_t>(sent);
}

}  // namespace quelt::net
