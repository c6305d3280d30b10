#pragma once
// The open client connections, so that shutdown can wake every connection
// thread out of its blocking read and wait until all of them have finished.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <map>

#include "peer.hpp"

namespace quelt::server {

class ConnectionRegistry {
public:
    // False once shutdown has begun: the caller then closes the connection at once.
    bool add(Peer peer);
    void remove(Peer peer);
    // Shuts every registered connection down (their threads see end of stream)
    // and waits up to `patience` for the threads to finish.
    void shutdown_all(std::chrono::milliseconds patience);
    bool idle();

private:
    std::mutex lock_;
    std::condition_variable drained_;
    std::map<std::intptr_t, Peer> open_;
    bool closing_ = false;
};

}  // namespace quelt::server
