#pragma once
// A hint to load one cache line ahead of use. It never faults, so it may point at memory that has
// not been checked yet.
#if defined(__GNUC__)
// GCC drops its prefetch builtin from a loop that does nothing else and, at times, from busier
// loops too; an asm statement it keeps.
inline void PrefetchLine(const void* address) {
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
}
#else
#include <xmmintrin.h>
inline void PrefetchLine(const void* address) { _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0); }
#endif
