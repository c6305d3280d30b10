#include "transport/base64.hpp"

#include <array>

namespace quelt::wire {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> kSextets = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(kNotInAlphabet);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}();

std::uint8_t sextet(char c) { return kSextets[static_cast<unsigned char>(c)]; }
bool in_alphabet(char c) { return sextet(c) != kNotInAlphabet; }

quelt::unexpected<Error> invalid_symbol(char c, std::size_t offset) {
    return quelt::unexpected(Error::wire("Invalid symbol " + std::to_string(static_cast<unsigned char>(c)) + ", offset " +
                                         std::to_string(offset) + "."));
}

// Appends the bytes that `count` sextets (2 to 4) carry.
void append_group(std::vector<std::uint8_t>& out, const std::uint8_t* s, std::size_t count) {
    const std::uint32_t bits = (std::uint32_t(s[0]) << 18) | (std::uint32_t(s[1]) << 12) |
                               (count > 2 ? std::uint32_t(s[2]) << 6 : 0) | (count > 3 ? s[3] : 0);
    out.push_back(static_cast<std::uint8_t>(bits >> 16));
    if (count > 2) out.push_back(static_cast<std::uint8_t>(bits >> 8));
    if (count > 3) out.push_back(static_cast<std::uint8_t>(bits));
}

}  // namespace

Result<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    const std::size_t n = text.size();
    std::vector<std::uint8_t> out;
    if (n == 0) return out;
    // A stray character at the very end (a line break, say) is reported first.
    if (n % 4 == 1 && text[n - 1] != '=' && !in_alphabet(text[n - 1])) return invalid_symbol(text[n - 1], n - 1);

    const std::size_t final_start = n % 4 == 0 ? n - 4 : n - n % 4;
    out.reserve(final_start / 4 * 3 + 3);
    for (std::size_t group = 0; group < final_start; group += 4) {
        std::uint8_t s[4];
        for (std::size_t i = 0; i < 4; ++i) {
            s[i] = sextet(text[group + i]);
            if (s[i] == kNotInAlphabet) return invalid_symbol(text[group + i], group + i);
        }
        append_group(out, s, 4);
    }

    std::uint8_t s[4] = {0, 0, 0, 0};
    std::size_t symbols = 0, padding = 0, padding_start = 0;
    for (std::size_t at = final_start; at < n; ++at) {
        const char c = text[at];
        if (c == '=') {
            if (at - final_start < 2) return invalid_symbol(c, at);
            if (padding++ == 0) padding_start = at;
        } else if (padding > 0) {
            return invalid_symbol('=', padding_start);
        } else if (!in_alphabet(c)) {
            return invalid_symbol(c, at);
        } else {
            s[symbols++] = sextet(c);
        }
    }
    if (symbols < 2) return quelt::unexpected(Error::wire("Invalid input length: " + std::to_string(final_start + symbols)));
    if (symbols + padding != 4) return quelt::unexpected(Error::wire("Invalid padding"));
    const std::uint8_t unused_bits = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0x00;
    if (s[symbols - 1] & unused_bits) {
        const std::size_t offset = final_start + symbols - 1;
        return quelt::unexpected(Error::wire("Invalid last symbol " +
                                             std::to_string(static_cast<unsigned char>(text[offset])) + ", offset " +
                                             std::to_string(offset) + "."));
    }
    append_group(out, s, symbols);
    return out;
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const std::uint32_t bits = (std::uint32_t(bytes[at]) << 16) | (std::uint32_t(bytes[at + 1]) << 8) | bytes[at + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kAlphabet[(bits >> shift) & 0x3F]);
    }
    const std::size_t left = bytes.size() - at;
    if (left > 0) {
        const std::uint32_t bits = (std::uint32_t(bytes[at]) << 16) | (left > 1 ? std::uint32_t(bytes[at + 1]) << 8 : 0);
        text.push_back(kAlphabet[(bits >> 18) & 0x3F]);
        text.push_back(kAlphabet[(bits >> 12) & 0x3F]);
        text.push_back(left > 1 ? kAlphabet[(bits >> 6) & 0x3F] : '=');
        text.push_back('=');
    }
    return text;
}

}  // namespace quelt::wire
