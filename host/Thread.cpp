// thread_spawn_ex / thread_set_name: thread start-up with a stack floor and an
// optional real-time policy that falls back quietly where it is not allowed.
#include "algo/Thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

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
    pthread_attr_t attr;
    int rc = PrepareAttr(&attr, detached, realtime != 0, priority, stack);
    if (rc == 0) {
        rc = pthread_create(handle, &attr, entry, arg);
        pthread_attr_destroy(&attr);
    }
    // Without the privilege for a real-time policy (or where the policy is
    // unknown) the thread still runs, under the default policy: callers ask
    // for real time as a preference, not as a condition.
    if (realtime != 0 && (rc == EPERM || rc == EINVAL)) {
        rc = PrepareAttr(&attr, detached, false, 0, stack);
        if (rc == 0) {
            rc = pthread_create(handle, &attr, entry, arg);
            pthread_attr_destroy(&attr);
        }
    }
    return rc;
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
