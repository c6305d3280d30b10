#include "shm/region_layout.hpp"

#include "shm/queue_entries.hpp"
#include "shm/queue_layout.hpp"
#include "shm/region_header.hpp"

namespace quelt::shm {
namespace {

constexpr std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

constexpr std::uint64_t kPoolAlignment = 64 * 1024;
constexpr std::uint64_t kPageAlignment = 4096;

}  // namespace

RegionLayout default_region_layout(std::uint64_t tensor_pool_size, std::uint64_t server_area_size) {
    RegionLayout layout{};
    layout.request_queue_offset = align_up(kRegionHeaderSize, queue_layout::kAlignment);
    layout.response_queue_offset = align_up(layout.request_queue_offset + queue_layout::queue_bytes(sizeof(RequestEntry)),
                                            queue_layout::kAlignment);
    layout.tensor_pool_offset =
        align_up(layout.response_queue_offset + queue_layout::queue_bytes(sizeof(ResponseEntry)), kPoolAlignment);
    layout.tensor_pool_size = tensor_pool_size;
    layout.server_area_offset = align_up(layout.tensor_pool_offset + tensor_pool_size, kPageAlignment);
    layout.server_area_size = server_area_size;
    layout.region_size = align_up(layout.server_area_offset + server_area_size, kPageAlignment);
    return layout;
}

}  // namespace quelt::shm
