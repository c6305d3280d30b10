#pragma once
// What QueltShmClient and QueltHybridClient hold alike: the region they
// mapped, this process's pool over it, their request numbers and the process
// that made them. They differ only in how a request reaches the server and
// its answer comes back (region_call.hpp), which each keeps beside this.
#include <cstdint>
#include <memory>
#include <string>

#include "common/process_generation.hpp"
#include "python/failure.hpp"
#include "shm/answer_routing.hpp"
#include "shm/shm_region.hpp"
#include "shm/tensor_pool.hpp"

namespace quelt::py {

struct RegionClient {
    shm::ShmRegion region;
    // Shared with this process's other clients of the region.
    std::shared_ptr<shm::TensorPool> pool;
    // Known to this process's answer routing while the object lives.
    shm::OwnRequestNumbers numbers;
    // The process that made the client. A child made by fork() refuses it:
    // its slots, its waits and its connection are the parent's.
    std::uint64_t generation;

    // The region and its pool, or a ConnectionError.
    static Result<RegionClient> open(std::string shm_name);

    bool made_here() const noexcept { return generation == process_generation(); }
};

// "<class_name> was created in another process; create a new client after fork()"
Error made_in_another_process(const char* class_name);

// A region client and its post-and-await step. Declared first, the region is
// unmapped last, after whatever the step holds (a connection, a runtime).
template <class PostAndAwait>
struct RegionClientState {
    RegionClient client;
    PostAndAwait post_and_await;
};

}  // namespace quelt::py
