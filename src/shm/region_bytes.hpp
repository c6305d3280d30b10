#pragma once
// Fixed-width little-endian fields inside a mapped region, and the one bounds
// test that every offset or length read from the region goes through before
// it is used: the peer that writes the region is not trusted.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quelt::shm {

// Region fields are little-endian; on the supported hosts they are stored
// natively, so a field is one plain copy.
static_assert(std::endian::native == std::endian::little, "region fields are copied in host byte order");

// True when [offset, offset + length) lies inside a region of `size` bytes
// (written so that no sum can wrap).
constexpr bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) noexcept {
    return offset <= size && length <= size - offset;
}

template <class T>
T load(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(std::byte* at, T value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace quelt::shm
