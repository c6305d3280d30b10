#pragma once
// Reads record-encoded values from the front of a byte span. Every failure is
// the decoder's user-facing text; nothing is allocated on the word of a count.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelt::wire {

struct DecodeError {
    std::string message;
};

template <class T>
using DecodeResult = std::expected<T, DecodeError>;

inline constexpr std::string_view kUnexpectedEof = "io error: unexpected end of file";
// A string whose declared length runs past the body.
inline constexpr std::string_view kStringPastEnd = "io error: ";

class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> bytes) noexcept : rest_(bytes) {}

    std::size_t remaining() const noexcept { return rest_.size(); }
    std::span<const std::uint8_t> rest() const noexcept { return rest_; }

    DecodeResult<std::uint8_t> u8();
    DecodeResult<std::uint32_t> u32();
    DecodeResult<std::uint64_t> u64();
    DecodeResult<std::int64_t> i64();
    DecodeResult<float> f32();
    DecodeResult<bool> boolean();
    // Tag of an optional value: false = absent, true = present.
    DecodeResult<bool> option_tag();
    DecodeResult<std::string_view> string();
    DecodeResult<std::span<const std::uint8_t>> bytes();
    // The next `count` bytes as they lie, without a length in front.
    DecodeResult<std::span<const std::uint8_t>> raw(std::uint64_t count) { return take(count); }
    DecodeResult<std::vector<std::int64_t>> i64_sequence();
    DecodeResult<std::vector<std::uint32_t>> u32_sequence();

    // Room reserved up front for `count` elements of `element_size` bytes:
    // never more than 1 MiB, whatever the count claims.
    static std::size_t capped_reservation(std::uint64_t count, std::size_t element_size) noexcept;

private:
    DecodeResult<std::span<const std::uint8_t>> take(std::uint64_t count);
    template <class T>
    DecodeResult<T> fixed();
    template <class T>
    DecodeResult<std::vector<T>> fixed_sequence();

    std::span<const std::uint8_t> rest_;
};

inline std::unexpected<DecodeError> decode_failure(std::string message) {
    return std::unexpected(DecodeError{std::move(message)});
}

}  // namespace quelt::wire
