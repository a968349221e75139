// The drivable trigger source and image-process component.
#include "LocalTriggerSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "ArrivalStamp.h"
#include "LocalImageProcess.h"

namespace {

using zerran_app::CLocalImageProcess;
using zerran_app::CLocalTriggerSource;

TEST(LocalTriggerSourceTest, SoftwareTriggerCountsAndStampsMonotonicTime) {
    CLocalTriggerSource source;
    int count = -1;
    ASSERT_EQ(source.GetIntParam("TriggerCount", count), 0);
    EXPECT_EQ(count, 0);

    // The stamp is on the engine's clock: CLOCK_MONOTONIC, rounded to the ms.
    const uint64_t before = ts::MonoNs() / 1000000u;
    EXPECT_EQ(source.Trigger(), 1);
    const uint64_t after = ts::MonoNs() / 1000000u + 1;
    std::string text;
    ASSERT_EQ(source.GetIntParam("TriggerCount", count), 0);
    ASSERT_EQ(source.GetStringParam("TriggerImageTime", text), 0);
    EXPECT_EQ(count, 1);
    EXPECT_GE(std::stoull(text), before) << text;
    EXPECT_LE(std::stoull(text), after) << text;

    EXPECT_EQ(source.TriggerAt(12345), 2);
    ASSERT_EQ(source.GetStringParam("TriggerImageTime", text), 0);
    EXPECT_EQ(text, "12345");
}

TEST(LocalTriggerSourceTest, GetterFailsWithTheCodeItWasGiven) {
    CLocalTriggerSource source;
    ASSERT_EQ(source.SetFailure("TriggerCount", 0x7001), 0);
    ASSERT_EQ(source.SetFailure("TriggerImageTime", -9), 0);
    int value = 55;
    std::string text;
    EXPECT_EQ(source.GetIntParam("TriggerCount", value), 0x7001);
    EXPECT_EQ(value, 55);
    EXPECT_EQ(source.GetStringParam("TriggerImageTime", text), -9);
    EXPECT_EQ(source.GetIntParam("TriggerMode", value), 0);  // only those keys fail
    ASSERT_EQ(source.SetFailure("TriggerCount", 0), 0);
    EXPECT_EQ(source.GetIntParam("TriggerCount", value), 0);

    EXPECT_EQ(source.SetFailure("Nope", 1), CLocalTriggerSource::kErrUnknownName);
    EXPECT_EQ(source.GetIntParam("Nope", value), CLocalTriggerSource::kErrUnknownName);
    EXPECT_EQ(source.GetStringParam("TriggerCount", text), CLocalTriggerSource::kErrUnknownName);
}

TEST(LocalTriggerSourceTest, ReaderSeeingANewCountSeesItsImageTime) {
    CLocalTriggerSource source;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            int count = 0;
            std::string text;
            source.GetIntParam("TriggerCount", count);
            source.GetStringParam("TriggerImageTime", text);
            // Trigger n is stamped at time 1000 + n before it is counted.
            if (count > 0) {
                EXPECT_GE(std::stoull(text), 1000u + static_cast<uint64_t>(count));
            }
        }
    });
    for (int i = 1; i <= 20000; ++i) {
        source.TriggerAt(1000u + static_cast<uint64_t>(i));
    }
    done.store(true);
    reader.join();
}

TEST(LocalImageProcessTest, TestImageIsOffAndFailsWithTheCodeItWasGiven) {
    CLocalImageProcess image;
    int value = -1;
    ASSERT_EQ(image.GetIntParam("EnableTestImage", value), 0);
    EXPECT_EQ(value, 0);  // off until the host switches it on
    ASSERT_EQ(image.SetFailure("EnableTestImage", 3), 0);
    EXPECT_EQ(image.GetIntParam("EnableTestImage", value), 3);
    EXPECT_EQ(image.GetIntParam("Other", value), CLocalImageProcess::kErrUnknownName);
}

}  // namespace
