#pragma once
// The first steps of a shared-memory request, the same for every client that
// puts its input tensor in the region: lease a slot large enough for the
// tensor block, check the data type, write the block.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "shm/slot_lease.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/dtype.hpp"

namespace quelt::shm {

struct StagingFailure {
    enum class Kind {
        PoolExhausted,      // no slot taken
        UnsupportedDType,   // slot released
        TooManyDimensions,  // slot released: a block holds at most 8
        InvalidRegion,      // slot released: the slot does not lie inside the region
    };
    Kind kind;
    std::string message;
};

// On failure no slot stays leased. The pool is asked first, so a call that
// fails for several reasons reports the exhausted pool, then the data type.
quelt::expected<SlotLease, StagingFailure> stage_input(std::span<std::byte> region, TensorPool& pool,
                                                     std::span<const std::int64_t> shape, std::string_view dtype,
                                                     LowerCase lower, std::span<const std::uint8_t> data);

}  // namespace quelt::shm
