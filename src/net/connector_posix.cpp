// Connecting on POSIX: TCP and Unix-domain stream sockets.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/pipe_path.hpp"
#include "common/propagate.hpp"
#include "net/bsd_addresses.hpp"
#include "net/connector_system.hpp"

namespace quelt::net {
namespace {

// connect() interrupted by a signal keeps going in the background; wait for
// it to finish instead of starting over.
int finish_interrupted_connect(int fd) {
    pollfd waiting{fd, POLLOUT, 0};
    while (::poll(&waiting, 1, -1) < 0)
        if (errno != EINTR) return errno;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    return error;
}

OsError lookup_failure(int status) {
    return OsError{0, std::string("failed to lookup address information: ") + ::gai_strerror(status)};
}

struct FreeAddrInfo {
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};

quelt::expected<Connection, OsError> connect_unix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.find('\0') != std::string::npos) return quelt::unexpected(os_error(EINVAL));
    if (path.size() >= sizeof address.sun_path) return quelt::unexpected(os_error(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.data(), path.size());
    QUELT_TRY(socket, open_and_connect(bsd::socket_address(&address, sizeof address)));
    return Connection(StreamHandle(std::move(*socket)));
}

}  // namespace

quelt::expected<void, OsError> start_sockets() { return {}; }

std::optional<SocketAddress> numeric_address(AddressFamily family, const std::string& text, std::uint16_t port) {
    return bsd::numeric_address(family, text, port);
}

quelt::expected<std::vector<SocketAddress>, OsError> resolve(const std::string& host, std::uint16_t port) {
    // A NUL would end the C string early and look up another, shorter name.
    if (host.find('\0') != std::string::npos) return quelt::unexpected(lookup_failure(EAI_NONAME));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status == EAI_SYSTEM) return quelt::unexpected(os_error(errno));
    if (status != 0) return quelt::unexpected(lookup_failure(status));
    std::unique_ptr<addrinfo, FreeAddrInfo> list(found);
    return bsd::ip_addresses(list.get(), port);
}

quelt::expected<Socket, OsError> open_and_connect(const SocketAddress& address) {
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes);
    Socket socket(::socket(target->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return quelt::unexpected(last_socket_error());
    if (::connect(socket.get(), target, address.length) < 0) {
        const int error = errno == EINTR ? finish_interrupted_connect(socket.get()) : errno;
        if (error != 0) return quelt::unexpected(os_error(error));
    }
    return socket;
}

void set_no_delay(NativeSocket socket) noexcept {
    int on = 1;
    (void)::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Result<Connection> connect_local(const Transport& transport) {
    auto connection = connect_unix(transport.kind == Transport::Kind::Pipe ? pipe_socket_path(transport.text)
                                                                           : transport.text);
    if (!connection) return quelt::unexpected(io_error(std::move(connection.error())));
    return std::move(*connection);
}

}  // namespace quelt::net
