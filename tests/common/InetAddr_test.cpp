// IPv4 socket-address builders.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <string.h>

#include "udptrans/udptrans_api.h"

namespace {

// Fills every byte first, to see which ones the builders write.
sockaddr_in Filled() {
    sockaddr_in addr;
    memset(&addr, 0xA5, sizeof(addr));
    return addr;
}

TEST(InetAddr, BuildersFillFamilyPortAndAddressOnly) {
    struct Case {
        const char* text;  // nullptr: any address
        unsigned short port;
        in_addr_t want;
    };
    for (const Case& c : {Case{nullptr, 8192, 0}, Case{"192.168.1.10", 9000, htonl(0xC0A8010Au)}}) {
        sockaddr_in addr = Filled();
        ASSERT_EQ(0, makeAddrByString(AF_INET, c.text, c.port, &addr));
        EXPECT_EQ(AF_INET, addr.sin_family);
        EXPECT_EQ(htons(c.port), addr.sin_port);
        EXPECT_EQ(c.want, addr.sin_addr.s_addr);
        EXPECT_EQ(0xA5, static_cast<unsigned char>(addr.sin_zero[0]));  // left to the caller
    }
    sockaddr_in addr = Filled();
    ASSERT_EQ(0, makeAddr4ByInt(inet_addr("10.1.2.3"), 8193, &addr));  // stored unchanged
    EXPECT_EQ(AF_INET, addr.sin_family);
    EXPECT_EQ(htons(8193), addr.sin_port);
    EXPECT_EQ(inet_addr("10.1.2.3"), addr.sin_addr.s_addr);
    EXPECT_EQ(0xA5, static_cast<unsigned char>(addr.sin_zero[7]));
}

TEST(InetAddr, RefusedInputLeavesFamilyAndPort) {
    for (const char* text : {"255.255.255.255", "not an address", "300.1.1.1"}) {
        sockaddr_in addr = Filled();
        EXPECT_EQ(-1, makeAddrByString(AF_INET, text, 80, &addr)) << text;
        EXPECT_EQ(INADDR_NONE, addr.sin_addr.s_addr) << text;
        EXPECT_EQ(0xA5A5, addr.sin_family) << text;
        EXPECT_EQ(0xA5A5, addr.sin_port) << text;
    }
    sockaddr_in addr = Filled();
    EXPECT_EQ(-1, makeAddrByString(AF_INET6, "127.0.0.1", 80, &addr));
    EXPECT_EQ(0xA5A5A5A5u, addr.sin_addr.s_addr);
    EXPECT_EQ(-1, makeAddrByString(AF_INET, "127.0.0.1", 80, nullptr));
    EXPECT_EQ(-1, makeAddr4ByInt(0x0100007Fu, 80, nullptr));
}

}  // namespace
