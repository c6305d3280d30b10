#include "platform_help.hpp"

namespace quelt::server {

PlatformHelp platform_help() {
    return {
        R"(Reference inference server for quelt_sdk. It serves all three clients at once:
  QueltClient        over TCP and the named pipe
  QueltHybridClient  over the named pipe (never TCP), tensors in the region
  QueltShmClient     through the request and response queues of the region
The shared-memory region is created on start. Runs until Ctrl+C, Ctrl+Break
or the console closes, then removes its region's backing file.
)",
        R"(  --unix PATH         the named pipe, \\.\pipe\NAME (default \\.\pipe\quelt)
  --no-unix           no named-pipe listener (and so no QueltHybridClient)
)",
        R"(  --shm-name NAME     region name: the file mapping NAME, backed by the file
                      %TEMP%\shared_memory-rs\NAME (default quelt_shm)
)",
    };
}

}  // namespace quelt::server
