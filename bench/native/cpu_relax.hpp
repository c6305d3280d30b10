#pragma once
// The processor's spin-wait hint: keeps a busy-wait from starving the
// sibling hyperthread and from flooding the memory bus.

namespace quelt::bench {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace quelt::bench
