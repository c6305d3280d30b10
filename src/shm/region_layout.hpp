#pragma once
// Where the creator of a region puts its parts. Only the header's fields are
// fixed; this is the default arrangement: header, request queue, response
// queue, tensor pool, then an area owned by the server for output tensors and
// error texts, which is never part of the pool.
#include <cstdint>

namespace quelt::shm {

struct RegionLayout {
    std::uint64_t request_queue_offset;
    std::uint64_t response_queue_offset;
    std::uint64_t tensor_pool_offset;
    std::uint64_t tensor_pool_size;
    std::uint64_t server_area_offset;
    std::uint64_t server_area_size;
    std::uint64_t region_size;  // a whole number of pages
};

// Holds one slot of each default size (the largest is 64 MiB) and room to spare.
inline constexpr std::uint64_t kDefaultTensorPoolSize = std::uint64_t{256} << 20;
// Room for two of the largest tensors a client can send back to back.
inline constexpr std::uint64_t kDefaultServerAreaSize = std::uint64_t{128} << 20;

// The pool starts on a 64 KiB boundary (so every default slot does too) and
// the server area on a page boundary.
RegionLayout default_region_layout(std::uint64_t tensor_pool_size = kDefaultTensorPoolSize,
                                   std::uint64_t server_area_size = kDefaultServerAreaSize);

}  // namespace quelt::shm
