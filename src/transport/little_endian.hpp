#pragma once
// Fixed-width little-endian loads and stores on unaligned byte pointers.
#include <bit>
#include <cstdint>
#include <cstring>

namespace quelt::wire {

template <class T>
T load_le(const std::uint8_t* bytes) noexcept {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) value = std::byteswap(value);
    return value;
}

template <class T>
void store_le(std::uint8_t* bytes, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) value = std::byteswap(value);
    std::memcpy(bytes, &value, sizeof value);
}

}  // namespace quelt::wire
