#pragma once
// Reads request frames from one connection. Bytes are received in as large
// pieces as the kernel has ready, so a small request usually costs one
// receive call for its header and payload together.
#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/byte_buffer.hpp"
#include "transport/frame_header.hpp"

namespace quelt::server {

struct RequestFrame {
    wire::RequestFrameHeader header;
    std::span<const std::uint8_t> payload;  // valid until the next call of next()
};

class FrameReader {
public:
    explicit FrameReader(int fd);

    // The next whole frame, or false when the connection ended or failed
    // (also in the middle of a frame). A frame that announces a huge payload
    // only grows the buffer as its bytes actually arrive.
    bool next(RequestFrame& frame);

    // From now on, wait for the next bytes with poll() before reading them.
    // A Unix socket wakes a reader blocked in recv() whenever its peer frees
    // buffer space, that is each time the client reads a reply. A client that
    // yields instead of sleeping in recv() (the hybrid client) is then
    // preempted by a server thread that finds nothing to read: 1.7 server
    // context switches per call instead of 1.0. poll() wakes for readable data
    // only, at the price of one more system call per request, which a client
    // that sleeps in recv() would pay for nothing.
    void wait_for_readable_data() { wait_for_readable_ = is_unix_; }

private:
    // Makes at least `count` bytes available from begin_.
    bool fill(std::size_t count);
    void make_room(std::size_t count);
    bool await_readable() const;

    int fd_;
    bool is_unix_;
    bool wait_for_readable_ = false;
    wire::ByteBuffer buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace quelt::server
