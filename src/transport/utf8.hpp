#pragma once
// Strict UTF-8 validation that reports the first fault the way users of the
// record decoder see it: how many bytes are valid before it, and how long the
// bad sequence is (nothing when the text just stops inside a sequence).
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quelt::wire {

struct Utf8Error {
    std::size_t valid_up_to;
    std::optional<std::uint8_t> error_len;

    // "invalid utf-8 sequence of N bytes from index I" or
    // "incomplete utf-8 byte sequence from index I".
    std::string text() const;
};

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace quelt::wire
