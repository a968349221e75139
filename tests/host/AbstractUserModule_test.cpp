// The module interface's virtual order, which hosts rely on by position, and
// the framework's defaults and processing statistics.
#include "algo/Algo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "TestModule.h"

namespace {

// Vtable slot of a virtual member function, read from its Itanium-ABI
// pointer-to-member representation (the destructor pair takes slots 0 and 1).
template <class F>
long SlotOf(F pmf) {
    struct Rep {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof(F) == sizeof(Rep), "Itanium member function pointer");
    std::memcpy(&rep, &pmf, sizeof(rep));
#if defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) {
        return -1;  // not virtual
    }
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1) == 0) {
        return -1;  // not virtual
    }
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

#define EXPECT_SLOT(member, slot) EXPECT_EQ(SlotOf(&member), (slot)) << #member

TEST(AbstractUserModuleTest, VirtualOperationsKeepTheHostsOrder) {
    long n = 2;  // after the destructor pair
    EXPECT_SLOT(CAbstractUserModule::Process, n++);
    EXPECT_SLOT(CAbstractUserModule::SetPwd, n++);
    EXPECT_SLOT(CAbstractUserModule::UpdatePwd, n++);
    EXPECT_SLOT(CAbstractUserModule::SetModuleId, n++);
    EXPECT_SLOT(CAbstractUserModule::SetProcedureName, n++);
    EXPECT_SLOT(CAbstractUserModule::GetParam, n++);
    EXPECT_SLOT(CAbstractUserModule::SetParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetAllParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSingleParam, n++);
    EXPECT_SLOT(CAbstractUserModule::UpSingleParam, n++);
    EXPECT_SLOT(CAbstractUserModule::UpAllParam, n++);
    EXPECT_SLOT(CAbstractUserModule::Get2DimParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::Set2DimParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::Add2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::Del2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSingle2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::Get2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::Set2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetAll2DimParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubParamHeadPub, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubParamHeadSub, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubHeadParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetPubParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetPubHeadParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSingleSubParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSubHeadParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSingleSubHeadParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetPubParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSinglePubParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetPubHeadParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetSinglePubHeadParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDisplayFileData, n++);
    EXPECT_SLOT(CAbstractUserModule::SetDisplayFileData, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDynamicSubScribeParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDynamicSingleSubScribeParam, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDynamicPublishParamNum, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDynamicSinglePublishParam, n++);
    EXPECT_SLOT(CAbstractUserModule::SetLogLevel, n++);
    EXPECT_SLOT(CAbstractUserModule::GetDebugInfo, n++);
    EXPECT_SLOT(CAbstractUserModule::SetMsgCallback, n++);
    EXPECT_SLOT(CAbstractUserModule::AlgoPlayReady, n++);
    EXPECT_SLOT(CAbstractUserModule::AlgoPlayCtrl, n++);
    EXPECT_SLOT(CAbstractUserModule::AlgoNeedDLClose, n++);
    EXPECT_SLOT(CAbstractUserModule::GetRunningInfo, n++);
    EXPECT_SLOT(CAbstractUserModule::ResetResultInfo, n++);
    EXPECT_SLOT(CAbstractUserModule::UpdateDsImgAddr, n++);
    EXPECT_EQ(n, 51);

    // CAlgo's hooks follow the interface, in this order.
    EXPECT_SLOT(CAlgo::UpdatePwdPrivate, n++);
    EXPECT_SLOT(CAlgo::AlgoPlayCtrlPrivate, n++);
    EXPECT_SLOT(CAlgo::InitAlgoPrivate, n++);
    EXPECT_SLOT(CAlgo::InitAbility, n++);
    EXPECT_SLOT(CAlgo::InitROI, n++);
    EXPECT_SLOT(CAlgo::InitPM, n++);
    EXPECT_SLOT(CAlgo::InitIO, n++);
    EXPECT_SLOT(CAlgo::InitDISP, n++);
    EXPECT_SLOT(CAlgo::InitResult, n++);

    // Overrides in CAlgo reuse the interface's slots.
    EXPECT_SLOT(CAlgo::GetRunningInfo, 48);
    EXPECT_SLOT(CAlgo::SetLogLevel, 42);
}

TEST(AbstractUserModuleTest, UpProcessTimeAccumulatesStatisticsUntilReset) {
    TestModule probe("probe");
    probe.StartFrame(40.0);  // as if the frame had started 40 ms ago
    probe.UpProcessTime();
    probe.StartFrame(0.0);
    probe.UpProcessTime();

    MODULE_RUNNING_INFO info{};
    ASSERT_EQ(probe.GetRunningInfo(&info), 0);
    EXPECT_EQ(info.nProcessCount, 2u);
    EXPECT_GE(info.dMaxProcessMs, 40.0);
    EXPECT_GE(info.dTotalProcessMs, 40.0);
    EXPECT_GE(info.dLastProcessMs, 0.0);
    EXPECT_LT(info.dLastProcessMs, info.dMaxProcessMs);
    EXPECT_EQ(probe.ProcessTimeUs(), static_cast<uint64_t>(info.dLastProcessMs * 1000.0));

    ASSERT_EQ(probe.ResetResultInfo(), 0);
    ASSERT_EQ(probe.GetRunningInfo(&info), 0);
    EXPECT_EQ(info.nProcessCount, 0u);
    EXPECT_EQ(info.dTotalProcessMs, 0.0);
}

TEST(AbstractUserModuleTest, UnusedOperationsEmptyTheirOutputsAndRefuseNull) {
    TestModule probe("probe");
    CAbstractUserModule& module = probe;
    PARAM_2DIM_VALUE_INFO_LIST list;
    list.nNum = 7;
    EXPECT_EQ(module.GetAll2DimParam(&list), 0);
    EXPECT_EQ(list.nNum, 0);
    cJSON* json = reinterpret_cast<cJSON*>(&list);
    EXPECT_EQ(module.GetSubParamHeadPub(&json), 0);
    EXPECT_EQ(json, nullptr);
    EXPECT_EQ(module.Set2DimParamNum(0, 3), ALGO_E_NOT_SUPPORTED);
    EXPECT_EQ(module.GetAll2DimParam(nullptr), ALGO_E_INVALID_ARG);
    EXPECT_EQ(module.GetDynamicSinglePublishParam(0, nullptr), ALGO_E_INVALID_ARG);
    EXPECT_EQ(module.GetDebugInfo(nullptr), ALGO_E_INVALID_ARG);
    EXPECT_EQ(module.GetRunningInfo(nullptr), ALGO_E_INVALID_ARG);
}

}  // namespace
