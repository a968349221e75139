// The module interface's virtual order, which hosts rely on by position, and
// the framework's defaults and processing statistics.
#include "algo/Algo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>

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
    const bool isVirtual = (rep.adj & 1) != 0;
    const uintptr_t offset = rep.ptr;
#else
    const bool isVirtual = (rep.ptr & 1) != 0;
    const uintptr_t offset = rep.ptr - 1;
#endif
    return isVirtual ? static_cast<long>(offset / sizeof(void*)) : -1;
}

struct Slot {
    const char* member;
    long slot;
};
// clang-format off
#define SLOT(member) Slot{#member, SlotOf(&member)}
// clang-format on

TEST(AbstractUserModuleTest, VirtualOperationsKeepTheHostsOrder) {
    using M = CAbstractUserModule;
    // The interface's operations after the destructor pair, then CAlgo's hooks.
    // clang-format off
    const Slot order[] = {
        SLOT(M::Process), SLOT(M::SetPwd), SLOT(M::UpdatePwd), SLOT(M::SetModuleId),
        SLOT(M::SetProcedureName), SLOT(M::GetParam), SLOT(M::SetParam), SLOT(M::GetAllParam),
        SLOT(M::GetParamNum), SLOT(M::GetSingleParam), SLOT(M::UpSingleParam), SLOT(M::UpAllParam),
        SLOT(M::Get2DimParamNum), SLOT(M::Set2DimParamNum), SLOT(M::Add2DimParam),
        SLOT(M::Del2DimParam), SLOT(M::GetSingle2DimParam), SLOT(M::Get2DimParam),
        SLOT(M::Set2DimParam), SLOT(M::GetAll2DimParam), SLOT(M::GetSubParamHeadPub),
        SLOT(M::GetSubParamHeadSub), SLOT(M::GetSubParam), SLOT(M::GetSubHeadParam),
        SLOT(M::GetPubParam), SLOT(M::GetPubHeadParam), SLOT(M::GetSubParamNum),
        SLOT(M::GetSingleSubParam), SLOT(M::GetSubHeadParamNum), SLOT(M::GetSingleSubHeadParam),
        SLOT(M::GetPubParamNum), SLOT(M::GetSinglePubParam), SLOT(M::GetPubHeadParamNum),
        SLOT(M::GetSinglePubHeadParam), SLOT(M::GetDisplayFileData), SLOT(M::SetDisplayFileData),
        SLOT(M::GetDynamicSubScribeParamNum), SLOT(M::GetDynamicSingleSubScribeParam),
        SLOT(M::GetDynamicPublishParamNum), SLOT(M::GetDynamicSinglePublishParam),
        SLOT(M::SetLogLevel), SLOT(M::GetDebugInfo), SLOT(M::SetMsgCallback),
        SLOT(M::AlgoPlayReady), SLOT(M::AlgoPlayCtrl), SLOT(M::AlgoNeedDLClose),
        SLOT(M::GetRunningInfo), SLOT(M::ResetResultInfo), SLOT(M::UpdateDsImgAddr),
        SLOT(CAlgo::UpdatePwdPrivate), SLOT(CAlgo::AlgoPlayCtrlPrivate),
        SLOT(CAlgo::InitAlgoPrivate), SLOT(CAlgo::InitAbility), SLOT(CAlgo::InitROI),
        SLOT(CAlgo::InitPM), SLOT(CAlgo::InitIO), SLOT(CAlgo::InitDISP), SLOT(CAlgo::InitResult)};
    // clang-format on
    for (size_t i = 0; i < std::size(order); ++i) {
        EXPECT_EQ(order[i].slot, static_cast<long>(i) + 2) << order[i].member;
    }
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
