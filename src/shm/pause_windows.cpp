#include "shm/pause.hpp"

#include <windows.h>

#include "common/spin_hint.hpp"

namespace quelt::shm {
namespace {

// Windows sleeps in ticks of its timer (often 15.6 ms): only a pause this
// long is worth a real sleep; a wait long enough for such pauses is late by
// at most a tick.
constexpr std::chrono::milliseconds kShortestSleep{4};

}  // namespace

// Below kShortestSleep the pause offers the processor to any thread that is
// ready to run, then spins out the rest of a microsecond: the wait keeps its
// pace and still lets the server run.
void pause_for(std::chrono::nanoseconds length) noexcept {
    if (length >= kShortestSleep) {
        ::Sleep(static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(length).count()));
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(1);
    ::SwitchToThread();
    while (std::chrono::steady_clock::now() < until) spin_hint();
}

}  // namespace quelt::shm
