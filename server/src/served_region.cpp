#include "served_region.hpp"

#include "region_room.hpp"
#include "shm/message_block.hpp"
#include "shm/region_bytes.hpp"
#include "transport/dtype.hpp"

namespace quelt::server {
namespace {

constexpr std::uint64_t kSpillAlignment = 64;
constexpr std::uint64_t kPoolGranule = 64 * 1024;

quelt::expected<shm::RegionLayout, std::string> layout_for(std::uint64_t pool_size,
                                                         std::optional<std::uint64_t> total_size) {
    if (total_size) {
        // The pool and its mirror share what the fixed parts leave.
        const std::uint64_t fixed = shm::default_region_layout(0, kSpillAreaSize).region_size;
        if (*total_size < fixed + 2 * kPoolGranule)
            return quelt::unexpected("--shm-size: a region needs at least " + std::to_string(fixed + 2 * kPoolGranule) +
                                   " bytes");
        pool_size = (*total_size - fixed) / 2 / kPoolGranule * kPoolGranule;
    }
    return shm::default_region_layout(pool_size, pool_size + kSpillAreaSize);
}

DType dtype_from_shm_code(std::uint8_t code) {
    switch (code) {
        case 1: return DType::Float64;
        case 2: return DType::Int32;
        case 3: return DType::Int64;
        default: return DType::Float32;
    }
}

}  // namespace

TensorView view_of(const shm::TensorBlockView& block) {
    return {std::span<const std::int64_t>(block.shape.data(), block.ndim), dtype_from_shm_code(block.dtype_code),
            {reinterpret_cast<const std::uint8_t*>(block.data.data()), block.data.size()}};
}

quelt::expected<ServedRegion, std::string> ServedRegion::create(const std::string& name, std::uint64_t pool_size,
                                                              std::optional<std::uint64_t> total_size) {
    auto layout = layout_for(pool_size, total_size);
    if (!layout) return quelt::unexpected(layout.error());
    if (auto room = check_room(name, layout->region_size); !room) return quelt::unexpected(room.error());
    auto region = shm::OwnedRegion::create(name, *layout);
    if (!region) {
        if (auto no_room = no_room_hint(name, layout->region_size, region.error())) return quelt::unexpected(*no_room);
        return quelt::unexpected("cannot create the shared-memory region '" + name + "': " + region.error().text +
                                 name_taken_hint(name, region.error()));
    }
    return ServedRegion(std::move(*region));
}

ServedRegion::ServedRegion(shm::OwnedRegion region)
    : region_(std::move(region)),
      mirror_offset_(region_.layout().server_area_offset),
      spill_offset_(mirror_offset_ + region_.layout().tensor_pool_size),
      spill_size_(region_.layout().server_area_size - region_.layout().tensor_pool_size) {}

ServedRegion::ServedRegion(ServedRegion&& other) noexcept
    : region_(std::move(other.region_)),
      mirror_offset_(other.mirror_offset_),
      spill_offset_(other.spill_offset_),
      spill_size_(other.spill_size_),
      spill_next_(other.spill_next_) {}

quelt::expected<shm::TensorBlockView, std::string> ServedRegion::read_input(std::uint64_t offset,
                                                                          std::uint64_t size) const {
    const auto& layout = region_.layout();
    auto refuse = [&](const std::string& why) {
        return quelt::unexpected("Invalid input: the tensor block at offset " + std::to_string(offset) + " (" +
                               std::to_string(size) + " bytes) " + why);
    };
    if (offset < layout.tensor_pool_offset ||
        !shm::fits(offset - layout.tensor_pool_offset, size, layout.tensor_pool_size))
        return refuse("lies outside the tensor pool");
    if (size < shm::kTensorBlockHeadSize) return refuse("is shorter than a block head");
    const auto data_len = shm::load<std::uint64_t>(base() + offset + shm::tensor_block_field::data_len);
    if (data_len > size - shm::kTensorBlockHeadSize)
        return refuse("declares " + std::to_string(data_len) + " data bytes, more than the block holds");
    // Read within the announced size only: the client may still be writing.
    auto block = shm::read_tensor_block(region_.bytes().first(offset + size), offset);
    if (!block) return refuse("is not valid: " + block.error().text);
    return *block;
}

std::optional<std::uint64_t> ServedRegion::mirror_of(std::uint64_t input_offset, std::uint64_t input_size,
                                                     std::uint64_t size) const {
    const auto& layout = region_.layout();
    if (size > input_size || input_offset < layout.tensor_pool_offset ||
        !shm::fits(input_offset - layout.tensor_pool_offset, input_size, layout.tensor_pool_size))
        return std::nullopt;
    return mirror_offset_ + (input_offset - layout.tensor_pool_offset);
}

std::optional<std::uint64_t> ServedRegion::take_spill(std::uint64_t size) {
    if (size > spill_size_) return std::nullopt;
    std::scoped_lock guard(spill_lock_);
    if (spill_size_ - spill_next_ < size) spill_next_ = 0;
    const std::uint64_t at = spill_offset_ + spill_next_;
    spill_next_ = std::min(spill_size_, (spill_next_ + size + kSpillAlignment - 1) / kSpillAlignment * kSpillAlignment);
    return at;
}

quelt::expected<std::uint64_t, std::string> ServedRegion::place_output(std::uint64_t input_offset,
                                                                     std::uint64_t input_size,
                                                                     const TensorOutput& output) {
    const std::uint64_t size = shm::tensor_block_size(output.data().size());
    auto at = mirror_of(input_offset, input_size, size);
    if (!at) at = take_spill(size);
    if (!at)
        return quelt::unexpected("Resource exhausted: an output of " + std::to_string(size) +
                               " bytes does not fit the server's output area");
    auto written = shm::write_tensor_block(region_.bytes(), *at, output.shape, shm_dtype_code(output.dtype),
                                           output.data());
    if (!written) return quelt::unexpected("Backend error: " + written.error().text);
    return *at;
}

quelt::expected<std::uint64_t, std::string> ServedRegion::place_answer(ModelKind model, std::uint64_t input_offset,
                                                                     std::uint64_t input_size,
                                                                     const TensorOutput& output) {
    // Only when the output really borrows the block's own data: the block at
    // input_offset then says exactly what the answer says.
    const auto block_data = region_.bytes().subspan(input_offset + shm::kTensorBlockHeadSize);
    const bool unchanged = !output.owns && static_cast<const void*>(output.borrowed.data()) == block_data.data();
    if (model == ModelKind::Identity && unchanged) return input_offset;
    return place_output(input_offset, input_size, output);
}

std::uint64_t ServedRegion::place_error(std::uint64_t input_offset, std::uint64_t input_size,
                                        std::string_view text) {
    const std::uint64_t size = shm::message_block_size(text.size());
    auto at = mirror_of(input_offset, input_size, size);
    if (!at) at = take_spill(size);
    if (!at || !shm::write_message_block(region_.bytes(), *at, text)) return 0;
    return *at;
}

}  // namespace quelt::server
