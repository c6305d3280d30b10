#include "shm/tensor_pool.hpp"

#include <algorithm>
#include <limits>

namespace quelt::shm {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMax64 - b ? kMax64 : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kMax64 : product;
}

// Steps 1-4: drop empty entries, sort by size (stable), merge equal sizes.
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

// Steps 5-7: one slot of every size that fits, then the rest of the bytes by
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

TensorPool::SlotClass::SlotClass(std::string name_, std::uint64_t base_, std::uint64_t slot_size_,
                                 std::uint64_t slots_, Clock::duration lease_)
    : name(std::move(name_)), lease_until(slots_), base(base_), slot_size(slot_size_), slots(slots_), lease(lease_) {}

std::uint64_t TensorPool::SlotClass::total() const { return saturating_mul(slot_size, slots); }

std::optional<std::uint64_t> TensorPool::SlotClass::try_allocate() {
    const Clock::time_point now = Clock::now();
    // Outside the lock, so that concurrent allocations start at different slots.
    const std::uint64_t start = cursor.fetch_add(1, std::memory_order_relaxed) % slots;
    std::lock_guard guard(lock);
    for (std::uint64_t k = 0; k < slots; ++k) {
        const std::uint64_t i = (start + k) % slots;
        auto& until = lease_until[i];
        if (!until || *until <= now) {
            until = now + lease;
            return base + i * slot_size;
        }
    }
    return std::nullopt;
}

TensorPool TensorPool::build(std::uint64_t pool_offset, std::uint64_t pool_size, std::span<const SlotSize> sizes,
                             Clock::duration lease) {
    const std::vector<SlotSize> pairs = normalised(sizes, pool_size);
    const std::vector<std::uint64_t> count = slot_counts(pairs, pool_size);
    TensorPool pool;
    std::uint64_t offset = pool_offset;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (count[i] == 0) continue;
        pool.classes_.emplace_back("class" + std::to_string(i), offset, pairs[i].size, count[i], lease);
        offset = saturating_add(offset, saturating_mul(pairs[i].size, count[i]));
    }
    // Even the smallest size exceeds the pool: the whole pool is one slot.
    if (pool.classes_.empty())
        pool.classes_.emplace_back("class0", pool_offset, std::max<std::uint64_t>(pool_size, 1), 1, lease);
    return pool;
}

std::optional<std::uint64_t> TensorPool::allocate(std::uint64_t size) {
    if (size == 0) return std::nullopt;
    for (SlotClass& slot_class : classes_) {
        if (slot_class.slot_size < size) continue;
        if (auto offset = slot_class.try_allocate()) return offset;
    }
    return std::nullopt;
}

bool TensorPool::release(std::uint64_t offset) {
    for (SlotClass& slot_class : classes_) {
        if (offset < slot_class.base || offset >= saturating_add(slot_class.base, slot_class.total())) continue;
        const std::uint64_t relative = offset - slot_class.base;
        if (relative % slot_class.slot_size != 0 || relative / slot_class.slot_size >= slot_class.slots) return false;
        std::lock_guard guard(slot_class.lock);
        slot_class.lease_until[relative / slot_class.slot_size].reset();
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
