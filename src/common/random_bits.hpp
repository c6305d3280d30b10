#pragma once
// 64 unpredictable bits: from the system's random source, mixed with the
// clock and this process's addresses, so that two processes (or two calls)
// practically never draw the same value even where that source is missing.
#include <cstdint>

namespace quelt {

std::uint64_t random_bits() noexcept;

}  // namespace quelt
