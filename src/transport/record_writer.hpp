#pragma once
// Writes record-encoded values. The same encoding routine runs twice over a
// record: once with a SizeCounter to learn the exact size, then with a
// BufferWriter over a buffer of exactly that size.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "transport/little_endian.hpp"
#include <bit>

namespace quelt::wire {

class SizeCounter {
public:
    void raw(const void*, std::size_t count) noexcept { size_ += count; }
    template <class T>
    void fixed(T) noexcept { size_ += sizeof(T); }
    std::uint64_t size() const noexcept { return size_; }

private:
    std::uint64_t size_ = 0;
};

class BufferWriter {
public:
    explicit BufferWriter(std::span<std::uint8_t> out) noexcept : at_(out.data()) {}
    void raw(const void* bytes, std::size_t count) noexcept {
        if (count != 0) std::memcpy(at_, bytes, count);
        at_ += count;
    }
    template <class T>
    void fixed(T value) noexcept {
        store_le(at_, value);
        at_ += sizeof(T);
    }
    std::uint8_t* position() const noexcept { return at_; }

private:
    std::uint8_t* at_;
};

// A record sent from where its parts lie: byte fields of at least `borrow_from`
// bytes stay in the caller's memory; everything else is written into one
// buffer of the frame's own. GatherCounter learns both sizes;
// GatherWriter fills the buffer and lists the pieces in wire order.
class GatherCounter {
public:
    explicit GatherCounter(std::size_t borrow_from) noexcept : borrow_from_(borrow_from) {}
    void raw(const void*, std::size_t count) noexcept {
        size_ += count;
        if (count >= borrow_from_) borrowed_ += count;
    }
    template <class T>
    void fixed(T) noexcept { size_ += sizeof(T); }
    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t owned_size() const noexcept { return size_ - borrowed_; }

private:
    std::size_t borrow_from_;
    std::uint64_t size_ = 0;
    std::uint64_t borrowed_ = 0;
};

class GatherWriter {
public:
    // `owned` continues after `owned_start` bytes that are already part of
    // the frame (its header). `pieces` stays empty when nothing is borrowed:
    // the owned buffer alone is then the whole frame.
    GatherWriter(std::span<std::uint8_t> owned, std::size_t owned_start, std::size_t borrow_from,
                 std::vector<std::span<const std::uint8_t>>& pieces) noexcept
        : piece_start_(owned.data()), at_(owned.data() + owned_start), borrow_from_(borrow_from), pieces_(pieces) {}

    void raw(const void* bytes, std::size_t count) {
        if (count < borrow_from_) {
            if (count != 0) std::memcpy(at_, bytes, count);
            at_ += count;
            return;
        }
        close_owned_piece();
        pieces_.emplace_back(static_cast<const std::uint8_t*>(bytes), count);
    }
    template <class T>
    void fixed(T value) noexcept {
        store_le(at_, value);
        at_ += sizeof(T);
    }
    // Ends the last owned piece; call once after the record.
    void finish() {
        if (!pieces_.empty()) close_owned_piece();
    }

private:
    void close_owned_piece() {
        if (at_ != piece_start_) pieces_.emplace_back(piece_start_, static_cast<std::size_t>(at_ - piece_start_));
        piece_start_ = at_;
    }

    std::uint8_t* piece_start_;
    std::uint8_t* at_;
    std::size_t borrow_from_;
    std::vector<std::span<const std::uint8_t>>& pieces_;
};

// The value encodings shared by every record, for either sink.
template <class Sink>
struct RecordWriter {
    Sink& sink;

    void u8(std::uint8_t v) { sink.fixed(v); }
    void u32(std::uint32_t v) { sink.fixed(v); }
    void u64(std::uint64_t v) { sink.fixed(v); }
    void i64(std::int64_t v) { sink.fixed(v); }
    void f32(float v) { sink.fixed(std::bit_cast<std::uint32_t>(v)); }
    void boolean(bool v) { sink.fixed(static_cast<std::uint8_t>(v ? 1 : 0)); }
    void string(std::string_view text) {
        u64(text.size());
        sink.raw(text.data(), text.size());
    }
    void bytes(std::span<const std::uint8_t> bytes) {
        u64(bytes.size());
        sink.raw(bytes.data(), bytes.size());
    }
    template <class T, class Write>
    void optional(const std::optional<T>& value, Write write) {
        u8(value ? 1 : 0);
        if (value) write(*value);
    }
};

}  // namespace quelt::wire
