#include "platform_help.hpp"

#include "common/pipe_path.hpp"

namespace quelt::server {

PlatformHelp platform_help() {
    return {
        R"(Reference inference server for quelt_sdk. It serves all three clients at once:
  QueltClient        over TCP and the Unix socket
  QueltHybridClient  over the Unix socket (never TCP), tensors in the region
  QueltShmClient     through the request and response queues of the region
The shared-memory region is created on start. Runs until SIGINT or SIGTERM,
then removes its socket file and its region.
)",
        R"(  --unix PATH         Unix socket: a pipe path \\.\pipe\NAME means <tmp>/NAME.sock,
                      any other path is used as given (default \\.\pipe\quelt,
                      here )" + quelt::pipe_socket_path(R"(\\.\pipe\quelt)") + R"()
  --no-unix           no Unix-socket listener (and so no QueltHybridClient)
)",
        R"(  --shm-name NAME     region name, /dev/shm/NAME (default quelt_shm)
)",
    };
}

}  // namespace quelt::server
