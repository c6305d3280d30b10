#pragma once
// An operating-system failure as users of the library see it: the system's
// code, and its text (the system's own message, then " (os error N)").
#include <string>

namespace quelt {

struct OsError {
    int code;
    std::string text;
};

std::string os_error_text(int code);
inline OsError os_error(int code) { return OsError{code, os_error_text(code)}; }

// The failure of the calling thread's last socket call: errno on POSIX,
// WSAGetLastError() on Windows.
OsError last_socket_error();
// True for a call that a signal cut short, which is simply made again.
bool interrupted(const OsError& error) noexcept;

}  // namespace quelt
