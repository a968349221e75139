// Heap allocations of a program, counted: AllocCounter.cpp replaces malloc,
// calloc, realloc and the aligned allocators, each forwarding to glibc's own
// allocator after counting the call. The global operator new of the C++
// runtime calls malloc, so it is counted too. Built as an object library and
// linked into the executable, which exports the replacements (ENABLE_EXPORTS):
// a module loaded later with dlopen binds its calls to them through the
// global scope, so allocations inside libudptrans.so count. Not for sanitizer
// builds, which bring an allocator of their own (see kAllocsCounted).
//
// Threads: any. The process-wide count is a relaxed atomic; the per-thread
// count lives in static TLS of the executable, which needs no allocation.
#pragma once

#include <cstdint>

namespace ts {

// Sanitizer builds keep their own allocator: nothing is replaced there and
// the counts stay 0.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocsCounted = false;
#else
constexpr bool kAllocsCounted = true;
#endif

// Allocation calls of every thread since the process started.
uint64_t ProcessAllocs();
// Allocation calls of the calling thread since it started.
uint64_t ThreadAllocs();

}  // namespace ts
