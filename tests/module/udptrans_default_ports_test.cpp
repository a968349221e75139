// Start-up with host ports of 0 in the store: the endpoints take their default
// ports and the store is corrected to show them.
#include <gtest/gtest.h>

#include "ModuleHarness.h"

using namespace ut;

namespace {

TEST(UdptransDefaultPorts, StoredZeroPortsEndAsDefaultsInStore) {
    if (!PortIsFree(8192) || !PortIsFree(8193)) {
        GTEST_SKIP() << "8192/8193 held by another program";
    }
    Library lib;
    ASSERT_TRUE(lib.Open());
    TempDir dir;
    Components comps;
    Endpoints ep;
    auto values = ep.StoreValues();
    values.push_back({"HostPort", "0"});
    values.push_back({"HostHeartbeatPort", "0"});
    WriteStore(dir, values);

    CAbstractUserModule* module = lib.create();
    ASSERT_NE(nullptr, module);
    module->SetModuleId(kModuleId);
    ASSERT_EQ(0, module->SetPwd(dir.Path().c_str()));
    EXPECT_EQ("8192", ReadStore(dir, "HostPort"));
    EXPECT_EQ("8193", ReadStore(dir, "HostHeartbeatPort"));
    EXPECT_FALSE(PortIsFree(8192));
    EXPECT_FALSE(PortIsFree(8193));

    Frame frame(1, 1, Bytes("default"));
    ASSERT_EQ(0, module->Process(frame.Input(), frame.Output()));
    auto d = ep.msg.Recv();
    ASSERT_TRUE(d);
    EXPECT_EQ("default", d->bytes);
    EXPECT_EQ(8192, d->fromPort);

    lib.destroy(nullptr, module);
    lib.Close();
    EXPECT_TRUE(PortIsFree(8192));
}

}  // namespace
