#pragma once
// One client connection of the server as the services see it: the system's
// handle (a socket descriptor on POSIX; a SOCKET or a named-pipe HANDLE on
// Windows, which all fit an intptr_t) and whether it came in over the local
// transport rather than TCP.
#include <cstdint>

namespace quelt::server {

struct Peer {
    std::intptr_t handle;
    bool local;
};

}  // namespace quelt::server
