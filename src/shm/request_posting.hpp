#pragma once
// How a QueltShmClient hands a request to the server: a request entry for the
// input tensor block it staged, pushed onto the region's request queue.
#include <cstdint>

#include "common/error.hpp"
#include "shm/shm_region.hpp"
#include "shm/slot_lease.hpp"

namespace quelt::shm {

// Fails when the queue lies outside the region or is full.
Result<void> post_request(const ShmRegion& region, std::uint64_t request_id, const SlotLease& input);

}  // namespace quelt::shm
