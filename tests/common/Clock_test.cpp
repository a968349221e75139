// Monotonic millisecond clocks.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "udptrans/udptrans_api.h"

namespace {

TEST(Clock, UpTimeIsRoundedMonotonicMillisecondsAndTickIsItsLow32Bits) {
    auto roundedNow = [] {
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint64_t>(now.tv_sec) * 1000u +
               static_cast<uint64_t>((now.tv_nsec + 500000) / 1000000);
    };
    const uint64_t before = roundedNow();
    const uint64_t up = get_up_time();
    EXPECT_LE(before, up);
    EXPECT_LE(up, roundedNow());
    // Rounding, not truncation: a reading at x.5 ms or later counts as x+1.
    // Checked when a raw reading lands in the upper half of a millisecond.
    for (int tries = 0; tries < 1000; ++tries) {
        timespec raw = {};
        clock_gettime(CLOCK_MONOTONIC, &raw);
        const uint64_t value = get_up_time();
        if (raw.tv_nsec % 1000000 >= 500000 && raw.tv_nsec % 1000000 < 900000) {
            EXPECT_GE(value, static_cast<uint64_t>(raw.tv_sec) * 1000u + raw.tv_nsec / 1000000 + 1);
            break;
        }
    }

    // Retry when a millisecond boundary falls between the reads.
    bool agreed = false;
    for (int tries = 0; tries < 100 && !agreed; ++tries) {
        const uint64_t a = get_up_time();
        const unsigned tick = get_time_tick();
        if (a == get_up_time()) {
            EXPECT_EQ(static_cast<unsigned>(a & 0xFFFFFFFFu), tick);
            agreed = true;
        }
    }
    EXPECT_TRUE(agreed);

    const uint64_t start = get_up_time();
    const unsigned tickStart = get_time_tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(get_up_time() - start, 49u);
    EXPECT_GE(get_time_tick() - tickStart, 49u);  // wrapping difference
    EXPECT_LT(get_up_time() - start, 60000u);
}

}  // namespace
