#pragma once
// Fixed-width little-endian loads and stores on unaligned byte pointers.
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace quelt::wire {

// std::byteswap arrived with libstdc++ 12; this keeps GCC 11 building. Only a
// big-endian host ever calls it.
template <class T>
constexpr T byte_reversed(T value) noexcept {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof value);
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

template <class T>
T load_le(const std::uint8_t* bytes) noexcept {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) value = byte_reversed(value);
    return value;
}

template <class T>
void store_le(std::uint8_t* bytes, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) value = byte_reversed(value);
    std::memcpy(bytes, &value, sizeof value);
}

}  // namespace quelt::wire
