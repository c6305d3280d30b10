#pragma once
// The client's allocator of slots in the region's tensor pool. The pool area
// is split into size classes of equal slots; the bytes are spread over the
// classes by a smooth weighted round-robin; a slot is leased until released
// (or until the process holding it ends). The leases are kept in a LeaseTable: shared by
// every process that has the region open, so that no two of them hold one
// slot at once, or private to this process where no region is involved.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "shm/lease_table.hpp"

namespace quelt::shm {

struct SlotSize {
    std::uint64_t size;
    std::uint32_t weight;
};

inline constexpr SlotSize kDefaultSlotSizes[] = {
    {262144, 1}, {1048576, 1}, {4194304, 1}, {16777216, 1}, {67108864, 1},
};

// One size class as laid out: `slots` slots of `slot_size` bytes from region offset `base`.
struct SlotClassLayout {
    std::string name;
    std::uint64_t base;
    std::uint64_t slot_size;
    std::uint64_t slots;
};

class TensorPool {
public:
    // The classes that a pool area of `pool_size` bytes at `pool_offset` is split into.
    static std::vector<SlotClassLayout> plan(std::uint64_t pool_offset, std::uint64_t pool_size,
                                             std::span<const SlotSize> sizes = kDefaultSlotSizes);
    static std::uint64_t slot_count(const std::vector<SlotClassLayout>& layout);

    // A pool whose leases only this process sees.
    static TensorPool build(std::uint64_t pool_offset, std::uint64_t pool_size,
                            std::span<const SlotSize> sizes = kDefaultSlotSizes);
    // `leases` holds one word per slot of `layout`, the classes' slots in order.
    TensorPool(const std::vector<SlotClassLayout>& layout, std::unique_ptr<LeaseTable> leases);

    // Region offset of a slot of at least `size` bytes, now leased; none if
    // size is 0, larger than every slot, or every large-enough slot is leased
    // by a live process. A free slot of any large-enough class is taken
    // before a slot is taken back from a process that has ended.
    std::optional<std::uint64_t> allocate(std::uint64_t size);
    // True if `offset` starts a slot (whose lease, if this process holds it,
    // is then cleared; in a child made by fork() nothing is: the leases there
    // are the parent's).
    bool release(std::uint64_t offset);
    std::uint64_t largest_slot() const;
    // "class0(base=65536 slot_size=262144 slots=4), class1(...)"
    std::string layout() const;

private:
    struct SlotClass {
        SlotClass(const SlotClassLayout& layout, std::uint64_t first_word);
        std::uint64_t total() const;

        std::string name;
        std::uint64_t base;
        std::uint64_t slot_size;
        std::uint64_t slots;
        std::uint64_t first_word;  // the lease word of slot 0 in the table
        std::atomic<std::uint64_t> cursor{0};
        // Per slot, the lease word this process wrote (0: none held), which
        // the release must find there to clear it.
        std::unique_ptr<std::atomic<std::uint64_t>[]> held;
    };

    std::optional<std::uint64_t> try_allocate(SlotClass& slot_class, LeaseTable::Reclaim reclaim);

    // Classes in ascending slot size; a deque because a class (with its
    // cursor) never moves once made.
    std::deque<SlotClass> classes_;
    std::unique_ptr<LeaseTable> leases_;
};

}  // namespace quelt::shm
