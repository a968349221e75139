// A fault of the parameter store under a running module: its folder gone
// (replaced by a file, which stops writes even for root). The module must
// report the failed save, keep every value it took, and go on sending. The
// store's own save path (full disk, a kill during a save) and what it refuses
// are tested with the stand-in, in tests/host.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ModuleFixture.h"

using namespace ts;

namespace {

constexpr int kErrIo = CParamManage::kErrIo;

class StoreFaults : public ModuleTest {};

TEST_F(StoreFaults, UnwritableFolderKeepsThePreviousFileAndLosesNothingLater) {
    ReadLog();
    ASSERT_EQ(0, Start());
    ASSERT_EQ(0, Set("HeartbeatText", "old text"));
    const std::string folder = m_dir.Path();
    const std::string moved = folder + ".moved";
    const std::string saved = ts::ReadFile(ts::StorePath(m_dir));
    ASSERT_NE(std::string::npos, saved.find("HeartbeatText=old text\n"));

    // The working folder disappears under the running module; a file takes its
    // name, so neither the temporary file nor the rename can succeed.
    ASSERT_EQ(0, rename(folder.c_str(), moved.c_str()));
    { std::ofstream blocker(folder); }
    EXPECT_EQ(kErrIo, Set("HeartbeatText", "new text"));
    EXPECT_GE(Logged("SaveFile failed, nRet = "), 1);
    // An endpoint key: the engine takes it, the save fails and says so.
    EXPECT_EQ(kErrIo, Set("TargetPort", std::to_string(m_ep.hb.Port())));
    ASSERT_TRUE(Arrives(m_ep.hb, "redirected while the store was gone"));

    // The file of the last good save, byte for byte.
    EXPECT_EQ(saved, ts::ReadFile(moved + "/udptrans.param"));
    EXPECT_EQ(std::vector<std::string>{"udptrans.param"}, ts::EntriesOf(moved))
        << "a failed save left files behind";

    // The folder comes back: the next save writes every value the module
    // took meanwhile, none is lost.
    ASSERT_EQ(0, unlink(folder.c_str()));
    ASSERT_EQ(0, rename(moved.c_str(), folder.c_str()));
    ASSERT_EQ(0, Set("HeartbeatInterval", "7"));
    EXPECT_EQ("new text", ts::ReadStore(m_dir, "HeartbeatText"));
    EXPECT_EQ(std::to_string(m_ep.hb.Port()), ts::ReadStore(m_dir, "TargetPort"));
    EXPECT_EQ("7", ts::ReadStore(m_dir, "HeartbeatInterval"));
}

}  // namespace
