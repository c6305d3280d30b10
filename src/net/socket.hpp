#pragma once
// Sole owner of one socket: closed exactly once (socket_<platform>.cpp), never
// leaked.
#include <utility>

#include "net/socket_types.hpp"

namespace quelt::net {

void close_socket(NativeSocket socket) noexcept;

class Socket {
public:
    Socket() = default;
    explicit Socket(NativeSocket socket) noexcept : socket_(socket) {}
    Socket(Socket&& other) noexcept : socket_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }

    NativeSocket get() const noexcept { return socket_; }
    bool valid() const noexcept { return socket_ != kNoSocket; }
    explicit operator bool() const noexcept { return valid(); }
    NativeSocket release() noexcept { return std::exchange(socket_, kNoSocket); }
    void reset(NativeSocket socket = kNoSocket) noexcept {
        if (valid()) close_socket(socket_);
        socket_ = socket;
    }

private:
    NativeSocket socket_ = kNoSocket;
};

}  // namespace quelt::net
