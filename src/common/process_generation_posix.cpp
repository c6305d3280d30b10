#include "common/process_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace quelt {
namespace {

// Relaxed is enough: a child's only thread bumps it before anything else in
// that process runs, and nobody else ever writes it.
std::atomic<std::uint64_t> generation{0};

void entered_child() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered once per process, before the first generation is handed out.
const int registered = ::pthread_atfork(nullptr, nullptr, entered_child);

}  // namespace

std::uint64_t process_generation() noexcept {
    (void)registered;
    return generation.load(std::memory_order_relaxed);
}

}  // namespace quelt
