#include "shm/input_staging.hpp"

#include "common/propagate.hpp"
#include "shm/tensor_block.hpp"

namespace quelt::shm {

Result<SlotLease> stage_input(std::span<std::byte> region, TensorPool& pool, std::span<const std::int64_t> shape,
                              std::string_view dtype, std::span<const std::uint8_t> data) {
    const std::uint64_t required = tensor_block_size(data.size());
    const auto offset = pool.allocate(required);
    if (!offset)
        return quelt::unexpected(Error::shared_memory("SHM tensor pool exhausted (required=" + std::to_string(required) +
                                                      " bytes, largest_slot=" + std::to_string(pool.largest_slot()) +
                                                      " bytes, layout=" + pool.layout() + ")"));
    SlotLease lease(pool, *offset, required);

    QUELT_TRY(type, parse_dtype(dtype));
    if (shape.size() > kMaxTensorDims)
        return quelt::unexpected(Error::invalid_value("shape has " + std::to_string(shape.size()) +
                                                      " dimensions, but a shared-memory tensor holds at most 8"));
    QUELT_TRY(written, write_tensor_block(region, lease.offset(), shape, shm_dtype_code(*type), data));
    return lease;
}

}  // namespace quelt::shm
