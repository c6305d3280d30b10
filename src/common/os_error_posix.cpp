#include "common/os_error.hpp"

#include <string.h>

namespace quelt {

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(code) + ")";
}

}  // namespace quelt
