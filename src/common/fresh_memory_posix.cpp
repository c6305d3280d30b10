#include "common/fresh_memory.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>

namespace quelt {
namespace {

constexpr std::uintptr_t kHugePage = 2u << 20;

// Set once the kernel has said it has no transparent huge pages at all, so
// later results skip the two system calls.
std::atomic<bool> advice_unsupported{false};

bool never_touched(std::uintptr_t page) noexcept {
    unsigned char resident = 0;
    return ::mincore(reinterpret_cast<void*>(page), 1, &resident) == 0 && (resident & 1) == 0;
}

}  // namespace

void prepare_fresh_fill(std::span<std::uint8_t> room) noexcept {
    if (room.size() < kFreshFillAdviceFrom || advice_unsupported.load(std::memory_order_relaxed)) return;
    const auto first = reinterpret_cast<std::uintptr_t>(room.data());
    // Only whole huge pages inside the room: a page shared with the object's
    // header or with a neighbouring allocation keeps its small pages, so the
    // advice never makes memory resident that the result does not fill.
    const std::uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (first + room.size()) & ~(kHugePage - 1);
    if (end <= begin || !never_touched(begin)) return;
    if (::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE) != 0 && errno == EINVAL)
        advice_unsupported.store(true, std::memory_order_relaxed);
}

}  // namespace quelt
