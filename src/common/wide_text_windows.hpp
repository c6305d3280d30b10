#pragma once
// UTF-8 text to and from the UTF-16 of the Windows API (Windows build only).
#include <optional>
#include <string>
#include <string_view>

namespace quelt {

// Empty optional when the text holds U+0000: the system would see a shorter
// name than the caller gave, so such a name is refused as invalid instead.
std::optional<std::wstring> wide_name(std::string_view utf8);
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace quelt
