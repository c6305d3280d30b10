#pragma once
// How a client waiting for its answer paces its polls once the spin has run
// out. The pause grows with the wait: a sixteenth of the time waited so far,
// between kShortestPause and kLongestPause. An answer is then seen at most a
// sixteenth later than it came (plus the kernel's timer slack), while a model
// that takes half a second costs a few hundred wake-ups instead of one every
// few dozen microseconds. Each pass still checks for signals (a signal also
// ends a sleep early) and the deadline, so neither moves by more than
// kLongestPause.
#include <algorithm>
#include <chrono>

#include "shm/pause.hpp"

namespace quelt::shm {

inline constexpr std::chrono::nanoseconds kShortestPause = std::chrono::microseconds(1);
inline constexpr std::chrono::nanoseconds kLongestPause = std::chrono::milliseconds(4);
inline constexpr int kPauseShare = 16;  // the pause is waited / kPauseShare

constexpr std::chrono::nanoseconds pause_after(std::chrono::nanoseconds waited) noexcept {
    return std::clamp(waited / kPauseShare, kShortestPause, kLongestPause);
}

// The sleeping step of a wait that began at `start`.
inline void pause_while_waiting(std::chrono::steady_clock::time_point start) noexcept {
    pause_for(pause_after(std::chrono::steady_clock::now() - start));
}

}  // namespace quelt::shm
