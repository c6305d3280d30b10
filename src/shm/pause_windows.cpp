#include "shm/pause.hpp"

#include <windows.h>

#include <chrono>

#include "shm/ring_buffer.hpp"

namespace quelt::shm {

// The shortest sleep Windows offers is a millisecond or more, a thousand
// times the pause that the wait is built around. So the pause offers the
// processor to any thread that is ready to run, then spins out the rest of
// the microsecond: the wait keeps its pace and still lets the server run.
void pause_one_microsecond() noexcept {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(1);
    ::SwitchToThread();
    while (std::chrono::steady_clock::now() < until) spin_hint();
}

}  // namespace quelt::shm
