#pragma once
// The client's allocator of slots in the region's tensor pool. The pool area
// is split into size classes of equal slots; the bytes are spread over the
// classes by a smooth weighted round-robin; a slot is leased for a fixed time
// unless released earlier. The bookkeeping lives in this process only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quelt::shm {

struct SlotSize {
    std::uint64_t size;
    std::uint32_t weight;
};

inline constexpr SlotSize kDefaultSlotSizes[] = {
    {262144, 1}, {1048576, 1}, {4194304, 1}, {16777216, 1}, {67108864, 1},
};
inline constexpr std::chrono::seconds kSlotLease{30};

class TensorPool {
public:
    using Clock = std::chrono::steady_clock;

    static TensorPool build(std::uint64_t pool_offset, std::uint64_t pool_size,
                            std::span<const SlotSize> sizes = kDefaultSlotSizes,
                            Clock::duration lease = kSlotLease);

    // Region offset of a slot of at least `size` bytes, now leased; none if
    // size is 0, larger than every slot, or every large-enough slot is leased.
    std::optional<std::uint64_t> allocate(std::uint64_t size);
    // True if `offset` starts a slot (whose lease is then cleared).
    bool release(std::uint64_t offset);
    std::uint64_t largest_slot() const;
    // "class0(base=65536 slot_size=262144 slots=4), class1(...)"
    std::string layout() const;

private:
    struct SlotClass {
        SlotClass(std::string name, std::uint64_t base, std::uint64_t slot_size, std::uint64_t slots,
                  Clock::duration lease);
        std::optional<std::uint64_t> try_allocate();
        std::uint64_t total() const;

        std::string name;
        std::mutex lock;
        std::vector<std::optional<Clock::time_point>> lease_until;  // unset = free
        std::uint64_t base;
        std::uint64_t slot_size;
        std::uint64_t slots;
        std::atomic<std::uint64_t> cursor{0};
        Clock::duration lease;
    };

    // Classes in ascending slot size; a deque because a class (with its lock
    // and cursor) never moves once made.
    std::deque<SlotClass> classes_;
};

}  // namespace quelt::shm
