#pragma once
// The 1-microsecond sleep between two polls of a queue.
namespace quelt::shm {

void pause_one_microsecond() noexcept;

}  // namespace quelt::shm
