// Frame records built by the host and read through the framework's accessors.
#include "FrameFactory.h"

#include <gtest/gtest.h>

namespace {

using zerran_app::CFrame;

TEST(FrameFactoryTest, CompleteFrameIsReachableThroughTheAccessors) {
    CFrame frame(7, 3, {1, 2, 3});
    QF_FRAME_DATA_PTR record = QF_M_Get_Frame_ByID(frame.Input(), 0);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->mapInt.at("SINGLE_frame_cnt"), 7);
    EXPECT_EQ(record->mapInt.at("SINGLE_trigger_cnt"), 3);
    QF_FRAME_DATA_PTR binary = QF_M_Get_Frame_ByHInput(frame.Input(), "SINGLE_obj_binary");
    ASSERT_TRUE(binary);
    auto buffer = binary->mapBuffer.at("SINGLE_obj_binary");
    ASSERT_EQ(buffer->GetLength(), 3u);
    EXPECT_EQ(static_cast<uint8_t*>(buffer->GetData())[2], 3);
    ASSERT_TRUE(QF_M_Get_Frame_ByHOutput(frame.Output()));

    frame.SetCounters(8, 4);
    EXPECT_EQ(record->mapInt.at("SINGLE_frame_cnt"), 8);
    EXPECT_EQ(record->mapInt.at("SINGLE_trigger_cnt"), 4);

    EXPECT_EQ(frame.Status(), -1);
    auto output = QF_M_Get_Frame_ByHOutput(frame.Output());
    output->mapInt["SINGLE_status"] = 1;
    output->mapIntVec["SINGLE_param_status"] = {1, 5};
    EXPECT_EQ(frame.Status(), 1);
    EXPECT_EQ(frame.ParamStatus(), (std::vector<int>{1, 5}));
    frame.ClearOutput();
    EXPECT_EQ(frame.Status(), -1);
    EXPECT_TRUE(frame.ParamStatus().empty());
}

TEST(FrameFactoryTest, MissingPartsAndBadHandlesGiveEmptyPointers) {
    CFrame noRecord(1, 1, {}, zerran_app::kPartAll & ~zerran_app::kPartFrameRecord);
    EXPECT_FALSE(QF_M_Get_Frame_ByID(noRecord.Input(), 0));

    CFrame noTrigger(1, 1, {}, zerran_app::kPartAll & ~zerran_app::kPartTriggerCount);
    EXPECT_EQ(QF_M_Get_Frame_ByID(noTrigger.Input(), 0)->mapInt.count("SINGLE_trigger_cnt"), 0u);

    CFrame noBuffer(1, 1, {}, zerran_app::kPartAll & ~zerran_app::kPartBinaryBuffer);
    auto binary = QF_M_Get_Frame_ByHInput(noBuffer.Input(), "SINGLE_obj_binary");
    ASSERT_TRUE(binary);
    EXPECT_TRUE(binary->mapBuffer.empty());

    CFrame noOutput(1, 1, {}, zerran_app::kPartAll & ~zerran_app::kPartOutput);
    EXPECT_FALSE(QF_M_Get_Frame_ByHOutput(noOutput.Output()));

    EXPECT_FALSE(QF_M_Get_Frame_ByID(nullptr, 0));
    EXPECT_FALSE(QF_M_Get_Frame_ByID(noOutput.Input(), 1));
    EXPECT_FALSE(QF_M_Get_Frame_ByID(noOutput.Input(), -1));
    EXPECT_FALSE(QF_M_Get_Frame_ByHInput(noOutput.Input(), nullptr));
    EXPECT_FALSE(QF_M_Get_Frame_ByHInput(noOutput.Input(), "SINGLE_other"));
    EXPECT_FALSE(QF_M_Get_Frame_ByHOutput(nullptr));

    EXPECT_EQ(Infra::CBaseBuffer(nullptr, 5).GetLength(), 0u);
}

}  // namespace
