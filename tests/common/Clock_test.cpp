// Monotonic millisecond clocks.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "udptrans/udptrans_api.h"

namespace {

uint64_t RoundedNow() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>((now.tv_nsec + 500000) / 1000000);
}

TEST(Clock, UpTimeIsRoundedMonotonicMilliseconds) {
    const uint64_t before = RoundedNow();
    const uint64_t up = get_up_time();
    const uint64_t after = RoundedNow();
    EXPECT_LE(before, up);
    EXPECT_LE(up, after);

    // Rounding, not truncation: a reading at x.5 ms or later counts as x+1.
    struct timespec raw = {};
    uint64_t value = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        clock_gettime(CLOCK_MONOTONIC, &raw);
        value = get_up_time();
        if ((raw.tv_nsec % 1000000) >= 500000 && (raw.tv_nsec % 1000000) < 900000) {
            break;
        }
    }
    if ((raw.tv_nsec % 1000000) >= 500000) {
        const uint64_t truncated = static_cast<uint64_t>(raw.tv_sec) * 1000u +
                                   static_cast<uint64_t>(raw.tv_nsec / 1000000);
        EXPECT_GE(value, truncated + 1);
    }
}

TEST(Clock, TickAgreesWithUpTimeInLow32Bits) {
    // Retry when a millisecond boundary falls between the two reads.
    bool agreed = false;
    for (int tries = 0; tries < 100 && !agreed; ++tries) {
        const uint64_t a = get_up_time();
        const unsigned tick = get_time_tick();
        const uint64_t b = get_up_time();
        if (a == b) {
            EXPECT_EQ(static_cast<unsigned>(a & 0xFFFFFFFFu), tick);
            agreed = true;
        }
    }
    EXPECT_TRUE(agreed);
}

TEST(Clock, AdvancesWithRealTime) {
    const uint64_t start = get_up_time();
    const unsigned tickStart = get_time_tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(get_up_time() - start, 49u);
    EXPECT_GE(get_time_tick() - tickStart, 49u);  // wrapping difference
    EXPECT_LT(get_up_time() - start, 60000u);
}

}  // namespace
