#pragma once
// Where a received tensor's data bytes are written. A reply reader asks for
// the room once it knows the data's length and then fills it straight from
// the socket, so the bytes are copied once, from the kernel into the place
// the caller keeps them (a Python bytes object, or a buffer of the server's).
#include <cstdint>
#include <span>

#include "transport/byte_buffer.hpp"

namespace quelt::wire {

class DataSink {
public:
    // Room for exactly `size` bytes of unspecified content, valid until the
    // next call. A reader calls it at most once per packet that decodes,
    // and may call it for a packet that then fails; the last room handed out
    // holds the data of a successful read. Throws std::bad_alloc when no
    // memory is left.
    virtual std::span<std::uint8_t> allocate(std::size_t size) = 0;

protected:
    ~DataSink() = default;
};

// A sink over a heap buffer of its own.
class BufferSink final : public DataSink {
public:
    std::span<std::uint8_t> allocate(std::size_t size) override {
        buffer = ByteBuffer::uninitialised(size);
        return buffer.span();
    }

    ByteBuffer buffer;
};

}  // namespace quelt::wire
