#pragma once
// Opens a new connection to a transport's address; never touches a pool.
#include "net/connection.hpp"
#include "net/endpoint.hpp"

namespace quelt::net {

// Tcp: every resolved address in the resolver's order, TCP no-delay on.
// Pipe: the Unix-domain socket its path maps to. Unix: the socket at the path.
// No time-outs: each operation blocks until the peer or the system ends it.
Result<Connection> connect(const Transport& transport);

}  // namespace quelt::net
