#include "platform_help.hpp"

namespace quelt::server {

const PlatformHelp& platform_help() {
    static const PlatformHelp help{
        R"(Reference inference server for quelt_sdk: serves QueltClient over TCP and a
named pipe (message kinds 1 and 2), QueltHybridClient over the named pipe
(kind 4, tensors in shared memory), and QueltShmClient through the request and
response queues of a shared-memory region that it creates. Runs until Ctrl+C,
Ctrl+Break or the console closes, then removes its region's backing file.
)",
        R"(  --unix PATH         the named pipe, \\.\pipe\NAME (default \\.\pipe\quelt)
  --no-unix           no named-pipe listener (and so no hybrid clients)
)",
        R"(  --shm-name NAME     region name: the file mapping NAME, backed by the file
                      %TEMP%\shared_memory-rs\NAME (default quelt_shm)
)",
    };
    return help;
}

}  // namespace quelt::server
