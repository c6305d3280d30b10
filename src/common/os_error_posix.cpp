#include "common/os_error.hpp"

#include <string.h>

#include <cerrno>

namespace quelt {

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(code) + ")";
}

OsError last_socket_error() { return os_error(errno); }

bool interrupted(const OsError& error) noexcept { return error.code == EINTR; }

}  // namespace quelt
