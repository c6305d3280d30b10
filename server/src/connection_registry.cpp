#include "connection_registry.hpp"

#include <sys/socket.h>

namespace quelt::server {

bool ConnectionRegistry::add(int fd) {
    std::scoped_lock guard(lock_);
    if (closing_) return false;
    open_.insert(fd);
    return true;
}

void ConnectionRegistry::remove(int fd) {
    std::scoped_lock guard(lock_);
    open_.erase(fd);
    if (open_.empty()) drained_.notify_all();
}

void ConnectionRegistry::shutdown_all(std::chrono::milliseconds patience) {
    std::unique_lock guard(lock_);
    closing_ = true;
    // The descriptors stay open (their threads close them), so no number can
    // be reused by another socket while it is being shut down here.
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    drained_.wait_for(guard, patience, [&] { return open_.empty(); });
}

bool ConnectionRegistry::idle() {
    std::scoped_lock guard(lock_);
    return open_.empty();
}

}  // namespace quelt::server
