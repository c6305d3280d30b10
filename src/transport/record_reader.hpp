#pragma once
// Reads record-encoded values from the front of a byte span. Every failure is
// the decoder's user-facing text; nothing is allocated on the word of a count.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/propagate.hpp"
#include "transport/little_endian.hpp"

namespace quelt::wire {

inline constexpr std::string_view kUnexpectedEof = "io error: unexpected end of file";
// A string whose declared length runs past the body.
inline constexpr std::string_view kStringPastEnd = "io error: ";

class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> bytes) noexcept : rest_(bytes) {}

    std::size_t remaining() const noexcept { return rest_.size(); }
    std::span<const std::uint8_t> rest() const noexcept { return rest_; }

    // The fixed-width readers are defined here so that they inline into the
    // decoders: a reply is a few dozen of them, and a call each cost more
    // than the decoding itself. Their failures are built out of line.
    Result<std::uint8_t> u8() { return fixed<std::uint8_t>(); }
    Result<std::uint32_t> u32() { return fixed<std::uint32_t>(); }
    Result<std::uint64_t> u64() { return fixed<std::uint64_t>(); }
    Result<std::int64_t> i64() { return fixed<std::int64_t>(); }
    Result<float> f32();
    Result<bool> boolean();
    // Tag of an optional value: false = absent, true = present.
    Result<bool> option_tag() {
        QUELT_TRY(tag, u8());
        if (*tag > 1) [[unlikely]] return invalid_tag(*tag);
        return *tag == 1;
    }
    Result<std::string_view> string();
    Result<std::span<const std::uint8_t>> bytes();
    // The next `count` bytes as they lie, without a length in front.
    Result<std::span<const std::uint8_t>> raw(std::uint64_t count) { return take(count); }
    Result<std::vector<std::int64_t>> i64_sequence();
    Result<std::vector<std::uint32_t>> u32_sequence();

    // Room reserved up front for `count` elements of `element_size` bytes:
    // never more than 1 MiB, whatever the count claims.
    static std::size_t capped_reservation(std::uint64_t count, std::size_t element_size) noexcept;

private:
    Result<std::span<const std::uint8_t>> take(std::uint64_t count) {
        if (count > rest_.size()) [[unlikely]] return past_end();
        auto taken = rest_.first(static_cast<std::size_t>(count));
        rest_ = rest_.subspan(static_cast<std::size_t>(count));
        return taken;
    }
    template <class T>
    Result<T> fixed() {
        if (sizeof(T) > rest_.size()) [[unlikely]] return past_end();
        const T value = load_le<T>(rest_.data());
        rest_ = rest_.subspan(sizeof(T));
        return value;
    }
    [[gnu::cold]] static quelt::unexpected<Error> past_end();
    [[gnu::cold]] static quelt::unexpected<Error> invalid_tag(std::uint8_t tag);
    template <class T>
    Result<std::vector<T>> fixed_sequence();

    std::span<const std::uint8_t> rest_;
};

inline quelt::unexpected<Error> decode_failure(std::string message) {
    return quelt::unexpected(Error::wire(std::move(message)));
}

}  // namespace quelt::wire
