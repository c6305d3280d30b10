#pragma once
// Text of an operating-system failure as users of the library see it:
// the system's own message, then " (os error N)".
#include <string>

namespace quelt {

std::string os_error_text(int code);

}  // namespace quelt
