#pragma once
// The processor's spin-wait hint, for every busy-wait: it keeps the loop from
// starving the sibling hyperthread and from flooding the memory bus.

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace quelt {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace quelt
