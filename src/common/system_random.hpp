#pragma once
// 64 bits from the operating system's random source, or 0 where it has none
// (random_bits() mixes in the clock and addresses, so callers still differ).
#include <cstdint>

namespace quelt {

std::uint64_t system_random() noexcept;

}  // namespace quelt
