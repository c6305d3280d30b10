#pragma once
// Accepts connections on one listener and gives each its own thread (blocking
// I/O, one thread per connection: simple and fast for a development server).
#include <thread>

#include "connection_registry.hpp"
#include "listener.hpp"
#include "stream_service.hpp"

namespace quelt::server {

class Acceptor {
public:
    Acceptor(Listener& listener, const StreamService& service, ConnectionRegistry& registry);
    // Stops accepting: the listening socket is shut down and the thread joined.
    void stop();
    ~Acceptor() { stop(); }

private:
    void run();
    void start_connection(int fd);

    Listener& listener_;
    const StreamService& service_;
    ConnectionRegistry& registry_;
    bool tcp_;
    std::thread thread_;
};

}  // namespace quelt::server
