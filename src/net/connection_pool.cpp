#include "net/connection_pool.hpp"

namespace quelt::net {

ExchangeResult<Connection> ConnectionPool::acquire() {
    {
        std::lock_guard lock(mutex_);
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
    if (idle_.size() < max_idle_) idle_.push_back(std::move(connection));
}

std::size_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace quelt::net
