#pragma once
// A heap byte buffer that is never zero-filled and grows in place where the
// allocator can (large blocks are remapped rather than copied on Linux), so a
// frame can be filled, or read into as bytes arrive, without extra passes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace quelt::wire {

class ByteBuffer {
public:
    ByteBuffer() = default;
    // A buffer moved from is empty and can be filled again.
    ByteBuffer(ByteBuffer&& other) noexcept
        : bytes_(std::move(other.bytes_)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    // `size` bytes of unspecified content.
    static ByteBuffer uninitialised(std::size_t size) {
        ByteBuffer buffer;
        buffer.reserve(size);
        buffer.size_ = size;
        return buffer;
    }

    std::uint8_t* data() noexcept { return bytes_.get(); }
    const std::uint8_t* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::span<std::uint8_t> span() noexcept { return {data(), size_}; }
    std::span<const std::uint8_t> span() const noexcept { return {data(), size_}; }

    // Throws std::bad_alloc when memory is exhausted.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        void* grown = std::realloc(bytes_.get(), capacity);
        if (grown == nullptr) throw std::bad_alloc();
        (void)bytes_.release();
        bytes_.reset(static_cast<std::uint8_t*>(grown));
        capacity_ = capacity;
    }

    // Grows or shrinks the readable part; new bytes are unspecified.
    void resize(std::size_t size) {
        reserve(size);
        size_ = size;
    }

private:
    struct Free {
        void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<std::uint8_t, Free> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quelt::wire
