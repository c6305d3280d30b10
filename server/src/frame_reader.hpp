#pragma once
// Reads request frames from one connection. Bytes are received in as large
// pieces as the kernel has ready, so a small request usually costs one
// receive call for its header and payload together.
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/spin_window.hpp"
#include "peer.hpp"
#include "transport/byte_buffer.hpp"
#include "transport/frame_header.hpp"

namespace quelt::server {

struct RequestFrame {
    wire::RequestFrameHeader header;
    std::span<const std::uint8_t> payload;  // valid until the next call of next()
};

class FrameReader {
public:
    explicit FrameReader(Peer peer) : peer_(peer) {}

    // The next whole frame, or false when the connection ended or failed
    // (also in the middle of a frame). A frame that announces a huge payload
    // only grows the buffer as its bytes actually arrive.
    bool next(RequestFrame& frame);

private:
    // Makes at least `count` bytes available from begin_.
    bool fill(std::size_t count);
    void make_room(std::size_t count);

    Peer peer_;
    wire::ByteBuffer buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    // How long a read spins for the next bytes, learnt from this connection.
    SpinWindow spin_;
};

}  // namespace quelt::server
