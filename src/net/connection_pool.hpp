#pragma once
// Idle connections of one client, first in first out. The lock guards only
// the queue: it is never held while connecting, reading or writing.
//
// After fork() the child's copies of the idle connections are the parent's
// connections: a child that used one would read the parent's replies. The
// child drops them (closing only its own descriptors: the parent's connection
// stays open) and opens its own.
#include <cstdint>
#include <deque>
#include <mutex>

#include "common/process_generation.hpp"
#include "common/propagate.hpp"
#include "net/connection.hpp"
#include "net/connector.hpp"
#include "net/endpoint.hpp"

namespace quelt::net {

class ConnectionPool {
public:
    ConnectionPool(Transport transport, std::uint64_t max_idle) : transport_(std::move(transport)), max_idle_(max_idle) {}

    const Transport& transport() const noexcept { return transport_; }

    // The front idle connection, or a new one.
    Result<Connection> acquire();
    // Keeps a connection that just finished an exchange, unless the pool is full.
    void release(Connection connection);
    std::size_t idle_count() const;

    // One unary call. The exchange runs on a pooled (or new) connection; only
    // an Io failure of that first attempt closes the connection and repeats the
    // exchange once, on a fresh connection that did not come from the pool.
    // Any other failure leaves the connection at a frame boundary, so it goes
    // back to the pool.
    template <class Exchange>
    auto with_connection(Exchange&& exchange) -> decltype(exchange(std::declval<Connection&>())) {
        QUELT_TRY(connection, acquire());
        auto first = exchange(*connection);
        if (first || first.error().kind != ErrorKind::Connection) {
            release(std::move(*connection));
            return first;
        }
        { auto discarded = std::move(*connection); }
        QUELT_TRY(fresh, connect(transport_));
        auto second = exchange(*fresh);
        if (second) release(std::move(*fresh));
        return second;
    }

private:
    // Called with the lock held: forgets the idle connections of the process
    // this one was forked from.
    void drop_inherited();

    Transport transport_;
    std::uint64_t max_idle_;
    mutable std::mutex mutex_;
    std::deque<Connection> idle_;
    // The process whose connections `idle_` holds.
    std::uint64_t generation_ = process_generation();
};

}  // namespace quelt::net
