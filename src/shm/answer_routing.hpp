#pragma once
// Whose answer is it? The response queue of a region is shared by every
// QueltShmClient of every process on it, so a waiting call pops answers that
// belong to other calls. Such an answer is put back on the queue for its
// owner, unless nobody can be waiting for it any more:
//
// - its request number lies in the range of one of this process's own client
//   objects (each counts up from a random 64-bit start, so no other process
//   uses that range) and no call of this process awaits it: the late answer
//   of a call that gave up;
// - it has been going round for longer than any caller waits. Processes share
//   no clock that can be trusted (another time namespace, another host's
//   idea of time), so age is told by this process alone: the first time it
//   saw the number. The owner posted its request before the server answered,
//   hence before that first sighting, and gives up 6 s after posting it; an
//   answer seen here for longer than kStrayLifetime has no caller left.
//
// Answers that cannot be put back at once (the queue filled up in between)
// are parked in this process and put back by its next pass over that region.
//
// What this process knows is its own: a child made by fork() starts with
// nothing of it (its parent's objects, waits and parked answers stay the
// parent's), so a child never takes, drops or returns its parent's answers.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "shm/queue_entries.hpp"
#include "shm/shared_mapping.hpp"

namespace quelt::shm {

inline constexpr std::chrono::seconds kStrayLifetime{10};

// A client object's request numbers: consecutive from a random start, and
// known to this process's routing for as long as the object lives.
class OwnRequestNumbers {
public:
    OwnRequestNumbers();
    OwnRequestNumbers(OwnRequestNumbers&&) noexcept;
    OwnRequestNumbers& operator=(OwnRequestNumbers&&) = delete;
    ~OwnRequestNumbers();

    std::uint64_t take() noexcept;

    struct Range;

private:
    std::unique_ptr<Range> range_;
};

// Marks a request as awaited by a call of this process while it lives, so
// that a call nested inside that wait (from a signal handler) puts its answer
// back instead of dropping it.
class AwaitedRequest {
public:
    explicit AwaitedRequest(std::uint64_t request_id);
    AwaitedRequest(const AwaitedRequest&) = delete;
    AwaitedRequest& operator=(const AwaitedRequest&) = delete;
    ~AwaitedRequest();

private:
    std::uint64_t request_id_;
};

enum class Verdict { PutBack, Drop };

// What to do with an answer to a request other than the caller's.
Verdict judge_other_answer(std::uint64_t request_id);

// Answers of a region that wait here to be put back, oldest first.
void park_answer(const ObjectIdentity& region, const ResponseEntry& answer);
// Whether any region has parked answers: one atomic load, for every pass.
bool any_parked_answers() noexcept;
// Takes the region's parked answers out of the parking (to push them, and
// to park again those that still do not fit).
std::vector<ResponseEntry> take_parked_answers(const ObjectIdentity& region);

}  // namespace quelt::shm
