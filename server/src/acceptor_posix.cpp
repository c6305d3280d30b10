#include "acceptor.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "common/unique_fd.hpp"

namespace quelt::server {

Acceptor::Acceptor(Listener& listener, const StreamService& service, ConnectionRegistry& registry)
    : listener_(listener),
      service_(service),
      registry_(registry),
      tcp_(listener.socket_file.empty()),
      thread_([this] { run(); }) {}

void Acceptor::stop() {
    if (!thread_.joinable()) return;
    // On Linux this wakes the blocked accept(), which then fails with EINVAL.
    ::shutdown(listener_.fd.get(), SHUT_RDWR);
    thread_.join();
}

void Acceptor::run() {
    for (;;) {
        int fd = ::accept4(listener_.fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            start_connection(fd);
            continue;
        }
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO: continue;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                // Out of descriptors or memory: let connections finish, then try again.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            default: return;  // the listener was shut down
        }
    }
}

void Acceptor::start_connection(int fd) {
    UniqueFd connection(fd);
    if (tcp_) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    const Peer peer{fd, !tcp_};
    if (!registry_.add(peer)) return;
    try {
        // The thread may outlive this acceptor (stopping it only ends
        // accepting), so it holds the service and registry, not the acceptor.
        std::thread([&service = service_, &registry = registry_, peer] {
            UniqueFd owned(static_cast<int>(peer.handle));
            service.serve(peer);
            // Unregistered before it is closed, so shutdown never touches a reused number.
            registry.remove(peer);
        }).detach();
        connection.release();  // the thread owns it now
    } catch (const std::system_error&) {
        registry_.remove(peer);  // no thread to be had: closed here instead
    }
}

}  // namespace quelt::server
