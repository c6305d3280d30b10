#include "common/random_bits.hpp"

#include <atomic>
#include <chrono>

#include "common/system_random.hpp"

namespace quelt {
namespace {

// A bijective mixer: distinct inputs stay distinct, nearby inputs end far apart.
std::uint64_t mixed(std::uint64_t value) noexcept {
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

}  // namespace

std::uint64_t random_bits() noexcept {
    static std::atomic<std::uint64_t> calls{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto place = reinterpret_cast<std::uintptr_t>(&calls);  // differs between processes (ASLR)
    return system_random() ^ mixed(now ^ mixed(place ^ calls.fetch_add(1, std::memory_order_relaxed)));
}

}  // namespace quelt
