#include "net/winsock_windows.hpp"

#include <winsock2.h>

namespace quelt::net {

int ensure_winsock() noexcept {
    // Never cleaned up: sockets may be open until the process ends.
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return started;
}

}  // namespace quelt::net
