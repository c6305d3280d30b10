#pragma once
// A tensor as it lies in the region: an 80-byte head (ndim u32, dtype code u8,
// 3 zero bytes, 8 dimensions u64, data_len u64) followed by the data bytes.
// Clients write input blocks into pool slots; the server writes output blocks
// wherever it likes and names them in its answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

inline constexpr std::uint64_t kTensorBlockHeadSize = 80;
inline constexpr std::size_t kMaxTensorDims = 8;

namespace tensor_block_field {
inline constexpr std::size_t ndim = 0;
inline constexpr std::size_t dtype = 4;
inline constexpr std::size_t shape = 8;
inline constexpr std::size_t data_len = 72;
inline constexpr std::size_t data = 80;
}  // namespace tensor_block_field
static_assert(tensor_block_field::shape + 8 * kMaxTensorDims == tensor_block_field::data_len);
static_assert(tensor_block_field::data == kTensorBlockHeadSize);

// Bytes a block of `data_len` data bytes occupies.
constexpr std::uint64_t tensor_block_size(std::uint64_t data_len) { return kTensorBlockHeadSize + data_len; }

struct TensorBlockView {
    std::uint32_t ndim;
    std::uint8_t dtype_code;
    std::array<std::int64_t, kMaxTensorDims> shape;  // entries from ndim on are zero
    std::span<const std::byte> data;                 // inside the mapping
};

// Writes the block at `offset`. Nothing is written if the shape has more than
// 8 dimensions or the block would not fit the region.
Result<void> write_tensor_block(std::span<std::byte> region, std::uint64_t offset,
                                                 std::span<const std::int64_t> shape, std::uint8_t dtype_code,
                                                 std::span<const std::uint8_t> data);

// The data bytes of the block at `offset` (all a client reads of an output
// block), checked to lie inside the region. data_len is read once, so a
// writer that changes it meanwhile cannot move the bounds after the check.
Result<std::span<const std::byte>> read_tensor_data(std::span<const std::byte> region,
                                                                     std::uint64_t offset);

// The whole block (what the server reads of an input block), checked likewise;
// more than 8 dimensions is refused.
Result<TensorBlockView> read_tensor_block(std::span<const std::byte> region, std::uint64_t offset);

}  // namespace quelt::shm
