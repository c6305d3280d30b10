#pragma once
// A client's wait for the answer to its request: poll the response queue,
// drop answers to other requests, give up once more than 5 whole seconds have
// passed, let the caller check for interruptions on every pass.
//
// Polling is fast at first: for a while the loop only spins with a processor
// hint, so an answer that arrives meanwhile is seen within about a
// microsecond. The server needs time in proportion to the bytes it reads, so
// a larger request spins longer. After that the loop sleeps between polls,
// longer the longer it has waited (see shm/wait_pacing.hpp), so a slow model
// or a server that never answers costs little processor time.
//
// A spinning pass is a few dozen nanoseconds, and reading the clock would be
// the largest part of it: while spinning the clock is read only every few
// dozen passes, a microsecond or two apart, which moves neither the deadline
// nor the end of the spin by anything that matters. Once sleeping, every pass
// reads it: a pass then lasts tens of microseconds anyway.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "common/expected.hpp"
#include "shm/region_queues.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/wait_pacing.hpp"

namespace quelt::shm {

struct WaitFailure {
    enum class Kind {
        TimedOut,     // "Request timed out"
        Interrupted,  // the caller's check said stop (its own error is pending)
        InvalidRegion,
    };
    Kind kind;
    std::string message;
};

inline constexpr std::chrono::seconds kResponseDeadline{5};
inline constexpr std::chrono::microseconds kShortestSpin{80};
inline constexpr std::chrono::milliseconds kLongestSpin{20};
// While spinning: the clock is read on one pass in this many ...
inline constexpr std::uint32_t kPassesPerClockRead = 32;
// ... and the processor is offered to other ready threads on one pass in this
// many, so a server that shares this processor gets to answer.
inline constexpr std::uint32_t kPassesPerYield = 256;

// How long to spin for the answer to a request of `request_bytes` (its tensor
// block): the shortest spin plus 1 ns per byte (the server reading at 1 GB/s
// or better), at most kLongestSpin.
constexpr std::chrono::nanoseconds spin_budget(std::uint64_t request_bytes) noexcept {
    const auto shortest = static_cast<std::uint64_t>(std::chrono::nanoseconds(kShortestSpin).count());
    const auto longest = static_cast<std::uint64_t>(std::chrono::nanoseconds(kLongestSpin).count());
    return std::chrono::nanoseconds(shortest + std::min(request_bytes, longest - shortest));
}

// `keep_waiting()` runs on every pass that did not find the answer; it returns
// false to end the wait (for example when a signal handler raised).
template <class KeepWaiting>
quelt::expected<ResponseEntry, WaitFailure> await_response(const ShmRegion& region, std::uint64_t request_id,
                                                         std::chrono::steady_clock::time_point start,
                                                         std::chrono::nanoseconds spin_for,
                                                         KeepWaiting&& keep_waiting) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point spin_until = start + spin_for;
    bool spinning = true;
    for (std::uint32_t pass = 0;; ++pass) {
        // The queue's place is read from the header on every pass.
        auto queue = response_queue(region);
        if (!queue) return quelt::unexpected(WaitFailure{WaitFailure::Kind::InvalidRegion, queue.error().text()});
        auto popped = queue->pop();
        if (!popped) return quelt::unexpected(WaitFailure{WaitFailure::Kind::InvalidRegion, popped.error().text()});
        if (*popped && (*popped)->request_id == request_id) return **popped;
        // Anything else popped was an answer to another request: dropped.

        if (!spinning || pass % kPassesPerClockRead == 0) {
            const Clock::time_point now = Clock::now();
            if (std::chrono::duration_cast<std::chrono::seconds>(now - start) > kResponseDeadline)
                return quelt::unexpected(WaitFailure{WaitFailure::Kind::TimedOut, "Request timed out"});
            spinning = now < spin_until;
        }
        if (!keep_waiting()) return quelt::unexpected(WaitFailure{WaitFailure::Kind::Interrupted, {}});
        if (!spinning) pause_while_waiting(start);
        else if (pass % kPassesPerYield == kPassesPerYield - 1) std::this_thread::yield();
        else spin_hint();
    }
}

}  // namespace quelt::shm
