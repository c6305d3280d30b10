#include "net/socket.hpp"

#include <unistd.h>

namespace quelt::net {

// close() is not retried on EINTR: on Linux the descriptor is gone either way.
void close_socket(NativeSocket socket) noexcept { ::close(socket); }

}  // namespace quelt::net
