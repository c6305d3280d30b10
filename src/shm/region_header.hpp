#pragma once
// The 40-byte header at offset 0 of every region. The server writes it once
// when it creates the region; clients only read it.
#include <cstddef>
#include <cstdint>

#include "shm/region_bytes.hpp"

namespace quelt::shm {

inline constexpr std::uint32_t kRegionMagic = 0x41494D4F;  // bytes 4F 4D 49 41
inline constexpr std::uint32_t kRegionVersion = 1;
inline constexpr std::size_t kRegionHeaderSize = 40;

namespace header_field {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t version = 4;
inline constexpr std::size_t request_queue_offset = 8;
inline constexpr std::size_t response_queue_offset = 16;
inline constexpr std::size_t tensor_pool_offset = 24;
inline constexpr std::size_t tensor_pool_size = 32;
}  // namespace header_field

static_assert(header_field::tensor_pool_size + 8 == kRegionHeaderSize);

struct RegionHeader {
    std::uint32_t magic = kRegionMagic;
    std::uint32_t version = kRegionVersion;
    std::uint64_t request_queue_offset = 0;
    std::uint64_t response_queue_offset = 0;
    std::uint64_t tensor_pool_offset = 0;
    std::uint64_t tensor_pool_size = 0;

    static RegionHeader read(const std::byte* base) noexcept {
        return {load<std::uint32_t>(base + header_field::magic),
                load<std::uint32_t>(base + header_field::version),
                load<std::uint64_t>(base + header_field::request_queue_offset),
                load<std::uint64_t>(base + header_field::response_queue_offset),
                load<std::uint64_t>(base + header_field::tensor_pool_offset),
                load<std::uint64_t>(base + header_field::tensor_pool_size)};
    }

    void write(std::byte* base) const noexcept {
        store(base + header_field::magic, magic);
        store(base + header_field::version, version);
        store(base + header_field::request_queue_offset, request_queue_offset);
        store(base + header_field::response_queue_offset, response_queue_offset);
        store(base + header_field::tensor_pool_offset, tensor_pool_offset);
        store(base + header_field::tensor_pool_size, tensor_pool_size);
    }
};

}  // namespace quelt::shm
