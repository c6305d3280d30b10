#pragma once
// Sole owner of the operating-system handle under a Connection: a socket
// descriptor on POSIX; a SOCKET or a named-pipe HANDLE on Windows. Every one
// of them fits an intptr_t, and -1 is invalid for all of them. Closing is the
// platform's (connection_io_*.cpp).
#include <cstdint>
#include <utility>

namespace quelt::net {

class StreamHandle {
public:
    enum class Kind : std::uint8_t { Socket, Pipe };

    StreamHandle() = default;
    StreamHandle(std::intptr_t value, Kind kind) noexcept : value_(value), kind_(kind) {}
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
    Kind kind() const noexcept { return kind_; }
    bool valid() const noexcept { return value_ != kNone; }

private:
    static constexpr std::intptr_t kNone = -1;
    void close() noexcept;

    std::intptr_t value_ = kNone;
    Kind kind_ = Kind::Socket;
};

}  // namespace quelt::net
