#pragma once
// The region's two queues: clients push requests and pop responses, the
// server pops requests and pushes responses.

#include "common/expected.hpp"
#include "common/propagate.hpp"
#include "shm/queue_entries.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_region.hpp"

namespace quelt::shm {

using RequestQueue = RingBuffer<RequestEntry>;
using ResponseQueue = RingBuffer<ResponseEntry>;

static_assert(RequestQueue::kBytes == 40960 && ResponseQueue::kBytes == 49152);
static_assert(queue_layout::commit_index_at(RequestQueue::kEntrySize) == 40 &&
              queue_layout::read_index_at(RequestQueue::kEntrySize) == 80 &&
              queue_layout::slots_at(RequestQueue::kEntrySize) == 120);
static_assert(queue_layout::commit_index_at(ResponseQueue::kEntrySize) == 48 &&
              queue_layout::read_index_at(ResponseQueue::kEntrySize) == 96 &&
              queue_layout::slots_at(ResponseQueue::kEntrySize) == 144);

// Views built from the header as it is now (the offsets are read at every use).
inline Result<RequestQueue> request_queue(const ShmRegion& region) {
    QUELT_TRY(offset, region.request_queue_offset());
    return RequestQueue::at(region.bytes(), *offset);
}

inline Result<ResponseQueue> response_queue(const ShmRegion& region) {
    QUELT_TRY(offset, region.response_queue_offset());
    return ResponseQueue::at(region.bytes(), *offset);
}

}  // namespace quelt::shm
