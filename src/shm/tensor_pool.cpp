#include "shm/tensor_pool.hpp"

#include <algorithm>
#include <limits>

namespace quelt::shm {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMax64 - b ? kMax64 : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) { return a != 0 && b > kMax64 / a ? kMax64 : a * b; }

// Drops empty entries, sorts by size (stable), merges equal sizes.
std::vector<SlotSize> normalised(std::span<const SlotSize> sizes, std::uint64_t pool_size) {
    std::vector<SlotSize> pairs;
    for (const SlotSize& pair : sizes)
        if (pair.size != 0 && pair.weight != 0) pairs.push_back(pair);
    std::stable_sort(pairs.begin(), pairs.end(), [](const SlotSize& a, const SlotSize& b) { return a.size < b.size; });
    std::vector<SlotSize> merged;
    for (const SlotSize& pair : pairs) {
        if (!merged.empty() && merged.back().size == pair.size) {
            const std::uint64_t sum = std::uint64_t{merged.back().weight} + pair.weight;
            merged.back().weight = static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, UINT32_MAX));
        } else {
            merged.push_back(pair);
        }
    }
    if (merged.empty()) merged.push_back({std::max<std::uint64_t>(pool_size, 1), 1});
    return merged;
}

// One slot of every size that fits, then the rest of the bytes by
// smooth weighted round-robin among the sizes that still fit.
std::vector<std::uint64_t> slot_counts(const std::vector<SlotSize>& pairs, std::uint64_t pool_size) {
    std::vector<std::uint64_t> count(pairs.size(), 0);
    std::uint64_t remaining = pool_size;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (remaining >= pairs[i].size) {
            count[i] = 1;
            remaining -= pairs[i].size;
        }
    }
    std::uint64_t total_weight = 0;
    for (const SlotSize& pair : pairs) total_weight += pair.weight;  // at most 2^32 pairs of < 2^32
    total_weight = std::max<std::uint64_t>(total_weight, 1);

    std::vector<std::int64_t> credit(pairs.size(), 0);
    while (remaining > 0) {
        std::optional<std::size_t> chosen;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (pairs[i].size > remaining) continue;
            credit[i] += pairs[i].weight;
            if (!chosen || credit[i] > credit[*chosen]) chosen = i;  // ties keep the smaller size
        }
        if (!chosen) break;
        count[*chosen] = saturating_add(count[*chosen], 1);
        credit[*chosen] -= static_cast<std::int64_t>(total_weight);
        remaining -= pairs[*chosen].size;
    }
    return count;
}

}  // namespace

TensorPool::SlotClass::SlotClass(const SlotClassLayout& layout, std::uint64_t first_word_)
    : name(layout.name),
      base(layout.base),
      slot_size(layout.slot_size),
      slots(layout.slots),
      first_word(first_word_),
      held(std::make_unique<std::atomic<std::uint64_t>[]>(layout.slots)) {}

std::uint64_t TensorPool::SlotClass::total() const { return saturating_mul(slot_size, slots); }

std::vector<SlotClassLayout> TensorPool::plan(std::uint64_t pool_offset, std::uint64_t pool_size,
                                              std::span<const SlotSize> sizes) {
    const std::vector<SlotSize> pairs = normalised(sizes, pool_size);
    const std::vector<std::uint64_t> count = slot_counts(pairs, pool_size);
    std::vector<SlotClassLayout> layout;
    std::uint64_t offset = pool_offset;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (count[i] == 0) continue;
        layout.push_back({"class" + std::to_string(i), offset, pairs[i].size, count[i]});
        offset = saturating_add(offset, saturating_mul(pairs[i].size, count[i]));
    }
    // Even the smallest size exceeds the pool: the whole pool is one slot.
    if (layout.empty()) layout.push_back({"class0", pool_offset, std::max<std::uint64_t>(pool_size, 1), 1});
    return layout;
}

std::uint64_t TensorPool::slot_count(const std::vector<SlotClassLayout>& layout) {
    std::uint64_t count = 0;
    for (const SlotClassLayout& slot_class : layout) count = saturating_add(count, slot_class.slots);
    return count;
}

TensorPool::TensorPool(const std::vector<SlotClassLayout>& layout, std::unique_ptr<LeaseTable> leases)
    : leases_(std::move(leases)) {
    std::uint64_t first_word = 0;
    for (const SlotClassLayout& slot_class : layout) {
        classes_.emplace_back(slot_class, first_word);
        first_word += slot_class.slots;
    }
}

TensorPool TensorPool::build(std::uint64_t pool_offset, std::uint64_t pool_size, std::span<const SlotSize> sizes) {
    const std::vector<SlotClassLayout> layout = plan(pool_offset, pool_size, sizes);
    return TensorPool(layout, LeaseTable::private_to_process(slot_count(layout)));
}

std::optional<std::uint64_t> TensorPool::try_allocate(SlotClass& slot_class, LeaseTable::Reclaim reclaim) {
    // Concurrent allocations in this process start at different slots.
    const std::uint64_t start = slot_class.cursor.fetch_add(1, std::memory_order_relaxed) % slot_class.slots;
    for (std::uint64_t k = 0; k < slot_class.slots; ++k) {
        const std::uint64_t i = (start + k) % slot_class.slots;
        if (auto word = leases_->try_take(slot_class.first_word + i, reclaim)) {
            slot_class.held[i].store(*word, std::memory_order_relaxed);
            return slot_class.base + i * slot_class.slot_size;
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> TensorPool::allocate(std::uint64_t size) {
    if (size == 0) return std::nullopt;
    // A free slot of any class that fits first: asking whether holders have
    // ended costs a system call per holder, worth it only when nothing is free.
    for (const auto reclaim : {LeaseTable::Reclaim::Nothing, LeaseTable::Reclaim::EndedOwners}) {
        for (SlotClass& slot_class : classes_) {
            if (slot_class.slot_size < size) continue;
            if (auto offset = try_allocate(slot_class, reclaim)) return offset;
        }
    }
    return std::nullopt;
}

bool TensorPool::release(std::uint64_t offset) {
    for (SlotClass& slot_class : classes_) {
        if (offset < slot_class.base || offset >= saturating_add(slot_class.base, slot_class.total())) continue;
        const std::uint64_t relative = offset - slot_class.base;
        if (relative % slot_class.slot_size != 0 || relative / slot_class.slot_size >= slot_class.slots) return false;
        // In a child made by fork() the lease is still the parent's, in use there.
        if (!leases_->usable_here()) return true;
        const std::uint64_t i = relative / slot_class.slot_size;
        if (const std::uint64_t word = slot_class.held[i].exchange(0, std::memory_order_relaxed); word != 0)
            leases_->give_back(slot_class.first_word + i, word);
        return true;
    }
    return false;
}

std::uint64_t TensorPool::largest_slot() const {
    std::uint64_t largest = 0;
    for (const SlotClass& slot_class : classes_) largest = std::max(largest, slot_class.slot_size);
    return largest;
}

std::string TensorPool::layout() const {
    std::string text;
    for (const SlotClass& slot_class : classes_) {
        if (!text.empty()) text += ", ";
        text += slot_class.name + "(base=" + std::to_string(slot_class.base) +
                " slot_size=" + std::to_string(slot_class.slot_size) + " slots=" + std::to_string(slot_class.slots) + ")";
    }
    return text;
}

}  // namespace quelt::shm
