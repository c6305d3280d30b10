#include "net/connection_pool.hpp"

namespace quelt::net {

void ConnectionPool::drop_inherited() {
    if (generation_ == process_generation()) return;
    idle_.clear();  // close() only: a shutdown() would end the parent's connections too
    generation_ = process_generation();
}

Result<Connection> ConnectionPool::acquire() {
    {
        std::lock_guard lock(mutex_);
        drop_inherited();
        if (!idle_.empty()) {
            Connection front = std::move(idle_.front());
            idle_.pop_front();
            return front;
        }
    }
    return connect(transport_);
}

void ConnectionPool::release(Connection connection) {
    // A connection that is not kept closes when `connection` is destroyed,
    // after the lock has been released.
    if (max_idle_ == 0) return;
    std::lock_guard lock(mutex_);
    // A call that began before a fork and ends in the child holds one of the
    // parent's connections: it is dropped with the idle ones.
    if (generation_ != process_generation()) return drop_inherited();
    if (idle_.size() < max_idle_) idle_.push_back(std::move(connection));
}

std::size_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace quelt::net
