// Connecting on Windows: Winsock for TCP, and the named pipe opened as an
// existing file, in byte mode and synchronous, without waiting for a busy pipe.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <memory>

#include "common/wide_text_windows.hpp"
#include "net/bsd_addresses.hpp"
#include "net/connector_system.hpp"
#include "net/winsock_windows.hpp"

namespace quelt::net {
namespace {

struct FreeAddrInfo {
    void operator()(ADDRINFOW* list) const noexcept { ::FreeAddrInfoW(list); }
};

quelt::unexpected<Error> failure(int code) { return quelt::unexpected(io_error(os_error(code))); }

// Read and write access, every share mode, the pipe as it exists: no
// creation, no overlapped I/O, and no wait when every instance is busy.
Result<Connection> connect_pipe(const std::string& path) {
    auto name = wide_name(path);
    if (!name) return failure(ERROR_INVALID_NAME);
    HANDLE pipe = ::CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return failure(static_cast<int>(::GetLastError()));
    return Connection(StreamHandle::pipe(pipe));
}

}  // namespace

quelt::expected<void, OsError> start_sockets() {
    if (int failed = ensure_winsock()) return quelt::unexpected(os_error(failed));
    return {};
}

std::optional<SocketAddress> numeric_address(AddressFamily family, const std::string& text, std::uint16_t port) {
    return bsd::numeric_address(family, text, port);
}

quelt::expected<std::vector<SocketAddress>, OsError> resolve(const std::string& host, std::uint16_t port) {
    // A host holding U+0000 would be looked up shorter than it was given.
    auto wide_host = wide_name(host);
    if (!wide_host) return quelt::unexpected(os_error(WSAHOST_NOT_FOUND));
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (int status = ::GetAddrInfoW(wide_host->c_str(), nullptr, &hints, &found); status != 0)
        return quelt::unexpected(os_error(status));
    std::unique_ptr<ADDRINFOW, FreeAddrInfo> list(found);
    return bsd::ip_addresses(list.get(), port);
}

quelt::expected<Socket, OsError> open_and_connect(const SocketAddress& address) {
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes);
    Socket socket(::WSASocketW(target->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    if (!socket) return quelt::unexpected(last_socket_error());
    if (::connect(socket.get(), target, static_cast<int>(address.length)) != 0)
        return quelt::unexpected(last_socket_error());
    return socket;
}

void set_no_delay(NativeSocket socket) noexcept {
    BOOL on = TRUE;
    (void)::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

Result<Connection> connect_local(const Transport& transport) {
    if (transport.kind == Transport::Kind::Pipe) return connect_pipe(transport.text);
    return failure(ERROR_NOT_SUPPORTED);  // "unix://" is never resolved on Windows
}

}  // namespace quelt::net
