#include <winsock2.h>
#include <windows.h>

#include <string>

#include "common/os_error.hpp"
#include "common/wide_text_windows.hpp"

namespace quelt {
namespace {

// The system's message for a GetLastError or WSAGetLastError code, without
// the line break it ends with. Empty when the system has no message for it.
std::string system_message(int code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length == 0 || buffer == nullptr) return {};
    std::wstring text(buffer, length);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
    return narrow(text);
}

}  // namespace

std::string os_error_text(int code) {
    std::string message = system_message(code);
    // Not every code has a message on every system (Wine lacks many).
    if (message.empty()) message = "Unknown error";
    return message + " (os error " + std::to_string(code) + ")";
}

OsError last_socket_error() { return os_error(::WSAGetLastError()); }

// No signal cuts a Winsock call short. WSAEINTR comes from a cancelled call
// (the server cancels a connection thread's read to end it): never retried.
bool interrupted(const OsError&) noexcept { return false; }

}  // namespace quelt
