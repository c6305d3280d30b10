#pragma once
// Sole owner of the operating-system handle under a Connection: a socket on
// either platform, or on Windows a named-pipe HANDLE. Both fit an intptr_t,
// and -1 is invalid for both. Closing is the platform's (connection_io_*.cpp).
#include <cstdint>
#include <utility>

#include "net/socket.hpp"

namespace quelt::net {

class StreamHandle {
public:
    enum class Kind : std::uint8_t { Socket, Pipe };

    StreamHandle() = default;
    explicit StreamHandle(Socket socket) noexcept
        : value_(static_cast<std::intptr_t>(socket.release())), kind_(Kind::Socket) {}
    // Takes a named pipe's HANDLE (Windows build only).
    static StreamHandle pipe(void* handle) noexcept { return StreamHandle(reinterpret_cast<std::intptr_t>(handle)); }
    StreamHandle(StreamHandle&& other) noexcept : value_(std::exchange(other.value_, kNone)), kind_(other.kind_) {}
    StreamHandle& operator=(StreamHandle&& other) noexcept {
        if (this != &other) {
            close();
            value_ = std::exchange(other.value_, kNone);
            kind_ = other.kind_;
        }
        return *this;
    }
    StreamHandle(const StreamHandle&) = delete;
    StreamHandle& operator=(const StreamHandle&) = delete;
    ~StreamHandle() { close(); }

    std::intptr_t get() const noexcept { return value_; }
    // The socket of a Socket stream.
    NativeSocket socket() const noexcept { return static_cast<NativeSocket>(value_); }
    Kind kind() const noexcept { return kind_; }
    bool valid() const noexcept { return value_ != kNone; }

private:
    static constexpr std::intptr_t kNone = -1;
    explicit StreamHandle(std::intptr_t pipe) noexcept : value_(pipe), kind_(Kind::Pipe) {}
    void close() noexcept;

    std::intptr_t value_ = kNone;
    Kind kind_ = Kind::Socket;
};

}  // namespace quelt::net
