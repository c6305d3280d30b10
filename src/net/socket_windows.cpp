#include "net/socket.hpp"

#include <winsock2.h>

#include <type_traits>

namespace quelt::net {

static_assert(std::is_same_v<NativeSocket, SOCKET> && kNoSocket == INVALID_SOCKET);

void close_socket(NativeSocket socket) noexcept { ::closesocket(socket); }

}  // namespace quelt::net
