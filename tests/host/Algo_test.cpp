// CAlgo's start-up sequence and its parameter listing.
#include "algo/Algo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestModule.h"
#include "TempDir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(AlgoTest, InitLoadsDescriptionAndStoreThenRunsTheModuleHook) {
    ts::TempDir dir;
    const std::string pwd = dir.Path() + "/work/udptrans";  // not there yet
    TestModule module("udptrans", UDPTRANS_PDESC);
    module.initResult = 7;

    EXPECT_EQ(module.SetPwd(pwd.c_str()), 7);  // the hook's result, unchanged
    EXPECT_EQ(module.initCalls, 1);
    EXPECT_EQ(module.storeSeen, pwd + "/udptrans.param");
    EXPECT_EQ(module.portSeen, "8192");
    EXPECT_EQ(access(pwd.c_str(), F_OK), 0);  // folder created

    EXPECT_EQ(module.GetParamNum(), 13);
    PARAM_VALUE_INFO info{};
    ASSERT_EQ(module.GetSingleParam(1, &info), 0);
    EXPECT_STREQ(info.szKey, "HostPort");
    EXPECT_STREQ(info.szValue, "8192");
    EXPECT_EQ(info.nType, CParamManage::PARAM_TYPE_INT);
    EXPECT_EQ(module.GetSingleParam(13, &info), CParamManage::kErrBadIndex);
    EXPECT_EQ(module.GetSingleParam(-1, &info), CParamManage::kErrBadIndex);
    EXPECT_EQ(module.GetSingleParam(0, nullptr), ALGO_E_INVALID_ARG);

    PARAM_VALUE_INFO_LIST list{};
    ASSERT_EQ(module.GetAllParam(&list), 0);
    ASSERT_EQ(list.nNum, 13);
    EXPECT_STREQ(list.stParam[11].szKey, "HeartbeatText");
    EXPECT_STREQ(list.stParam[11].szValue, "HEARTBEAT");
    EXPECT_EQ(list.stParam[11].nType, CParamManage::PARAM_TYPE_STRING);

    // A second start reuses the store object and runs the hook again.
    EXPECT_EQ(module.Init(), 7);
    EXPECT_EQ(module.initCalls, 2);
}

TEST(AlgoTest, InitNeedsNameFolderAndDescriptionBesideTheModule) {
    ts::TempDir dir;
    ts::WriteFile(dir.Path() + "/plain", "x");
    // Without a path set, the description is looked for beside the module's
    // shared object: for this test module, this executable.
    const std::string name = "algotest" + std::to_string(getpid());
    const std::string beside =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/" + name +
        ".pdesc";
    const struct {
        const char* name;
        const char* description;
        std::string pwd;
        int result;
        std::string logged;
    } cases[] = {{"", UDPTRANS_PDESC, dir.Path(), ALGO_E_INVALID_ARG, ""},
                 {"udptrans", UDPTRANS_PDESC, dir.Path() + "/plain/sub", CParamManage::kErrIo, ""},
                 {name.c_str(), nullptr, dir.Path(), CParamManage::kErrIo, beside}};
    for (const auto& c : cases) {
        TestModule module(c.name, c.description);
        CaptureStderr();
        EXPECT_EQ(module.SetPwd(c.pwd.c_str()), c.result) << c.pwd;
        const std::string err = GetCapturedStderr();
        EXPECT_FALSE(err.empty());
        EXPECT_NE(err.find(c.logged), std::string::npos) << err;
        EXPECT_EQ(module.initCalls, 0);
    }

    ts::WriteFile(beside, "HostPort int 4242 0 65535\n");
    TestModule found(name.c_str());
    const int rc = found.SetPwd(dir.Path().c_str());
    unlink(beside.c_str());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(found.portSeen, "4242");
}

TEST(AlgoTest, FrameworkOperationsKeepWhatTheHostSets) {
    TestModule module("udptrans");
    EXPECT_EQ(module.UpdatePwd("/data/x"), 0);
    EXPECT_EQ(module.updatedPwd, "/data/x");
    EXPECT_EQ(module.UpdatePwd(nullptr), ALGO_E_INVALID_ARG);

    // No store yet: empty listings, not a crash.
    EXPECT_EQ(module.GetParamNum(), 0);
    PARAM_VALUE_INFO_LIST list{};
    list.nNum = 3;
    EXPECT_EQ(module.GetAllParam(&list), 0);
    EXPECT_EQ(list.nNum, 0);

    EXPECT_EQ(module.GetPubHeadParam(nullptr), ALGO_E_INVALID_ARG);

    char display[] = "roi 1 2 3";
    EXPECT_EQ(module.SetDisplayFileData(display, 9), 0);
    char back[32] = {};
    int length = 0;
    EXPECT_EQ(module.GetDisplayFileData(back, sizeof(back), &length), 0);
    EXPECT_EQ(length, 9);
    EXPECT_STREQ(back, "roi 1 2 3");
    EXPECT_EQ(module.GetDisplayFileData(back, 4, &length), 0);
    EXPECT_STREQ(back, "roi");
}

}  // namespace
