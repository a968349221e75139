// IPv4 socket-address builders.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <string.h>

#include "udptrans/udptrans_api.h"

namespace {

sockaddr_in Filled() {
    sockaddr_in addr;
    memset(&addr, 0xA5, sizeof(addr));
    return addr;
}

TEST(InetAddr, NullTextMeansAnyAddress) {
    sockaddr_in addr = Filled();
    ASSERT_EQ(0, makeAddrByString(AF_INET, nullptr, 8192, &addr));
    EXPECT_EQ(AF_INET, addr.sin_family);
    EXPECT_EQ(0u, addr.sin_addr.s_addr);
    const unsigned char* port = reinterpret_cast<const unsigned char*>(&addr.sin_port);
    EXPECT_EQ(0x20, port[0]);
    EXPECT_EQ(0x00, port[1]);
    EXPECT_EQ(0xA5, static_cast<unsigned char>(addr.sin_zero[0]));  // left to the caller
}

TEST(InetAddr, DottedTextFillsAddress) {
    sockaddr_in addr = Filled();
    ASSERT_EQ(0, makeAddrByString(AF_INET, "192.168.1.10", 9000, &addr));
    EXPECT_EQ(AF_INET, addr.sin_family);
    EXPECT_EQ(htons(9000), addr.sin_port);
    EXPECT_EQ(htonl(0xC0A8010Au), addr.sin_addr.s_addr);
}

TEST(InetAddr, RefusedTextLeavesFamilyAndPort) {
    for (const char* text : {"255.255.255.255", "not an address", "300.1.1.1"}) {
        sockaddr_in addr = Filled();
        EXPECT_EQ(-1, makeAddrByString(AF_INET, text, 80, &addr)) << text;
        EXPECT_EQ(INADDR_NONE, addr.sin_addr.s_addr) << text;
        EXPECT_EQ(0xA5A5, addr.sin_family) << text;
        EXPECT_EQ(0xA5A5, addr.sin_port) << text;
    }
}

TEST(InetAddr, WrongFamilyOrNullAddressRefused) {
    sockaddr_in addr = Filled();
    EXPECT_EQ(-1, makeAddrByString(AF_INET6, "127.0.0.1", 80, &addr));
    EXPECT_EQ(-1, makeAddrByString(AF_INET, "127.0.0.1", 80, nullptr));
    EXPECT_EQ(0xA5A5A5A5u, addr.sin_addr.s_addr);
    EXPECT_EQ(-1, makeAddr4ByInt(0x0100007Fu, 80, nullptr));
}

TEST(InetAddr, IntAddressStoredUnchanged) {
    sockaddr_in addr = Filled();
    const unsigned value = inet_addr("10.1.2.3");
    ASSERT_EQ(0, makeAddr4ByInt(value, 8193, &addr));
    EXPECT_EQ(AF_INET, addr.sin_family);
    EXPECT_EQ(htons(8193), addr.sin_port);
    EXPECT_EQ(value, addr.sin_addr.s_addr);
    EXPECT_EQ(0xA5, static_cast<unsigned char>(addr.sin_zero[7]));
}

}  // namespace
