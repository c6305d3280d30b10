#include "transport/utf8.hpp"

#include <cstring>

namespace quelt::wire {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence a lead byte opens; 0 for a byte that cannot lead.
int sequence_width(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The second byte's range depends on the lead: this excludes overlong forms,
// surrogates and code points above U+10FFFF.
bool second_byte_fits(std::uint8_t lead, std::uint8_t second) {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

}  // namespace

std::string Utf8Error::text() const {
    if (error_len)
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept {
    const std::size_t size = bytes.size();
    std::size_t at = 0;
    while (at < size) {
        // Skip ASCII eight bytes at a time: most texts are plain names.
        while (at + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + at, 8);
            if (word & 0x8080808080808080ull) break;
            at += 8;
        }
        if (at >= size) break;
        const std::uint8_t lead = bytes[at];
        const int width = sequence_width(lead);
        if (width == 1) {
            ++at;
            continue;
        }
        if (width == 0) return Utf8Error{at, 1};
        for (int i = 1; i < width; ++i) {
            if (at + i >= size) return Utf8Error{at, std::nullopt};
            const std::uint8_t next = bytes[at + i];
            const bool fits = i == 1 ? second_byte_fits(lead, next) : is_continuation(next);
            if (!fits) return Utf8Error{at, static_cast<std::uint8_t>(i)};
        }
        at += static_cast<std::size_t>(width);
    }
    return std::nullopt;
}

}  // namespace quelt::wire
