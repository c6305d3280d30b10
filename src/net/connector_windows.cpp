// Connecting on Windows: Winsock for TCP, and the named pipe opened as an
// existing file, in byte mode and synchronous, without waiting for a busy pipe.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <optional>

#include "common/os_error.hpp"
#include "common/wide_text_windows.hpp"
#include "net/connector.hpp"
#include "net/socket_address.hpp"
#include "net/winsock_windows.hpp"

namespace quelt::net {
namespace {

quelt::unexpected<Error> os_failure(int code) { return quelt::unexpected(io_error_from_errno(code)); }

class OwnedSocket {
public:
    explicit OwnedSocket(SOCKET socket) noexcept : socket_(socket) {}
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    ~OwnedSocket() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    }
    SOCKET get() const noexcept { return socket_; }
    SOCKET release() noexcept { return std::exchange(socket_, INVALID_SOCKET); }

private:
    SOCKET socket_;
};

// 0 and a connection, or the WSA error of the failure.
int open_and_connect(int family, const sockaddr* address, int length, std::optional<Connection>& out) {
    OwnedSocket socket(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    if (socket.get() == INVALID_SOCKET) return ::WSAGetLastError();
    if (::connect(socket.get(), address, length) != 0) return ::WSAGetLastError();
    BOOL on = TRUE;
    (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    out.emplace(StreamHandle(static_cast<std::intptr_t>(socket.release()), StreamHandle::Kind::Socket));
    return 0;
}

// An IPv4 literal, or an IPv6 literal in brackets, needs no resolver.
bool literal_address(const std::string& host, std::uint16_t port, sockaddr_storage& out, int& length) {
    std::memset(&out, 0, sizeof out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (host.size() < 2 || host.front() != '[' || host.back() != ']') return false;
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    const std::string inner = host.substr(1, host.size() - 2);
    if (::inet_pton(AF_INET6, inner.c_str(), &v6->sin6_addr) != 1) return false;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
    return true;
}

struct FreeAddrInfo {
    void operator()(ADDRINFOW* list) const noexcept { ::FreeAddrInfoW(list); }
};

Result<Connection> connect_tcp(const std::string& text) {
    auto address = split_host_port(text);
    if (!address) return quelt::unexpected(address.error());
    if (int failed = ensure_winsock()) return os_failure(failed);

    std::optional<Connection> connection;
    sockaddr_storage literal;
    int literal_length = 0;
    if (literal_address(address->host, address->port, literal, literal_length)) {
        if (int error = open_and_connect(literal.ss_family, reinterpret_cast<sockaddr*>(&literal), literal_length,
                                         connection))
            return os_failure(error);
        return std::move(*connection);
    }

    // A host holding U+0000 would be looked up shorter than it was given.
    auto host = wide_name(address->host);
    if (!host) return os_failure(WSAHOST_NOT_FOUND);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (int status = ::GetAddrInfoW(host->c_str(), nullptr, &hints, &found); status != 0) return os_failure(status);
    std::unique_ptr<ADDRINFOW, FreeAddrInfo> list(found);
    int last_error = 0;
    for (ADDRINFOW* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_port = htons(address->port);
        else if (entry->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_port = htons(address->port);
        else
            continue;
        last_error = open_and_connect(entry->ai_family, entry->ai_addr, static_cast<int>(entry->ai_addrlen), connection);
        if (last_error == 0) return std::move(*connection);
    }
    if (last_error == 0)
        return quelt::unexpected(Error::io("could not resolve to any addresses"));
    return os_failure(last_error);
}

// Read and write access, every share mode, the pipe as it exists: no
// creation, no overlapped I/O, and no wait when every instance is busy.
Result<Connection> connect_pipe(const std::string& path) {
    auto name = wide_name(path);
    if (!name) return os_failure(ERROR_INVALID_NAME);
    HANDLE pipe = ::CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return os_failure(static_cast<int>(::GetLastError()));
    return Connection(StreamHandle(reinterpret_cast<std::intptr_t>(pipe), StreamHandle::Kind::Pipe));
}

}  // namespace

Result<Connection> connect(const Transport& transport) {
    switch (transport.kind) {
        case Transport::Kind::Tcp: return connect_tcp(transport.text);
        case Transport::Kind::Pipe: return connect_pipe(transport.text);
        case Transport::Kind::Unix: break;  // never resolved on Windows
    }
    return os_failure(ERROR_NOT_SUPPORTED);
}

}  // namespace quelt::net
