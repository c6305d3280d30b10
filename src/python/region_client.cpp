#include "python/region_client.hpp"

#include "python/shm_log.hpp"
#include "shm/shared_pools.hpp"

namespace quelt::py {

Result<RegionClient> RegionClient::open(std::string shm_name) {
    auto region = shm::ShmRegion::open(std::move(shm_name), &shm_memory_log());
    if (!region) return quelt::unexpected(std::move(region.error()).as(ErrorKind::Connection));
    // The pool is placed once, from the header as it is now; it must lie inside the mapping.
    auto pool = shm::shared_pool(*region);
    if (!pool) return quelt::unexpected(std::move(pool.error()).as(ErrorKind::Connection));
    return RegionClient{std::move(*region), std::move(*pool), shm::OwnRequestNumbers(), process_generation()};
}

Error made_in_another_process(const char* class_name) {
    return Error::library(ErrorKind::Runtime,
                          std::string(class_name) + " was created in another process; create a new client after fork()");
}

}  // namespace quelt::py
