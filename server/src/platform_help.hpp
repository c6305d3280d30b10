#pragma once
// The lines of the help text that name this platform's local transport and
// where its region lives (platform_help_posix.cpp, platform_help_windows.cpp).
#include <string>

namespace quelt::server {

struct PlatformHelp {
    std::string intro;           // the paragraph under the usage line
    std::string local_listener;  // the --unix and --no-unix lines
    std::string region_name;     // the --shm-name line
};

// Built when asked: the default socket's path depends on the environment.
PlatformHelp platform_help();

}  // namespace quelt::server
