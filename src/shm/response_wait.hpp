#pragma once
// A client's wait for the answer to its request: poll the response queue,
// drop answers to other requests, give up once more than 5 whole seconds have
// passed, let the caller check for interruptions on every pass.
//
// Polling is fast at first: for a short while the loop only spins with a
// processor hint, so an answer that is already there or arrives within tens
// of microseconds is seen within about a microsecond. After that it sleeps
// 1 microsecond between polls (the kernel stretches that to its timer slack,
// ~50 us), so a server that never answers costs little processor time.
#include <chrono>
#include <cstdint>
#include <expected>
#include <string>

#include "shm/pause.hpp"
#include "shm/region_queues.hpp"
#include "shm/ring_buffer.hpp"

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
inline constexpr std::chrono::microseconds kSpinPhase{80};

// `keep_waiting()` runs on every pass that did not find the answer; it returns
// false to end the wait (for example when a signal handler raised).
template <class KeepWaiting>
std::expected<ResponseEntry, WaitFailure> await_response(const ShmRegion& region, std::uint64_t request_id,
                                                         std::chrono::steady_clock::time_point start,
                                                         KeepWaiting&& keep_waiting) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point spin_until = start + kSpinPhase;
    for (;;) {
        // The queue's place is read from the header on every pass.
        auto queue = response_queue(region);
        if (!queue) return std::unexpected(WaitFailure{WaitFailure::Kind::InvalidRegion, queue.error().text()});
        auto popped = queue->pop();
        if (!popped) return std::unexpected(WaitFailure{WaitFailure::Kind::InvalidRegion, popped.error().text()});
        if (*popped && (*popped)->request_id == request_id) return **popped;
        // Anything else popped was an answer to another request: dropped.

        const Clock::time_point now = Clock::now();
        if (std::chrono::duration_cast<std::chrono::seconds>(now - start) > kResponseDeadline)
            return std::unexpected(WaitFailure{WaitFailure::Kind::TimedOut, "Request timed out"});
        if (!keep_waiting()) return std::unexpected(WaitFailure{WaitFailure::Kind::Interrupted, {}});
        if (now < spin_until) spin_hint();
        else pause_one_microsecond();
    }
}

}  // namespace quelt::shm
