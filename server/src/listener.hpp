#pragma once
// Listening sockets of the stream protocol: TCP and Unix-domain.
#include <sys/types.h>

#include <string>

#include "common/expected.hpp"
#include "common/unique_fd.hpp"
#include "server_options.hpp"

namespace quelt::server {

struct Listener {
    UniqueFd fd;
    std::string description;  // "tcp 127.0.0.1:9096" or "unix /tmp/quelt.sock"
    std::string socket_file;  // Unix listeners only: removed on exit
    ino_t socket_inode = 0;   // so exit removes our file, not a successor's

    Listener() = default;
    Listener(Listener&&) = default;
    Listener& operator=(Listener&&) = default;
    ~Listener();
};

quelt::expected<Listener, std::string> listen_tcp(const TcpAddress& address);
// A stale socket file that nobody listens on is replaced; a live one is an error.
quelt::expected<Listener, std::string> listen_unix(const std::string& socket_path);

}  // namespace quelt::server
