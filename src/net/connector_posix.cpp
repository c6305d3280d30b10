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

#include "common/os_error.hpp"
#include "common/unique_fd.hpp"
#include "net/connector.hpp"
#include "net/pipe_path.hpp"
#include "net/socket_address.hpp"

namespace quelt::net {
namespace {

quelt::unexpected<Error> os_failure(int code) { return quelt::unexpected(io_error_from_errno(code)); }

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

// 0 and an open socket, or the errno of the failure.
int open_and_connect(int family, const sockaddr* address, socklen_t length, UniqueFd& out) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    if (::connect(fd.get(), address, length) < 0) {
        const int error = errno == EINTR ? finish_interrupted_connect(fd.get()) : errno;
        if (error != 0) return error;
    }
    out = std::move(fd);
    return 0;
}

Connection tcp_connection(UniqueFd fd) {
    int on = 1;
    (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // best effort
    return Connection(StreamHandle(fd.release(), StreamHandle::Kind::Socket));
}

// An IPv4 literal, or an IPv6 literal in brackets, needs no resolver.
bool literal_address(const std::string& host, std::uint16_t port, sockaddr_storage& out, socklen_t& length) {
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
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};

quelt::unexpected<Error> lookup_failure(int status) {
    return quelt::unexpected(Error::io(std::string("failed to lookup address information: ") + ::gai_strerror(status)));
}

Result<Connection> connect_tcp(const std::string& text) {
    auto address = split_host_port(text);
    if (!address) return quelt::unexpected(address.error());
    // A NUL would end the C string early and look up another, shorter name.
    if (address->host.find('\0') != std::string::npos) return lookup_failure(EAI_NONAME);

    sockaddr_storage literal;
    socklen_t literal_length = 0;
    if (literal_address(address->host, address->port, literal, literal_length)) {
        UniqueFd fd;
        if (int error = open_and_connect(literal.ss_family, reinterpret_cast<sockaddr*>(&literal), literal_length, fd))
            return os_failure(error);
        return tcp_connection(std::move(fd));
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address->host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        if (status == EAI_SYSTEM) return os_failure(errno);
        return lookup_failure(status);
    }
    std::unique_ptr<addrinfo, FreeAddrInfo> list(found);
    int last_error = 0;
    for (addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_port = htons(address->port);
        else if (entry->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_port = htons(address->port);
        else
            continue;
        UniqueFd fd;
        last_error = open_and_connect(entry->ai_family, entry->ai_addr, entry->ai_addrlen, fd);
        if (last_error == 0) return tcp_connection(std::move(fd));
    }
    if (last_error == 0)
        return quelt::unexpected(Error::io("could not resolve to any addresses"));
    return os_failure(last_error);
}

Result<Connection> connect_unix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.find('\0') != std::string::npos) return os_failure(EINVAL);
    if (path.size() >= sizeof address.sun_path) return os_failure(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd fd;
    if (int error = open_and_connect(AF_UNIX, reinterpret_cast<sockaddr*>(&address), sizeof address, fd))
        return os_failure(error);
    return Connection(StreamHandle(fd.release(), StreamHandle::Kind::Socket));
}

}  // namespace

Result<Connection> connect(const Transport& transport) {
    switch (transport.kind) {
        case Transport::Kind::Tcp: return connect_tcp(transport.text);
        case Transport::Kind::Pipe: return connect_unix(pipe_socket_path(transport.text));
        case Transport::Kind::Unix: return connect_unix(transport.text);
    }
    return os_failure(EINVAL);
}

}  // namespace quelt::net
