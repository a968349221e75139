// Counting allocator hooks; see AllocCount.h for why they live in the
// executable.
#include "AllocCount.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);
}

namespace {

std::atomic<uint64_t> g_mallocCalls{0};
std::atomic<uint64_t> g_newCalls{0};
// Initial-exec TLS of the executable: touching it never allocates, so the
// hooks cannot recurse.
__thread uint64_t t_mallocCalls __attribute__((tls_model("initial-exec"))) = 0;
__thread uint64_t t_newCalls __attribute__((tls_model("initial-exec"))) = 0;

inline void CountMalloc() {
    g_mallocCalls.fetch_add(1, std::memory_order_relaxed);
    ++t_mallocCalls;
}

void* NewOrThrow(size_t size) {
    g_newCalls.fetch_add(1, std::memory_order_relaxed);
    ++t_newCalls;
    for (;;) {
        void* p = malloc(size == 0 ? 1 : size);
        if (p != nullptr) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

}  // namespace

namespace suite {

AllocCounts ProcessAllocs() {
    return {g_mallocCalls.load(std::memory_order_relaxed),
            g_newCalls.load(std::memory_order_relaxed)};
}

AllocCounts ThreadAllocs() {
    return {t_mallocCalls, t_newCalls};
}

}  // namespace suite

extern "C" {

void* malloc(size_t size) noexcept {
    CountMalloc();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    CountMalloc();
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) noexcept {
    CountMalloc();
    return __libc_realloc(ptr, size);
}

void free(void* ptr) noexcept {
    __libc_free(ptr);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    CountMalloc();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    CountMalloc();
    return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    CountMalloc();
    return __libc_memalign(alignment, size);
}

}  // extern "C"

void* operator new(size_t size) {
    return NewOrThrow(size);
}
void* operator new[](size_t size) {
    return NewOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return NewOrThrow(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return NewOrThrow(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* ptr) noexcept {
    free(ptr);
}
void operator delete[](void* ptr) noexcept {
    free(ptr);
}
void operator delete(void* ptr, size_t) noexcept {
    free(ptr);
}
void operator delete[](void* ptr, size_t) noexcept {
    free(ptr);
}
