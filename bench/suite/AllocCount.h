// Heap-allocation counters of a benchmark executable.
//
// AllocCount.cpp replaces malloc, calloc, realloc, the aligned allocators and
// the global operator new in the executable. The executable exports them
// (ENABLE_EXPORTS), so a module loaded later with dlopen binds its calls to
// these definitions through the global scope: allocations made inside
// libudptrans.so are counted too. Every counted call forwards to glibc's own
// allocator, so nothing else changes.
//
// Threads: any. The process-wide counts are relaxed atomics; the per-thread
// counts live in static TLS of the executable, which needs no allocation.
#pragma once

#include <cstdint>

namespace suite {

struct AllocCounts {
    uint64_t mallocCalls;  // malloc, calloc, realloc, aligned (operator new included)
    uint64_t newCalls;     // global operator new / new[] alone
};

// Counts of every thread since the process started.
AllocCounts ProcessAllocs();
// Counts of the calling thread since it started.
AllocCounts ThreadAllocs();

}  // namespace suite
