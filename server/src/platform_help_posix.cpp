#include "platform_help.hpp"

namespace quelt::server {

const PlatformHelp& platform_help() {
    static const PlatformHelp help{
        R"(Reference inference server for quelt_sdk: serves QueltClient over TCP and a
Unix socket (message kinds 1 and 2), QueltHybridClient over the Unix socket
(kind 4, tensors in shared memory), and QueltShmClient through the request and
response queues of a shared-memory region that it creates. Runs until SIGINT
or SIGTERM, then removes its socket file and its region.
)",
        R"(  --unix PATH         Unix socket: a pipe path \\.\pipe\NAME means <tmp>/NAME.sock,
                      any other path is used as given (default \\.\pipe\quelt)
  --no-unix           no Unix-socket listener (and so no hybrid clients)
)",
        R"(  --shm-name NAME     region name, /dev/shm/NAME (default quelt_shm)
)",
    };
    return help;
}

}  // namespace quelt::server
