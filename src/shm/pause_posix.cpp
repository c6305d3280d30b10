#include "shm/pause.hpp"

#include <time.h>

namespace quelt::shm {

void pause_one_microsecond() noexcept {
    const timespec request{0, 1000};
    // An interrupted sleep just ends the pause early: the caller polls again
    // and runs its signal check, which is what an interruption is for.
    ::nanosleep(&request, nullptr);
}

}  // namespace quelt::shm
