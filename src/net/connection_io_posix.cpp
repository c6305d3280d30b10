// Connection I/O on POSIX: every stream is a socket.
#include "net/connection.hpp"

namespace quelt::net {

void StreamHandle::close() noexcept {
    if (valid()) close_socket(socket());
    value_ = kNone;
}

Result<void> Connection::write_pieces(std::span<GatherPiece> pieces) { return write_socket(pieces); }

Result<std::size_t> Connection::receive(std::uint8_t* into, std::size_t capacity) {
    return receive_socket(into, capacity);
}

}  // namespace quelt::net
