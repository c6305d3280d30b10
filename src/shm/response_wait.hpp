#pragma once
// A client's wait for the answer to its request: poll the response queue,
// put answers to other requests back for their owners (answer_routing.hpp
// says which are dropped instead), give up once more than 5 whole seconds
// have passed, let the caller check for interruptions on every pass.
//
// A pass pops at most as many entries as the queue held when it began, so
// it looks at each waiting answer once and never chases the ones it put back
// itself. A pass that put answers back offers the processor to other threads
// before the next one, so that their owners, which may share this processor,
// get to take them.
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
#include <optional>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/propagate.hpp"
#include "common/spin_hint.hpp"
#include "shm/answer_routing.hpp"
#include "shm/pause.hpp"
#include "shm/region_queues.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_error.hpp"
#include "shm/wait_pacing.hpp"

namespace quelt::shm {

// A wait fails as request_timed_out(), as Raised when the caller's check said
// stop (its own failure is already reported), or with the region's failure.

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

// Puts the region's parked answers back, as many as fit, and hands out the
// caller's own if it was among them (a call nested in the caller's wait, from
// a signal handler, may have parked it while the queue was full).
inline std::optional<ResponseEntry> return_parked(const ResponseQueue& queue, const ObjectIdentity& region,
                                                  std::uint64_t request_id) {
    if (!any_parked_answers()) return std::nullopt;
    std::vector<ResponseEntry> parked = take_parked_answers(region);
    std::optional<ResponseEntry> mine;
    bool fits = true;
    for (const ResponseEntry& answer : parked) {
        if (answer.request_id == request_id) {
            mine = answer;
            continue;
        }
        if (fits) fits = queue.push(answer).has_value();
        if (!fits) park_answer(region, answer);
    }
    return mine;
}

struct Sifted {
    std::optional<ResponseEntry> mine;
    bool put_back = false;
};

// One pass over the queue: pops until this call's answer, an empty queue, or
// as many entries as the queue held at the start. Another call's answer goes
// back on the queue (or is parked here when the queue filled up meanwhile),
// unless no one can be waiting for it.
inline Result<Sifted> sift(const ResponseQueue& queue, const ObjectIdentity& region,
                                            std::uint64_t request_id) {
    Sifted sifted;
    sifted.mine = return_parked(queue, region, request_id);
    if (sifted.mine) return sifted;
    // Counted only once another call's answer turns up: the usual pass finds
    // the queue empty or its own answer first.
    std::uint64_t held = 0;
    for (std::uint64_t popped = 0; popped == 0 || popped < held; ++popped) {
        QUELT_TRY(entry, queue.pop());
        if (!*entry) break;
        if ((*entry)->request_id == request_id) {
            sifted.mine = **entry;
            break;
        }
        if (popped == 0) held = queue.published_count() + 1;
        if (judge_other_answer((*entry)->request_id) == Verdict::Drop) continue;
        sifted.put_back = true;
        if (!queue.push(**entry)) {
            park_answer(region, **entry);
            break;
        }
    }
    return sifted;
}

// `keep_waiting()` runs on every pass that did not find the answer; it returns
// false to end the wait (for example when a signal handler raised).
template <class KeepWaiting>
Result<ResponseEntry> await_response(const ShmRegion& region, std::uint64_t request_id,
                                                         std::chrono::steady_clock::time_point start,
                                                         std::chrono::nanoseconds spin_for,
                                                         KeepWaiting&& keep_waiting) {
    using Clock = std::chrono::steady_clock;
    const ObjectIdentity& identity = region.mapping().identity();
    const AwaitedRequest awaited(request_id);
    const Clock::time_point spin_until = start + spin_for;
    bool spinning = true;
    for (std::uint32_t pass = 0;; ++pass) {
        // The queue's place is read from the header on every pass.
        QUELT_TRY(queue, response_queue(region));
        QUELT_TRY(sifted, sift(*queue, identity, request_id));
        if (sifted->mine) {
            (void)return_parked(*queue, identity, request_id);
            return *sifted->mine;
        }

        if (!spinning || pass % kPassesPerClockRead == 0) {
            const Clock::time_point now = Clock::now();
            if (std::chrono::duration_cast<std::chrono::seconds>(now - start) > kResponseDeadline) {
                (void)return_parked(*queue, identity, request_id);
                return quelt::unexpected(request_timed_out());
            }
            spinning = now < spin_until;
        }
        // A handler may have forked: a child's parked answers are gone with
        // its routing, so returning them here never duplicates the parent's.
        if (!keep_waiting()) {
            (void)return_parked(*queue, identity, request_id);
            return quelt::unexpected(Error::raised());
        }
        if (!spinning) pause_while_waiting(start);
        else if (sifted->put_back || pass % kPassesPerYield == kPassesPerYield - 1) std::this_thread::yield();
        else spin_hint();
    }
}

}  // namespace quelt::shm
