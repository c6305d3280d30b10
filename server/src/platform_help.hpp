#pragma once
// The lines of the help text that name this platform's local transport and
// where its region lives (platform_help_posix.cpp, platform_help_windows.cpp).
namespace quelt::server {

struct PlatformHelp {
    const char* intro;           // the paragraph under the usage line
    const char* local_listener;  // the --unix and --no-unix lines
    const char* region_name;     // the --shm-name line
};

const PlatformHelp& platform_help();

}  // namespace quelt::server
