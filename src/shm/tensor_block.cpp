#include "shm/tensor_block.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/propagate.hpp"
#include "shm/region_bytes.hpp"

namespace quelt::shm {
namespace {

quelt::unexpected<Error> outside(std::uint64_t offset, std::uint64_t length, std::uint64_t region_size) {
    return quelt::unexpected(invalid_region("tensor block at offset " + std::to_string(offset) + " with " +
                                                    std::to_string(length) + " bytes lies outside the " +
                                                    std::to_string(region_size) + "-byte region"));
}

// Validated head of a block: the data's length, read exactly once.
Result<std::uint64_t> checked_data_len(std::span<const std::byte> region, std::uint64_t offset) {
    if (!fits(offset, kTensorBlockHeadSize, region.size())) return outside(offset, kTensorBlockHeadSize, region.size());
    const auto data_len = load<std::uint64_t>(region.data() + offset + tensor_block_field::data_len);
    // offset + 80 fits, so fits() below cannot wrap either.
    if (!fits(offset + kTensorBlockHeadSize, data_len, region.size()))
        return quelt::unexpected(invalid_region(
            "tensor block at offset " + std::to_string(offset) + " declares " + std::to_string(data_len) +
            " data bytes, more than the " + std::to_string(region.size()) + "-byte region holds"));
    return data_len;
}

}  // namespace

Result<void> write_tensor_block(std::span<std::byte> region, std::uint64_t offset,
                                                 std::span<const std::int64_t> shape, std::uint8_t dtype_code,
                                                 std::span<const std::uint8_t> data) {
    if (shape.size() > kMaxTensorDims)
        return quelt::unexpected(invalid_region("a tensor block holds at most 8 dimensions, not " +
                                                        std::to_string(shape.size())));
    const std::uint64_t size = tensor_block_size(data.size());
    if (!fits(offset, size, region.size())) return outside(offset, size, region.size());

    std::byte head[kTensorBlockHeadSize] = {};  // reserved bytes and unused dimensions stay zero
    store(head + tensor_block_field::ndim, static_cast<std::uint32_t>(shape.size()));
    store(head + tensor_block_field::dtype, dtype_code);
    for (std::size_t i = 0; i < shape.size(); ++i)  // negative dimensions keep their two's-complement bits
        store(head + tensor_block_field::shape + 8 * i, static_cast<std::uint64_t>(shape[i]));
    store(head + tensor_block_field::data_len, static_cast<std::uint64_t>(data.size()));

    std::byte* block = region.data() + offset;
    std::memcpy(block, head, sizeof head);
    if (!data.empty()) std::memcpy(block + tensor_block_field::data, data.data(), data.size());
    return {};
}

Result<std::span<const std::byte>> read_tensor_data(std::span<const std::byte> region,
                                                                     std::uint64_t offset) {
    QUELT_TRY(data_len, checked_data_len(region, offset));
    return region.subspan(offset + tensor_block_field::data, *data_len);
}

Result<TensorBlockView> read_tensor_block(std::span<const std::byte> region, std::uint64_t offset) {
    QUELT_TRY(data_len, checked_data_len(region, offset));
    const std::byte* block = region.data() + offset;
    TensorBlockView view{};
    view.ndim = load<std::uint32_t>(block + tensor_block_field::ndim);
    if (view.ndim > kMaxTensorDims)
        return quelt::unexpected(invalid_region("tensor block at offset " + std::to_string(offset) +
                                                        " declares " + std::to_string(view.ndim) +
                                                        " dimensions; at most 8 fit"));
    view.dtype_code = load<std::uint8_t>(block + tensor_block_field::dtype);
    for (std::size_t i = 0; i < view.ndim; ++i)
        view.shape[i] = static_cast<std::int64_t>(load<std::uint64_t>(block + tensor_block_field::shape + 8 * i));
    view.data = region.subspan(offset + tensor_block_field::data, *data_len);
    return view;
}

}  // namespace quelt::shm
