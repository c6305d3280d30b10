#pragma once
// One slot allocator per region per process. Every client object of this
// process that has a region open leases its slots through the same pool, so
// two of them never hand out one slot: a call made from a signal handler
// while another client's call waits would otherwise overwrite that call's
// input. The pool's leases are shared with the other processes on the region
// through its lease table.
//
// Pools are found by the region object's identity, not its name: a server
// that restarts makes a new object under the old name, whose slots have
// nothing to do with the old one's. A child made by fork() gets pools of its
// own; the ones it inherited are the parent's.
#include <memory>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"
#include "shm/shm_region.hpp"
#include "shm/tensor_pool.hpp"

namespace quelt::shm {

// The pool over `region`'s pool area, made on first use; it lives as long as
// a client holds it.
Result<std::shared_ptr<TensorPool>> shared_pool(const ShmRegion& region);

}  // namespace quelt::shm
