#pragma once
// Pins a forked peer to one processor, as the benchmark pins the reference
// server: a peer that shares the measuring side's processor would turn every
// spin-wait into a wait for the scheduler.
#include <sched.h>

#include <cstdint>
#include <cstdio>

namespace quelt::bench {

// `cpu` < 0 leaves the placement to the scheduler.
inline void pin_to_cpu(long cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(cpu), &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

}  // namespace quelt::bench
