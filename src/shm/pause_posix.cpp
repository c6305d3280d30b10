#include "shm/pause.hpp"

#include <time.h>

namespace quelt::shm {

void pause_for(std::chrono::nanoseconds length) noexcept {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(length);
    const timespec request{static_cast<time_t>(seconds.count()), static_cast<long>((length - seconds).count())};
    // An interrupted sleep just ends the pause early: the caller polls again
    // and runs its signal check, which is what an interruption is for.
    ::nanosleep(&request, nullptr);
}

}  // namespace quelt::shm
