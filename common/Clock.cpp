// Monotonic millisecond clocks of the runtime library.
//
// Stateless and reentrant; safe from any thread. Rounded to the nearest
// millisecond so that two clocks read together agree.
#include <time.h>

#include "udptrans/udptrans_api.h"

unsigned int get_time_tick(void) {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Unsigned 32-bit arithmetic on purpose: the tick wraps after ~49.7 days
    // and callers compare differences.
    return static_cast<unsigned int>(now.tv_sec) * 1000u +
           static_cast<unsigned int>((now.tv_nsec + 500000) / 1000000);
}

uint64_t get_up_time(void) {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>((now.tv_nsec + 500000) / 1000000);
}
