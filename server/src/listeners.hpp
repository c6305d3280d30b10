#pragma once
// Every listener of the stream protocol, each with its accepting thread: TCP,
// and the local transport (listeners_posix.cpp: a Unix-domain socket;
// listeners_windows.cpp: a named pipe). Each accepted connection gets a
// thread of its own that runs the stream service until the connection ends.
#include <memory>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "connection_registry.hpp"
#include "server_options.hpp"
#include "stream_service.hpp"

namespace quelt::server {

class Listeners {
public:
    // Binds every listener the options ask for; nothing is accepted yet.
    static quelt::expected<std::unique_ptr<Listeners>, std::string> open(const ServerOptions& options);
    // Removes what the listeners left in the file system (POSIX socket files).
    ~Listeners();

    // "tcp 127.0.0.1:9096", "unix /tmp/quelt.sock", "pipe \\.\pipe\quelt".
    std::vector<std::string> descriptions() const;
    // Starts one accepting thread per listener.
    void start(const StreamService& service, ConnectionRegistry& registry);
    // Stops accepting and joins the accepting threads; open connections go on.
    void stop_accepting();

    struct Impl;
    explicit Listeners(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelt::server
