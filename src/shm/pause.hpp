#pragma once
// A sleep between two polls of a queue.
#include <chrono>

namespace quelt::shm {

// Sleeps about `length` (the kernel may stretch a short one to its timer
// slack); a signal ends it early.
void pause_for(std::chrono::nanoseconds length) noexcept;

}  // namespace quelt::shm
