#include "AllocCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<uint64_t> g_allocs{0};
// Initial-exec TLS of the executable: touching it never allocates, so the
// replacements cannot recurse.
__thread uint64_t t_allocs __attribute__((tls_model("initial-exec"))) = 0;

inline void Count() {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    ++t_allocs;
}

}  // namespace

namespace ts {

uint64_t ProcessAllocs() {
    return g_allocs.load(std::memory_order_relaxed);
}

uint64_t ThreadAllocs() {
    return t_allocs;
}

}  // namespace ts

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {

void* malloc(size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) noexcept {
    Count();
    return __libc_realloc(ptr, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

// The other aligned allocators count through memalign.
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    void* p = memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return memalign(alignment, size);
}

}  // extern "C"
#endif
