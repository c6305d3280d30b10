#include "common/wide_text_windows.hpp"

#include <windows.h>

namespace quelt {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

std::optional<std::wstring> wide_name(std::string_view utf8) {
    if (utf8.find('\0') != std::string_view::npos) return std::nullopt;
    return widen(utf8);
}

std::string narrow(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(), length, nullptr,
                          nullptr);
    return text;
}

}  // namespace quelt
