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
//             (at least PTHREAD_STACK_MIN and 256 KiB), unless exact stacks
//             are switched on (below).
// Returns 0 when the thread runs, else an errno value.
ALGO_API int thread_spawn_ex(THREAD_HANDLE* handle, int detached, int realtime, int priority,
                             int stack, void* (*entry)(void*), void* arg);

// Names the calling thread (at most 15 characters are kept). 0 or an errno value.
ALGO_API int thread_set_name(const char* name);

// ---- Switches of this stand-in for tests -----------------------------------
// The camera's framework gives a thread the stack it asks for and may make
// every thread detached; these switches let tests run module code the same way.
// Each applies to threads spawned after the call; any thread may call them.

// on != 0: `entry` runs on a stack of exactly `stack` bytes (rounded up to 16)
// with an inaccessible page right below it, so that running past it faults as
// it would on the device; the stack is filled with a pattern first, and its
// deepest use is recorded when `entry` returns (thread_stack_peak). Switching
// on forgets the uses recorded before. 0, or
// ENOTSUP in builds whose sanitizers cannot follow a thread onto such a stack.
ALGO_API int thread_spawn_exact_stack(int on);

// on != 0: every thread is created detached, whatever `detached` asks.
ALGO_API void thread_spawn_force_detached(int on);

// Deepest use, in bytes, of the exact stacks of the threads called `name`
// (as thread_set_name left it) whose entry has returned since exact stacks
// were last switched on; -1 when there is none.
ALGO_API long thread_stack_peak(const char* name);
}
