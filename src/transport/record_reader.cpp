#include "transport/record_reader.hpp"

#include <algorithm>

#include "common/propagate.hpp"
#include "transport/utf8.hpp"

namespace quelt::wire {

std::size_t RecordReader::capped_reservation(std::uint64_t count, std::size_t element_size) noexcept {
    constexpr std::uint64_t kCapBytes = 1u << 20;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kCapBytes / element_size));
}

quelt::unexpected<Error> RecordReader::past_end() { return decode_failure(std::string(kUnexpectedEof)); }

quelt::unexpected<Error> RecordReader::invalid_tag(std::uint8_t tag) {
    return decode_failure("tag for enum is not valid, found " + std::to_string(tag));
}

Result<float> RecordReader::f32() {
    QUELT_TRY(bits, fixed<std::uint32_t>());
    return std::bit_cast<float>(*bits);
}

Result<bool> RecordReader::boolean() {
    QUELT_TRY(byte, u8());
    if (*byte > 1) return decode_failure("invalid value for bool, found " + std::to_string(*byte));
    return *byte == 1;
}

Result<std::string_view> RecordReader::string() {
    QUELT_TRY(length, u64());
    if (*length > rest_.size()) return decode_failure(std::string(kStringPastEnd));
    auto bytes = *take(*length);
    if (auto fault = validate_utf8(bytes)) return decode_failure("string is not valid utf8: " + fault->text());
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Result<std::span<const std::uint8_t>> RecordReader::bytes() {
    QUELT_TRY(length, u64());
    return take(*length);
}

template <class T>
Result<std::vector<T>> RecordReader::fixed_sequence() {
    QUELT_TRY(count, u64());
    // Fixed-width elements cannot fail any other way, so a count that the
    // remaining bytes cannot hold fails at once instead of element by element.
    if (*count > rest_.size() / sizeof(T)) return decode_failure(std::string(kUnexpectedEof));
    std::vector<T> values;
    values.reserve(static_cast<std::size_t>(*count));  // bounded by bytes actually present
    auto bytes = *take(*count * sizeof(T));
    for (std::size_t at = 0; at < bytes.size(); at += sizeof(T)) values.push_back(load_le<T>(bytes.data() + at));
    return values;
}

Result<std::vector<std::int64_t>> RecordReader::i64_sequence() { return fixed_sequence<std::int64_t>(); }
Result<std::vector<std::uint32_t>> RecordReader::u32_sequence() { return fixed_sequence<std::uint32_t>(); }

}  // namespace quelt::wire
