// Everything a client reads out of a region was written by another process:
// block offsets, data_len, message lengths and the queues' control words.
// The region here is a fixed 64 KiB heap block, so AddressSanitizer sees any
// access past it. The input chooses offsets (raw, or near the region's size
// so that boundary cases are common), the length fields at those offsets, the
// queue control words and the region's remaining bytes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.hpp"
#include "shm/message_block.hpp"
#include "shm/queue_entries.hpp"
#include "shm/region_bytes.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/tensor_block.hpp"

namespace {

using namespace quelt;
constexpr std::uint64_t kRegionSize = 1 << 16;

// A raw 64-bit value, or one folded to within a little of the region's end.
std::uint64_t pick_offset(fuzz::InputCursor& input) {
    auto mode = input.take<std::uint8_t>();
    auto raw = input.take<std::uint64_t>();
    switch (mode % 4) {
        case 0: return raw;
        case 1: return kRegionSize - (raw % 256);
        case 2: return raw % (kRegionSize + 256);
        default: return UINT64_MAX - (raw % 256);
    }
}

bool inside(std::span<const std::byte> region, std::span<const std::byte> part) {
    return part.empty() || (part.data() >= region.data() && part.data() + part.size() <= region.data() + region.size());
}

// Plants a length field at `at` when it lies inside the region.
void plant(std::span<std::byte> region, std::uint64_t at, std::uint64_t value) {
    if (shm::fits(at, 8, region.size())) shm::store(region.data() + at, value);
}

template <class Entry>
void exercise_queue(std::span<std::byte> region, std::uint64_t offset, fuzz::InputCursor& input) {
    auto queue = shm::RingBuffer<Entry>::at(region, offset);
    if (!queue) {
        fuzz::require(!shm::fits(offset, shm::RingBuffer<Entry>::kBytes, region.size()) || offset % 8 != 0,
                      "a fitting, aligned queue was refused");
        return;
    }
    fuzz::require(shm::fits(offset, shm::RingBuffer<Entry>::kBytes, region.size()), "queue outside the region");
    std::byte* words = region.data() + offset;
    const std::uint64_t entry = sizeof(Entry);
    const std::uint64_t write = input.take<std::uint64_t>() % 2048;
    const std::uint64_t read = input.take<std::uint64_t>() % 2048;
    const std::uint64_t commit = input.take<std::uint8_t>() & 1 ? write : input.take<std::uint64_t>() % 2048;
    shm::store(words, write);
    shm::store(words + entry, commit);
    shm::store(words + 2 * entry, read);

    auto popped = queue->pop();
    if (read >= 1021 || (commit >= 1021 && read != commit))
        fuzz::require(!popped.has_value() || read == commit, "corrupt index accepted by pop");
    // A producer publishes only after every earlier one; with another
    // producer's reservation unpublished it would wait for ever, so push only
    // where every reservation is published.
    if (queue->write_position() == queue->commit_position()) {
        Entry sent{};
        auto pushed = queue->push(sent);
        if (write >= 1021) fuzz::require(!pushed.has_value(), "corrupt write index accepted by push");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputCursor input(data, size);
    auto storage = std::make_unique<std::byte[]>(kRegionSize);
    std::span<std::byte> region(storage.get(), kRegionSize);

    const std::uint64_t block_at = pick_offset(input);
    const std::uint64_t message_at = pick_offset(input);
    const std::uint64_t write_at = pick_offset(input);
    const std::uint64_t queue_at = pick_offset(input);
    const std::uint64_t data_len = input.take<std::uint8_t>() & 1 ? input.take<std::uint64_t>()
                                                                  : kRegionSize - (input.take<std::uint16_t>() % 512);
    const std::uint64_t text_len = input.take<std::uint8_t>() & 1 ? input.take<std::uint64_t>()
                                                                  : kRegionSize - (input.take<std::uint16_t>() % 512);
    const auto ndim = input.take<std::uint32_t>();
    const std::size_t write_dims = input.take<std::uint8_t>() % 12;
    const std::size_t write_len = input.take<std::uint16_t>() % 1024;

    // The rest of the input fills the region from its start.
    auto rest = input.rest();
    std::memcpy(region.data(), rest.data(), std::min<std::size_t>(rest.size(), kRegionSize));
    plant(region, block_at + shm::tensor_block_field::data_len, data_len);
    if (shm::fits(block_at, 4, kRegionSize)) shm::store(region.data() + block_at, ndim);
    plant(region, message_at, text_len);

    std::span<const std::byte> readable(region);
    if (auto tensor = shm::read_tensor_data(readable, block_at)) {
        fuzz::require(inside(readable, *tensor), "tensor data outside the region");
        fuzz::require(tensor->data() == region.data() + block_at + 80, "tensor data position");
        fuzz::require(tensor->size() == shm::load<std::uint64_t>(region.data() + block_at + 72), "tensor data length");
    } else {
        fuzz::require(!shm::fits(block_at, 80, kRegionSize) ||
                          !shm::fits(block_at + 80, shm::load<std::uint64_t>(region.data() + block_at + 72), kRegionSize),
                      "a fitting block was refused");
    }
    if (auto block = shm::read_tensor_block(readable, block_at)) {
        fuzz::require(block->ndim <= 8 && inside(readable, block->data), "tensor block");
    }
    if (auto text = shm::read_message_block(readable, message_at)) {
        fuzz::require(inside(readable, *text), "message outside the region");
        fuzz::require(text->data() == region.data() + message_at + 8, "message position");
    } else {
        fuzz::require(!shm::fits(message_at, 8, kRegionSize) ||
                          !shm::fits(message_at + 8, shm::load<std::uint64_t>(region.data() + message_at), kRegionSize),
                      "a fitting message was refused");
    }

    // Writing a block and reading it back.
    std::vector<std::int64_t> shape(write_dims);
    for (auto& dimension : shape) dimension = static_cast<std::int64_t>(input.take<std::uint64_t>());
    std::vector<std::uint8_t> bytes(write_len, 0xA5);
    auto written = shm::write_tensor_block(region, write_at, shape, 3, bytes);
    if (written) {
        fuzz::require(write_dims <= 8, "more than 8 dimensions written");
        auto back = shm::read_tensor_block(readable, write_at);
        fuzz::require(back.has_value() && back->ndim == write_dims && back->dtype_code == 3, "block read back");
        fuzz::require(std::equal(shape.begin(), shape.end(), back->shape.begin()), "shape read back");
        fuzz::require(back->data.size() == write_len &&
                          std::all_of(back->data.begin(), back->data.end(), [](std::byte b) { return b == std::byte{0xA5}; }),
                      "data read back");
    } else {
        fuzz::require(write_dims > 8 || !shm::fits(write_at, 80 + static_cast<std::uint64_t>(write_len), kRegionSize),
                      "a fitting block was not written");
    }

    if (input.take<std::uint8_t>() & 1) exercise_queue<shm::ResponseEntry>(region, queue_at, input);
    else exercise_queue<shm::RequestEntry>(region, queue_at, input);
    return 0;
}
