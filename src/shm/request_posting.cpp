#include "shm/request_posting.hpp"

#include <chrono>

#include "common/propagate.hpp"
#include "shm/queue_entries.hpp"
#include "shm/region_queues.hpp"

namespace quelt::shm {
namespace {

// Nanoseconds since 1970 by the wall clock; a clock set before 1970 gives 0.
std::uint64_t wall_clock_ns() {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return since_epoch.count() < 0 ? 0 : static_cast<std::uint64_t>(since_epoch.count());
}

}  // namespace

Result<void> post_request(const ShmRegion& region, std::uint64_t request_id, const SlotLease& input) {
    const RequestEntry request{request_id, 0, wall_clock_ns(), input.offset(), input.size()};
    QUELT_TRY(queue, request_queue(region));
    return queue->push(request);
}

}  // namespace quelt::shm
