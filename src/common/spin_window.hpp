#pragma once
// How long a reader keeps retrying a read that would block before it sleeps
// until the bytes arrive. Sleeping costs a wake-up, which on these machines
// is most of a small round trip; spinning costs processor time, which is
// only worth spending on replies that come within microseconds.
//
// One window per connection, learning from every read that had to wait for
// its bytes, whether they were caught while spinning or met after a sleep:
// - the spin lasts a few times the typical wait, between kShortest and
//   kLongest;
// - a connection whose typical wait is above kLate does not spin at all: its
//   reader sleeps at once, as a plain blocking read does, and costs no
//   processor time while it waits.
// A reply met after a sleep counts with the sleeper's own wake-up in it, so
// it looks later than it was; that errs towards spinning, which is what gets
// two peers out of the state where each sleeps and each reply waits for a
// wake-up on the other side (tens of microseconds on a virtual machine, more
// than the exchange itself). kLongest is long enough to cover such a
// wake-up. A late reply counts as at most kRemembered, so a connection that
// was slow for a while spins again after a few prompt replies.
#include <algorithm>
#include <chrono>

namespace quelt {

class SpinWindow {
public:
    using Duration = std::chrono::nanoseconds;

    static constexpr Duration kShortest = std::chrono::microseconds(10);
    static constexpr Duration kLongest = std::chrono::microseconds(200);
    static constexpr Duration kLate = std::chrono::microseconds(150);
    static constexpr Duration kRemembered = 2 * kLate;

    // The spin for the next read that would block: zero means sleep at once.
    Duration next_spin() const noexcept {
        if (typical_ > kLate) return Duration::zero();
        return std::clamp(4 * typical_, kShortest, kLongest);
    }

    // The bytes came `waited` after the read began: caught while the reader
    // spun (or there at once), or met after it slept, wake-up included.
    void learn(Duration waited) noexcept {
        // A sleeping read whose bytes were already there returns within a
        // system call: that is the rest of a reply, not how long the peer took.
        if (waited < kAlreadyThere) return;
        typical_ = (3 * typical_ + std::min(waited, kRemembered)) / 4;
    }

private:
    static constexpr Duration kAlreadyThere = std::chrono::microseconds(2);

    // A new connection spins for 20 µs: enough for a server on another
    // processor to answer a small request, cheap to lose against a slow one.
    Duration typical_ = std::chrono::microseconds(5);
};

}  // namespace quelt
