#include "connection_registry.hpp"

#include "peer_io.hpp"

namespace quelt::server {

bool ConnectionRegistry::add(Peer peer) {
    std::scoped_lock guard(lock_);
    if (closing_) return false;
    open_.emplace(peer.handle, peer);
    return true;
}

void ConnectionRegistry::remove(Peer peer) {
    std::scoped_lock guard(lock_);
    open_.erase(peer.handle);
    if (open_.empty()) drained_.notify_all();
}

void ConnectionRegistry::shutdown_all(std::chrono::milliseconds patience) {
    std::unique_lock guard(lock_);
    closing_ = true;
    // The descriptors stay open (their threads close them), so no number can
    // be reused by another socket while it is being shut down here.
    for (const auto& [handle, peer] : open_) shut_down(peer);
    drained_.wait_for(guard, patience, [&] { return open_.empty(); });
}

bool ConnectionRegistry::idle() {
    std::scoped_lock guard(lock_);
    return open_.empty();
}

}  // namespace quelt::server
