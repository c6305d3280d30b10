#pragma once
// Geometry of a queue in the region: 1024 units of one entry's size, the
// first three holding the control words, the other 1021 the entry slots.
#include <cstddef>
#include <cstdint>

namespace quelt::shm::queue_layout {

inline constexpr std::uint64_t kUnits = 1024;
inline constexpr std::uint64_t kControlUnits = 3;
inline constexpr std::uint64_t kCapacity = kUnits - kControlUnits;  // 1021 slots
static_assert(kCapacity == 1021);

// Byte positions inside a queue whose entries are `entry_size` bytes.
constexpr std::uint64_t write_index_at(std::uint64_t) { return 0; }
constexpr std::uint64_t commit_index_at(std::uint64_t entry_size) { return entry_size; }
constexpr std::uint64_t read_index_at(std::uint64_t entry_size) { return 2 * entry_size; }
constexpr std::uint64_t slots_at(std::uint64_t entry_size) { return kControlUnits * entry_size; }
constexpr std::uint64_t queue_bytes(std::uint64_t entry_size) { return kUnits * entry_size; }

// The control words are 64-bit atomics: a queue must start on an 8-byte
// boundary (the mapping itself is page-aligned).
inline constexpr std::uint64_t kAlignment = 8;

}  // namespace quelt::shm::queue_layout
