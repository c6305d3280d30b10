#include "shm/message_block.hpp"

#include <cstring>
#include <string>

#include "shm/region_bytes.hpp"

namespace quelt::shm {

Result<void> write_message_block(std::span<std::byte> region, std::uint64_t offset,
                                                  std::string_view text) {
    if (!fits(offset, message_block_size(text.size()), region.size()))
        return quelt::unexpected(invalid_region("message block at offset " + std::to_string(offset) +
                                                        " with " + std::to_string(text.size()) +
                                                        " text bytes lies outside the " +
                                                        std::to_string(region.size()) + "-byte region"));
    store(region.data() + offset, static_cast<std::uint64_t>(text.size()));
    if (!text.empty()) std::memcpy(region.data() + offset + kMessageBlockHeadSize, text.data(), text.size());
    return {};
}

Result<std::span<const std::byte>> read_message_block(std::span<const std::byte> region,
                                                                       std::uint64_t offset) {
    if (!fits(offset, kMessageBlockHeadSize, region.size()))
        return quelt::unexpected(invalid_region("message block at offset " + std::to_string(offset) +
                                                        " lies outside the " + std::to_string(region.size()) +
                                                        "-byte region"));
    const auto length = load<std::uint64_t>(region.data() + offset);
    if (!fits(offset + kMessageBlockHeadSize, length, region.size()))
        return quelt::unexpected(invalid_region(
            "message block at offset " + std::to_string(offset) + " declares " + std::to_string(length) +
            " text bytes, more than the " + std::to_string(region.size()) + "-byte region holds"));
    return region.subspan(offset + kMessageBlockHeadSize, length);
}

}  // namespace quelt::shm
