// thread_spawn_ex / thread_set_name: thread start-up with a stack floor and an
// optional real-time policy that falls back quietly where it is not allowed;
// and the test switches for exact stacks and detached threads.
#include "algo/Thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep their own picture of each thread's stack and lose track
// of a thread that switches to another one.
#define ALGO_EXACT_STACK_SUPPORTED 0
#else
#define ALGO_EXACT_STACK_SUPPORTED 1
#endif

namespace {

std::atomic<bool> g_bExactStack{false};
std::atomic<bool> g_bForceDetached{false};

constexpr unsigned char kStackPattern = 0xA5;

// Deepest use of the exact stacks, by thread name (the name the entry gave its
// thread), the largest seen since exact stacks were last switched on.
std::mutex g_mtxStackPeaks;  // guards g_mapStackPeaks for one look-up or update
std::map<std::string, long> g_mapStackPeaks;

struct ExactStart {
    void* (*entry)(void*);
    void* arg;
    size_t size;
    void* result;
};

// The start record of the thread now switching to its exact stack: makecontext
// passes no pointer argument portably.
thread_local ExactStart* t_pExactStart = nullptr;

void RunOnExactStack() {
    ExactStart* start = t_pExactStart;
    start->result = start->entry(start->arg);
}

// Runs on the thread's own (large) stack: maps a guard page and `size` bytes
// right above it, fills them with the pattern, runs the entry there and, back
// on its own stack, measures how deep the entry went.
void* ExactStackTrampoline(void* p) {
    std::unique_ptr<ExactStart> start(static_cast<ExactStart*>(p));
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t mapped = page + (start->size + page - 1) / page * page;
    void* region =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        return nullptr;
    }
    unsigned char* const guard = static_cast<unsigned char*>(region);
    unsigned char* const bottom = guard + page;
    std::memset(bottom, kStackPattern, start->size);
    if (mprotect(guard, page, PROT_NONE) != 0) {
        munmap(region, mapped);
        return nullptr;
    }
    ucontext_t self;
    ucontext_t task;
    if (getcontext(&task) != 0) {
        munmap(region, mapped);
        return nullptr;
    }
    task.uc_stack.ss_sp = bottom;
    task.uc_stack.ss_size = start->size;
    task.uc_link = &self;
    makecontext(&task, RunOnExactStack, 0);
    t_pExactStart = start.get();
    swapcontext(&self, &task);
    t_pExactStart = nullptr;

    // The stack grows downward: the lowest byte that lost the pattern marks
    // the deepest point reached.
    size_t untouched = 0;
    while (untouched < start->size && bottom[untouched] == kStackPattern) {
        ++untouched;
    }
    const long peak = static_cast<long>(start->size - untouched);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    {
        std::lock_guard<std::mutex> lock(g_mtxStackPeaks);
        long& kept = g_mapStackPeaks[name];
        kept = std::max(kept, peak);
    }
    munmap(region, mapped);
    return start->result;
}

// Module code is written for small embedded stacks but calls into libc and
// the logging facility, which need more than a few KiB; a requested size is
// only ever raised.
constexpr size_t kStackFloor = 256 * 1024;

size_t StackSizeFor(int requested) {
    size_t size = requested > 0 ? static_cast<size_t>(requested) : 0;
    size = std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN));
    size = std::max(size, kStackFloor);
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) {
        const size_t p = static_cast<size_t>(page);
        size = (size + p - 1) / p * p;
    }
    return size;
}

// Builds the attributes; returns 0 or the errno value of the failing call.
int PrepareAttr(pthread_attr_t* attr, int detached, bool realtime, int priority, int stack) {
    int rc = pthread_attr_init(attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_attr_setstacksize(attr, StackSizeFor(stack));
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(
            attr, detached != 0 ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    }
    if (rc == 0 && realtime) {
        const int lo = sched_get_priority_min(SCHED_FIFO);
        const int hi = sched_get_priority_max(SCHED_FIFO);
        sched_param param{};
        param.sched_priority = std::clamp(priority, lo, hi);
        rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
        if (rc == 0) {
            rc = pthread_attr_setschedpolicy(attr, SCHED_FIFO);
        }
        if (rc == 0) {
            rc = pthread_attr_setschedparam(attr, &param);
        }
    }
    if (rc != 0) {
        pthread_attr_destroy(attr);
    }
    return rc;
}

}  // namespace

extern "C" {

int thread_spawn_ex(THREAD_HANDLE* handle, int detached, int realtime, int priority, int stack,
                    void* (*entry)(void*), void* arg) {
    if (handle == nullptr || entry == nullptr) {
        return EINVAL;
    }
    if (g_bForceDetached.load()) {
        detached = 1;
    }
    void* (*start)(void*) = entry;
    void* startArg = arg;
    ExactStart* exact = nullptr;
    if (g_bExactStack.load() && ALGO_EXACT_STACK_SUPPORTED) {
        const size_t size = (static_cast<size_t>(std::max(stack, 0)) + 15) / 16 * 16;
        exact = new ExactStart{entry, arg, size, nullptr};
        start = ExactStackTrampoline;
        startArg = exact;
    }

    pthread_attr_t attr;
    int rc = PrepareAttr(&attr, detached, realtime != 0, priority, stack);
    if (rc == 0) {
        rc = pthread_create(handle, &attr, start, startArg);
        pthread_attr_destroy(&attr);
    }
    // Without the privilege for a real-time policy (or where the policy is
    // unknown) the thread still runs, under the default policy: callers ask
    // for real time as a preference, not as a condition.
    if (realtime != 0 && (rc == EPERM || rc == EINVAL)) {
        rc = PrepareAttr(&attr, detached, false, 0, stack);
        if (rc == 0) {
            rc = pthread_create(handle, &attr, start, startArg);
            pthread_attr_destroy(&attr);
        }
    }
    if (exact != nullptr && rc != 0) {
        delete exact;  // no thread took it
    }
    return rc;
}

int thread_spawn_exact_stack(int on) {
    if (on != 0 && !ALGO_EXACT_STACK_SUPPORTED) {
        return ENOTSUP;
    }
    if (on != 0) {
        std::lock_guard<std::mutex> lock(g_mtxStackPeaks);
        g_mapStackPeaks.clear();
    }
    g_bExactStack.store(on != 0);
    return 0;
}

void thread_spawn_force_detached(int on) {
    g_bForceDetached.store(on != 0);
}

long thread_stack_peak(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof(shortName) - 1);  // as the kernel keeps it
    std::lock_guard<std::mutex> lock(g_mtxStackPeaks);
    const auto it = g_mapStackPeaks.find(shortName);
    return it == g_mapStackPeaks.end() ? -1 : it->second;
}

int thread_set_name(const char* name) {
    if (name == nullptr) {
        return EINVAL;
    }
    // The kernel keeps 15 characters and the terminator; longer names are cut
    // rather than refused.
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof(shortName) - 1);
    return pthread_setname_np(pthread_self(), shortName);
}

}  // extern "C"
