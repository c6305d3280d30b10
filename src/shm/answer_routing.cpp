#include "shm/answer_routing.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>

#include "common/process_generation.hpp"
#include "common/random_bits.hpp"
#include "shm/ring_buffer.hpp"

namespace quelt::shm {

struct OwnRequestNumbers::Range {
    std::uint64_t base;
    // Written by the object's calls, read by other objects' routing.
    std::atomic<std::uint64_t> next;

    bool contains(std::uint64_t number) const noexcept {
        // Unsigned differences: a range that wrapped round 2^64 still holds.
        return number - base < next.load(std::memory_order_relaxed) - base;
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// Sightings not renewed for this long are forgotten: the answer was taken
// (or this process stopped calling), and keeping them would only cost memory.
// Forgetting an answer that still goes round only restarts its age.
constexpr std::chrono::seconds kForgetAfter{2};
constexpr std::chrono::seconds kSweepEvery{1};
// Parked answers beyond the queue's capacity cannot all go back anyway.
constexpr std::size_t kMostParked = RingBuffer<ResponseEntry>::kCapacity;

struct Sighting {
    Clock::time_point first;
    Clock::time_point last;
};

struct Routing {
    std::uint64_t generation = process_generation();
    std::vector<const OwnRequestNumbers::Range*> ranges;
    std::unordered_map<std::uint64_t, Sighting> sightings;
    Clock::time_point last_sweep{};
    std::map<ObjectIdentity, std::vector<ResponseEntry>> parked;
    std::size_t parked_total = 0;
};

// The rest is touched only when client objects come and go or another call's
// answer turns up, and has a mutex of its own. It is never held while caller
// code runs, so a fork (which can happen only in caller code) never copies it
// locked.
std::mutex routing_lock;
Routing routing_state;
std::atomic<std::size_t> parked_count{0};

// The routing of this process; what a child inherited is its parent's.
Routing& here() {
    if (routing_state.generation != process_generation()) {
        routing_state = Routing{};
        parked_count.store(0, std::memory_order_relaxed);
    }
    return routing_state;
}

// The requests awaited by calls of this process, innermost last. Every call
// holds the interpreter lock for its whole wait, so two waits of one process
// overlap only when one is nested in the other on one thread (a signal
// handler's call), and the interpreter lock guards this list: it is touched
// by every call, where a lock of its own would cost more than the rest of the
// bookkeeping.
struct AwaitedRequests {
    std::uint64_t generation = process_generation();
    std::vector<std::uint64_t> requests;
};
AwaitedRequests awaited_requests;

// The waits of this process; a child made by fork() inherits none.
std::vector<std::uint64_t>& awaited() {
    if (awaited_requests.generation != process_generation()) awaited_requests = AwaitedRequests{};
    return awaited_requests.requests;
}

void forget_old_sightings(Routing& routing, Clock::time_point now) {
    if (now - routing.last_sweep < kSweepEvery) return;
    routing.last_sweep = now;
    std::erase_if(routing.sightings, [&](const auto& entry) { return now - entry.second.last > kForgetAfter; });
}

}  // namespace

OwnRequestNumbers::OwnRequestNumbers() : range_(std::make_unique<Range>()) {
    range_->base = random_bits();
    range_->next.store(range_->base, std::memory_order_relaxed);
    std::lock_guard guard(routing_lock);
    here().ranges.push_back(range_.get());
}

OwnRequestNumbers::OwnRequestNumbers(OwnRequestNumbers&&) noexcept = default;

OwnRequestNumbers::~OwnRequestNumbers() {
    if (!range_) return;
    std::lock_guard guard(routing_lock);
    std::erase(here().ranges, range_.get());
}

// Only the object's own calls count up (one at a time, under its borrow
// flag), so a plain load and store suffice.
std::uint64_t OwnRequestNumbers::take() noexcept {
    const std::uint64_t number = range_->next.load(std::memory_order_relaxed);
    range_->next.store(number + 1, std::memory_order_relaxed);
    return number;
}

AwaitedRequest::AwaitedRequest(std::uint64_t request_id) : request_id_(request_id) { awaited().push_back(request_id); }

AwaitedRequest::~AwaitedRequest() {
    auto& requests = awaited();
    // The innermost wait ends first; a wait inherited through fork() is gone.
    if (auto found = std::find(requests.rbegin(), requests.rend(), request_id_); found != requests.rend())
        requests.erase(std::next(found).base());
}

Verdict judge_other_answer(std::uint64_t request_id) {
    const auto& requests = awaited();
    if (std::ranges::find(requests, request_id) != requests.end()) return Verdict::PutBack;
    std::lock_guard guard(routing_lock);
    Routing& routing = here();
    for (const auto* range : routing.ranges)
        if (range->contains(request_id)) return Verdict::Drop;

    const Clock::time_point now = Clock::now();
    forget_old_sightings(routing, now);
    auto [sighting, first_time] = routing.sightings.try_emplace(request_id, Sighting{now, now});
    if (first_time) return Verdict::PutBack;
    sighting->second.last = now;
    if (now - sighting->second.first <= kStrayLifetime) return Verdict::PutBack;
    routing.sightings.erase(sighting);
    return Verdict::Drop;
}

void park_answer(const ObjectIdentity& region, const ResponseEntry& answer) {
    std::lock_guard guard(routing_lock);
    Routing& routing = here();
    auto& parked = routing.parked[region];
    if (parked.size() == kMostParked) {
        parked.erase(parked.begin());
        --routing.parked_total;
    }
    parked.push_back(answer);
    ++routing.parked_total;
    parked_count.store(routing.parked_total, std::memory_order_relaxed);
}

bool any_parked_answers() noexcept { return parked_count.load(std::memory_order_relaxed) != 0; }

std::vector<ResponseEntry> take_parked_answers(const ObjectIdentity& region) {
    std::lock_guard guard(routing_lock);
    Routing& routing = here();
    auto found = routing.parked.find(region);
    if (found == routing.parked.end()) return {};
    std::vector<ResponseEntry> taken = std::move(found->second);
    routing.parked.erase(found);
    routing.parked_total -= taken.size();
    parked_count.store(routing.parked_total, std::memory_order_relaxed);
    return taken;
}

}  // namespace quelt::shm
