#pragma once
// The first steps of a shared-memory request, the same for every client that
// puts its input tensor in the region: lease a slot large enough for the
// tensor block, check the data type, write the block.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "shm/slot_lease.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/dtype.hpp"

namespace quelt::shm {

// On failure no slot stays leased. The pool is asked first, so a call that
// fails for several reasons reports the exhausted pool, then the data type.
// A bad argument (the data type, more than 8 dimensions) fails as a Value
// error, the pool or region as a Runtime one.
Result<SlotLease> stage_input(std::span<std::byte> region, TensorPool& pool, std::span<const std::int64_t> shape,
                              std::string_view dtype, std::span<const std::uint8_t> data);

}  // namespace quelt::shm
