// Start-up with host ports of 0 in the store: the endpoints take their default
// ports and the store is corrected to show them.
#include <gtest/gtest.h>

#include "ModuleHarness.h"

using namespace ut;

namespace {

class UdptransDefaultPorts : public ModuleTest {};

TEST_F(UdptransDefaultPorts, StoredZeroPortsEndAsDefaultsInStore) {
    if (!PortIsFree(8192) || !PortIsFree(8193)) {
        GTEST_SKIP() << "8192/8193 held by another program";
    }
    auto values = m_ep.StoreValues();
    values.push_back({"HostPort", "0"});
    values.push_back({"HostHeartbeatPort", "0"});
    ASSERT_EQ(0, Start(values));
    EXPECT_EQ("8192", ReadStore(m_dir, "HostPort"));
    EXPECT_EQ("8193", ReadStore(m_dir, "HostHeartbeatPort"));
    EXPECT_FALSE(PortIsFree(8192));
    EXPECT_FALSE(PortIsFree(8193));

    Frame frame(1, 1, Bytes("default"));
    ASSERT_EQ(0, Process(frame));
    auto d = m_ep.msg.Recv();
    ASSERT_TRUE(d);
    EXPECT_EQ("default", d->bytes);
    EXPECT_EQ(8192, d->fromPort);

    Destroy();
    m_lib.Close();
    EXPECT_TRUE(PortIsFree(8192));
}

}  // namespace
