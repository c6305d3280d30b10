#include "shm/shared_pools.hpp"

#include <map>
#include <mutex>
#include <tuple>

#include "common/process_generation.hpp"
#include "common/propagate.hpp"

namespace quelt::shm {
namespace {

// The region object, where its pool lies (a region whose header moved the
// pool gets a pool of its own), and the process the pool belongs to.
using PoolKey = std::tuple<ObjectIdentity, std::uint64_t, std::uint64_t, std::uint64_t>;

std::mutex pools_lock;
std::map<PoolKey, std::weak_ptr<TensorPool>> pools;

}  // namespace

Result<std::shared_ptr<TensorPool>> shared_pool(const ShmRegion& region) {
    QUELT_TRY(area, region.pool_area());
    const PoolKey key{region.mapping().identity(), area->offset, area->size, process_generation()};

    std::lock_guard guard(pools_lock);
    std::erase_if(pools, [](const auto& entry) { return entry.second.expired(); });
    if (auto found = pools.find(key); found != pools.end())
        if (auto pool = found->second.lock()) return pool;  // else its last holder is letting it go
    const std::vector<SlotClassLayout> layout = TensorPool::plan(area->offset, area->size);
    QUELT_TRY(leases, LeaseTable::open_shared(region, TensorPool::slot_count(layout)));
    auto pool = std::make_shared<TensorPool>(layout, std::move(*leases));
    pools[key] = pool;
    return pool;
}

}  // namespace quelt::shm
