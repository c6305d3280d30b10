#pragma once
// An error text the server leaves in the region: a u64 byte count, then that
// many bytes of UTF-8 (decoded leniently by the reader).
#include <cstdint>
#include <span>
#include <string_view>

#include "common/expected.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

inline constexpr std::uint64_t kMessageBlockHeadSize = 8;

constexpr std::uint64_t message_block_size(std::uint64_t text_len) { return kMessageBlockHeadSize + text_len; }

// Nothing is written if the block would not fit the region.
Result<void> write_message_block(std::span<std::byte> region, std::uint64_t offset,
                                                  std::string_view text);

// The text's bytes, checked to lie inside the region (the count is read once).
Result<std::span<const std::byte>> read_message_block(std::span<const std::byte> region,
                                                                       std::uint64_t offset);

}  // namespace quelt::shm
