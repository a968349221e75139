// Thread spawning for modules.
#pragma once

#include <pthread.h>

#include "algo/AlgoExport.h"

extern "C" {

typedef pthread_t THREAD_HANDLE;

// Starts `entry(arg)` on a new thread and stores its handle.
//   detached  0: joinable, the caller joins it with pthread_join; 1: detached.
//   realtime  1: run under SCHED_FIFO with `priority` (1..99) where the process
//             may; silently the default policy where it may not. 0: default.
//   stack     requested stack size in bytes: a floor, raised to a safe minimum
//             (at least PTHREAD_STACK_MIN and 256 KiB).
// Returns 0 when the thread runs, else an errno value.
ALGO_API int thread_spawn_ex(THREAD_HANDLE* handle, int detached, int realtime, int priority,
                             int stack, void* (*entry)(void*), void* arg);

// Names the calling thread (at most 15 characters are kept). 0 or an errno value.
ALGO_API int thread_set_name(const char* name);
}
