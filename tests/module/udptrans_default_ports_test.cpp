// Start-up with host ports of 0 in the store file: the description refuses
// them, so the module starts on the default ports and the store is corrected
// to show them.
#include <gtest/gtest.h>

#include <fstream>

#include "ModuleFixture.h"

using namespace ts;

namespace {

class UdptransDefaultPorts : public ModuleTest {};

TEST_F(UdptransDefaultPorts, StoredZeroPortsEndAsDefaultsInStore) {
    if (!PortIsFree(8192) || !PortIsFree(8193)) {
        GTEST_SKIP() << "8192/8193 held by another program";
    }
    // Everything but the two host ports, which StoreValues lists first.
    auto values = m_ep.Values();
    values.erase(values.begin(), values.begin() + 2);
    WriteStore(m_dir, values);
    // Written by hand: the store itself no longer takes a port of 0.
    std::ofstream(StorePath(m_dir), std::ios::app) << "HostPort=0\nHostHeartbeatPort=0\n";
    Create();
    ASSERT_EQ(0, Restart());
    EXPECT_EQ("8192", ReadStore(m_dir, "HostPort"));
    EXPECT_EQ("8193", ReadStore(m_dir, "HostHeartbeatPort"));
    EXPECT_FALSE(PortIsFree(8192));
    EXPECT_FALSE(PortIsFree(8193));

    ASSERT_EQ(0, SendFrame("default"));
    EXPECT_EQ(From("default", 8192), m_ep.msg.NextFrom());

    Destroy();
    m_lib.Close();
    EXPECT_TRUE(PortIsFree(8192));
}

}  // namespace
