#include "listener.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/os_error.hpp"

namespace quelt::server {
namespace {

constexpr int kBacklog = 512;

std::string address_text(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    std::string text = host;
    if (address->sa_family == AF_INET6) text = "[" + text + "]";
    return text + ":" + port;
}

quelt::unexpected<std::string> failure(const std::string& what, int code) {
    return quelt::unexpected("cannot listen on " + what + ": " + os_error_text(code));
}

quelt::expected<sockaddr_un, std::string> unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return quelt::unexpected("cannot listen on unix " + path + ": the path is longer than " +
                               std::to_string(sizeof address.sun_path - 1) + " bytes");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Leaves the path free for bind, or says why it cannot be.
quelt::expected<void, std::string> clear_stale_socket(const std::string& path, const sockaddr_un& address) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) return {};
    if (!S_ISSOCK(status.st_mode))
        return quelt::unexpected("cannot listen on unix " + path + ": the path exists and is not a socket");
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return quelt::unexpected("cannot listen on unix " + path + ": another server is listening there");
    ::unlink(path.c_str());
    return {};
}

}  // namespace

Listener::~Listener() {
    if (socket_file.empty()) return;
    struct stat status;
    if (::lstat(socket_file.c_str(), &status) == 0 && status.st_ino == socket_inode) ::unlink(socket_file.c_str());
}

quelt::expected<Listener, std::string> listen_tcp(const TcpAddress& address) {
    const std::string wanted = "tcp " + address.host + ":" + std::to_string(address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int error = ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found); error != 0)
        return quelt::unexpected("cannot listen on " + wanted + ": " + ::gai_strerror(error));
    int last_error = EADDRNOTAVAIL;
    for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        UniqueFd fd(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol));
        if (!fd) { last_error = errno; continue; }
        int on = 1;
        // A restarted server must not wait for the old connections' TIME_WAIT.
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), candidate->ai_addr, candidate->ai_addrlen) != 0 || ::listen(fd.get(), kBacklog) != 0) {
            last_error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        ::freeaddrinfo(found);
        Listener listener;
        listener.fd = std::move(fd);
        listener.description = "tcp " + address_text(reinterpret_cast<sockaddr*>(&bound), length);
        return listener;
    }
    ::freeaddrinfo(found);
    return failure(wanted, last_error);
}

quelt::expected<Listener, std::string> listen_unix(const std::string& socket_path) {
    auto address = unix_address(socket_path);
    if (!address) return quelt::unexpected(address.error());
    if (auto cleared = clear_stale_socket(socket_path, *address); !cleared) return quelt::unexpected(cleared.error());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return failure("unix " + socket_path, errno);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        return failure("unix " + socket_path, errno);
    Listener listener;
    struct stat status;
    if (::lstat(socket_path.c_str(), &status) == 0) listener.socket_inode = status.st_ino;
    listener.socket_file = socket_path;
    listener.description = "unix " + socket_path;
    if (::listen(fd.get(), kBacklog) != 0) return failure(listener.description, errno);
    listener.fd = std::move(fd);
    return listener;
}

}  // namespace quelt::server
