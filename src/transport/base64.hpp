#pragma once
// Standard base64 (RFC 4648 alphabet, "=" padding required and canonical, no
// white space). Failures carry the text the user sees, checked in a fixed
// order so that the first fault reported is always the same one.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace quelt::wire {

Result<std::vector<std::uint8_t>> decode_base64(std::string_view text);
std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace quelt::wire
