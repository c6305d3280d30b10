#include "python/region_client.hpp"

#include "python/shm_log.hpp"
#include "shm/shared_pools.hpp"

namespace quelt::py {

Result<RegionClient> RegionClient::open(std::string shm_name) {
    auto region = shm::ShmRegion::open(std::move(shm_name), &shm_memory_log());
    if (!region) return fail(ExceptionKind::ConnectionError, region.error().text());
    // The pool is placed once, from the header as it is now; it must lie inside the mapping.
    auto pool = shm::shared_pool(*region);
    if (!pool) return fail(ExceptionKind::ConnectionError, pool.error().text());
    return RegionClient{std::move(*region), std::move(*pool), shm::OwnRequestNumbers(), process_generation()};
}

Failure made_in_another_process(const char* class_name) {
    return {ExceptionKind::RuntimeError,
            std::string(class_name) + " was created in another process; create a new client after fork()", 0};
}

}  // namespace quelt::py
