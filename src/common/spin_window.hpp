#pragma once
// How long a reader keeps retrying a read that would block before it sleeps
// until the bytes arrive. Sleeping costs a wake-up, which on these machines
// is most of a small round trip; spinning costs processor time, which is
// only worth spending on replies that come within microseconds.
//
// One window per connection, learning from that connection's replies:
// - the spin lasts a few times the typical wait of recent replies caught
//   while spinning, between kShortest and kLongest;
// - a spin that runs out stops spinning for the next reads, for four times
//   as many each time it runs out again (at most kLongestPause reads), with
//   a spin now and then to see whether the replies have become prompt;
// - a read that slept and still had its bytes within the window shows that
//   the replies are prompt again: spinning resumes at once.
// Against a server that answers late the cost is one spin per kLongestPause
// reads; against one that answers at once the reader never sleeps.
#include <algorithm>
#include <chrono>
#include <cstdint>

namespace quelt {

class SpinWindow {
public:
    using Duration = std::chrono::nanoseconds;

    static constexpr Duration kShortest = std::chrono::microseconds(10);
    static constexpr Duration kLongest = std::chrono::microseconds(50);
    static constexpr std::uint32_t kLongestPause = 4096;

    // The spin for the next read that would block: zero means sleep at once.
    // Each call counts one read against a pause.
    Duration next_spin() noexcept {
        if (pause_left_ == 0) return window_;
        --pause_left_;
        return Duration::zero();
    }

    // The bytes came `waited` after the read began, while spinning (or were
    // there at once).
    void caught(Duration waited) noexcept {
        pause_ = 0;
        typical_ = (3 * typical_ + waited) / 4;
        window_ = std::clamp(4 * typical_, kShortest, kLongest);
    }

    // The spin ran out before the bytes came.
    void missed() noexcept {
        pause_ = std::min(pause_ == 0 ? 1 : 4 * pause_, kLongestPause);
        pause_left_ = pause_;
    }

    // The reader slept (no spin was allowed) and the bytes came `waited`
    // after the read began, wake-up included.
    void slept(Duration waited) noexcept {
        if (waited <= window_) pause_left_ = pause_ = 0;
    }

private:
    // A new connection spins for 20 µs: enough for a server on another
    // processor to answer a small request, cheap to lose against a slow one.
    Duration typical_ = std::chrono::microseconds(5);
    Duration window_ = 4 * typical_;
    std::uint32_t pause_ = 0;       // the length of the current pause, in reads
    std::uint32_t pause_left_ = 0;  // reads left in it
};

}  // namespace quelt
