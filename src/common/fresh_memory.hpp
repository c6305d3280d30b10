#pragma once
// Memory that is about to be written whole for the first time: a new result
// object of many megabytes. Filling it costs a page fault per 4 KiB page
// (most of the time such a copy takes); asking the kernel for huge pages
// first turns 512 of those faults into one.
#include <cstddef>
#include <cstdint>
#include <span>

namespace quelt {

// Results from this size on are worth a look: below it the fault cost is
// small, and the allocator mostly hands out memory it has used before.
inline constexpr std::size_t kFreshFillAdviceFrom = 4u << 20;

// Called before `room` is filled from its first byte to its last. Advises
// the whole huge pages inside it, and only if they have never been touched
// (memory the allocator reuses is resident already and gains nothing). Purely
// an optimisation: whatever the kernel says, the memory behaves as before.
void prepare_fresh_fill(std::span<std::uint8_t> room) noexcept;

}  // namespace quelt
