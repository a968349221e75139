// The installed host contract (udptrans/udptrans_host.h) against what it
// describes: the parameter description the build ships beside the module,
// the framework's names and codes, and the module itself driven with frames
// built from the header's names alone.
#include "udptrans/udptrans_host.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "ModuleFixture.h"
#include "algo/AlgoExport.h"
#include "algo/AppComponents.h"
#include "algo/FrameData.h"
#include "algo/ParamManage.h"
#include "udpMsg.h"
#include "udptrans.h"

namespace {

constexpr bool Same(std::string_view a, std::string_view b) {
    return a == b;
}

// Names and codes that another header of ours also spells: a difference fails
// the build. The codes the module answers a host with (invalid argument, no
// data, unknown key, bad value, malformed address) are held to the header by
// the module tests, which expect the header's codes.
static_assert(Same(UDPTRANS_COMPONENT_TRIGGER_SOURCE, zerran_app::ITriggerSource::kComponentName));
static_assert(Same(UDPTRANS_COMPONENT_IMAGE_PROCESS, zerran_app::IImageProcess::kComponentName));
static_assert(UDPTRANS_E_INVALID_ARG == ALGO_E_INVALID_ARG);
static_assert(UDPTRANS_E_HOST_ADDRESS == udp::kUtErrHostAddr);
static_assert(UDPTRANS_E_BAD_INDEX == CParamManage::kErrBadIndex);
static_assert(UDPTRANS_E_STORE_IO == CParamManage::kErrIo);
static_assert(UDPTRANS_E_PORT_NOT_CONFIRMED == udp::CUdpProcess::kErrPortNotConfirmed);
static_assert(UDPTRANS_PARAM_TYPE_INT == CParamManage::PARAM_TYPE_INT);
static_assert(UDPTRANS_PARAM_TYPE_IPV4 == CParamManage::PARAM_TYPE_IPV4);
static_assert(UDPTRANS_PARAM_TYPE_STRING == CParamManage::PARAM_TYPE_STRING);
static_assert(UDPTRANS_VERSION == UDPTRANS_VERSION_MAJOR * 10000 + UDPTRANS_VERSION_MINOR * 100 +
                                      UDPTRANS_VERSION_PATCH);

// One key as the header gives it; texts have no lowest value, addresses no range.
struct HeaderParam {
    const char* key;
    int type;
    std::string defaultText;
    int64_t min;
    int64_t max;
};

#define UT_INT_PARAM(ID)                                                                  \
    HeaderParam{UDPTRANS_PARAM_##ID, UDPTRANS_PARAM_##ID##_TYPE,                          \
                std::to_string(UDPTRANS_PARAM_##ID##_DEFAULT), UDPTRANS_PARAM_##ID##_MIN, \
                UDPTRANS_PARAM_##ID##_MAX},
#define UT_STRING_PARAM(ID)                                                                        \
    HeaderParam{UDPTRANS_PARAM_##ID, UDPTRANS_PARAM_##ID##_TYPE, UDPTRANS_PARAM_##ID##_DEFAULT, 0, \
                UDPTRANS_PARAM_##ID##_MAX_LENGTH},
#define UT_IPV4_PARAM(ID)                                                                          \
    HeaderParam{UDPTRANS_PARAM_##ID, UDPTRANS_PARAM_##ID##_TYPE, UDPTRANS_PARAM_##ID##_DEFAULT, 0, \
                0},
#define UT_KEY(ID) UDPTRANS_PARAM_##ID,

TEST(UdptransHostHeader, ParametersMatchTheShippedDescription) {
    // Found by the header's names, the way the framework finds it.
    const std::filesystem::path module(ts::ModulePath());
    EXPECT_EQ(UDPTRANS_MODULE_FILE, module.filename().string());
    const std::string path = (module.parent_path() / UDPTRANS_DESCRIPTION_FILE).string();
    CParamManage description;
    ASSERT_EQ(0, description.LoadDescription(path)) << path;

    const std::vector<std::string> headerOrder = {UDPTRANS_PARAM_KEYS(UT_KEY)};
    EXPECT_EQ(description.Keys(), headerOrder);
    EXPECT_EQ(static_cast<size_t>(UDPTRANS_PARAM_COUNT), headerOrder.size());

    const std::vector<std::pair<int, std::vector<HeaderParam>>> groups = {
        {UDPTRANS_PARAM_TYPE_INT, {UDPTRANS_PARAM_INT_KEYS(UT_INT_PARAM)}},
        {UDPTRANS_PARAM_TYPE_STRING, {UDPTRANS_PARAM_STRING_KEYS(UT_STRING_PARAM)}},
        {UDPTRANS_PARAM_TYPE_IPV4, {UDPTRANS_PARAM_IPV4_KEYS(UT_IPV4_PARAM)}}};
    size_t grouped = 0;
    for (const auto& [type, params] : groups) {
        grouped += params.size();
        for (const HeaderParam& p : params) {
            SCOPED_TRACE(p.key);
            EXPECT_EQ(type, p.type);
            CParamManage::ParamInfoPtr info;
            ASSERT_NO_THROW(info = description.GetParamFindAndCheck(p.key, 0));
            EXPECT_EQ(p.type, info->nType);
            EXPECT_EQ(p.defaultText, info->strDefault);
            if (type == UDPTRANS_PARAM_TYPE_INT) {
                EXPECT_EQ(p.min, info->nMin);
                EXPECT_EQ(p.max, info->nMax);
            } else if (type == UDPTRANS_PARAM_TYPE_STRING) {
                EXPECT_EQ(p.max, info->nMax);  // longest length
            }
            // The default is what a fresh store holds.
            EXPECT_EQ(p.defaultText, description.GetParam(p.key, 0));
            // Only the two target addresses refuse the any-address.
            EXPECT_EQ(Same(p.key, UDPTRANS_PARAM_TARGET_IP) ||
                          Same(p.key, UDPTRANS_PARAM_TARGET_HEARTBEAT_IP),
                      info->bRefuseAnyAddress);
        }
    }
    EXPECT_EQ(headerOrder.size(), grouped);
}

// A frame put together from the header's names only, the way an integrator
// who has nothing but the installed tree would.
class UdptransHostFrame : public ts::ModuleTest {
protected:
    struct HandBuiltFrame {
        QF_FRAME_INPUT input;
        QF_FRAME_OUTPUT output;
    };

    static void Fill(HandBuiltFrame& f, int count, const std::string& result) {
        auto record = std::make_shared<QF_FRAME_DATA>();
        record->mapInt[UDPTRANS_FRAME_COUNT] = count;
        record->mapInt[UDPTRANS_FRAME_TRIGGER_COUNT] = count;
        f.input.vecFrame.resize(UDPTRANS_FRAME_RECORD_ID + 1);
        f.input.vecFrame[UDPTRANS_FRAME_RECORD_ID] = record;
        auto block = std::make_shared<QF_FRAME_DATA>();
        block->mapBuffer[UDPTRANS_FRAME_RESULT] = std::make_shared<Infra::CBaseBuffer>(
            result.data(), static_cast<uint32_t>(result.size()));
        f.input.mapInput[UDPTRANS_FRAME_RESULT] = block;
        f.output.pOutput = std::make_shared<QF_FRAME_DATA>();
    }
    int Hand(HandBuiltFrame& f) { return m_module->Process(&f.input, &f.output); }
};

TEST_F(UdptransHostFrame, FrameFromHeaderNamesGoesOutAndReportsItsStatus) {
    ASSERT_EQ(UDPTRANS_OK, Start());
    EXPECT_TRUE(std::filesystem::is_regular_file(m_dir.Path() + "/" UDPTRANS_STORE_FILE));

    HandBuiltFrame sent;
    Fill(sent, 1, "result one");
    ASSERT_EQ(UDPTRANS_OK, Hand(sent));
    EXPECT_EQ(UDPTRANS_STATUS_SENT, sent.output.pOutput->mapInt[UDPTRANS_FRAME_STATUS]);
    EXPECT_EQ(std::vector<int>{UDPTRANS_STATUS_SENT},
              sent.output.pOutput->mapIntVec[UDPTRANS_FRAME_PARAM_STATUS]);
    EXPECT_EQ("result one", m_ep.msg.NextBytes());

    ASSERT_EQ(UDPTRANS_OK, Set(UDPTRANS_PARAM_ALGO_ENABLE, "0"));
    HandBuiltFrame held;
    Fill(held, 2, "result two");
    ASSERT_EQ(UDPTRANS_OK, Hand(held));
    EXPECT_EQ(UDPTRANS_STATUS_NOT_SENT, held.output.pOutput->mapInt[UDPTRANS_FRAME_STATUS]);
}

}  // namespace
