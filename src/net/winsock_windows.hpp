#pragma once
// Winsock, started once per process before the first socket call (Windows
// build only). Returns 0, or the WSAStartup error code.
namespace quelt::net {

int ensure_winsock() noexcept;

}  // namespace quelt::net
