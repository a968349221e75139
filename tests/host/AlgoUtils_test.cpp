// Dotted IPv4 check used by the address setters.
#include "algo/ParamManage.h"

#include <gtest/gtest.h>

namespace {

TEST(AlgoUtilsTest, AcceptsOnlyFourDecimalOctets) {
    for (const char* good : {"0.0.0.0", "127.0.0.1", "255.255.255.255", "10.0.100.9"}) {
        EXPECT_TRUE(CAlgoUtils::CheckIpValid(good)) << good;
    }
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.0.0.1", "1.2.3.1000", " 1.2.3.4", "1.2.3.4 ",
          "1..3.4", "a.b.c.d", "1.2.3.-4", "+1.2.3.4", "0x1.2.3.4", "01.2.3.4", "1.2.3.4\n"}) {
        EXPECT_FALSE(CAlgoUtils::CheckIpValid(bad)) << '"' << bad << '"';
    }
    EXPECT_FALSE(CAlgoUtils::CheckIpValid(nullptr));
}

}  // namespace
