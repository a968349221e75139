// CFrame: building frame records the way the host's chain does.
#include "FrameFactory.h"

#include <memory>
#include <utility>

namespace zerran_app {

CFrame::CFrame(int frameCount, int triggerCount, std::vector<uint8_t> payload, unsigned parts) {
    auto record = std::make_shared<QF_FRAME_DATA>();
    if ((parts & kPartFrameCount) != 0) {
        m_pFrameCount = &(record->mapInt["SINGLE_frame_cnt"] = frameCount);
    }
    if ((parts & kPartTriggerCount) != 0) {
        m_pTriggerCount = &(record->mapInt["SINGLE_trigger_cnt"] = triggerCount);
    }
    if ((parts & kPartFrameRecord) != 0) {
        m_stInput.vecFrame.push_back(std::move(record));
    }
    if ((parts & kPartBinaryRecord) != 0) {
        auto binary = std::make_shared<QF_FRAME_DATA>();
        if ((parts & kPartBinaryBuffer) != 0) {
            binary->mapBuffer["SINGLE_obj_binary"] =
                std::make_shared<Infra::CBaseBuffer>(std::move(payload));
        }
        m_stInput.mapInput.emplace("SINGLE_obj_binary", std::move(binary));
    }
    if ((parts & kPartOutput) != 0) {
        m_stOutput.pOutput = std::make_shared<QF_FRAME_DATA>();
    }
}

void CFrame::SetCounters(int frameCount, int triggerCount) {
    // Pointers into unordered_map nodes stay valid: the frame record's
    // tables are not changed after construction.
    if (m_pFrameCount != nullptr) {
        *m_pFrameCount = frameCount;
    }
    if (m_pTriggerCount != nullptr) {
        *m_pTriggerCount = triggerCount;
    }
}

int CFrame::Status() const {
    if (!m_stOutput.pOutput) {
        return -1;
    }
    auto it = m_stOutput.pOutput->mapInt.find("SINGLE_status");
    return it == m_stOutput.pOutput->mapInt.end() ? -1 : it->second;
}

std::vector<int> CFrame::ParamStatus() const {
    if (!m_stOutput.pOutput) {
        return {};
    }
    auto it = m_stOutput.pOutput->mapIntVec.find("SINGLE_param_status");
    return it == m_stOutput.pOutput->mapIntVec.end() ? std::vector<int>{} : it->second;
}

void CFrame::ClearOutput() {
    if (m_stOutput.pOutput) {
        m_stOutput.pOutput->mapInt.clear();
        m_stOutput.pOutput->mapIntVec.clear();
        m_stOutput.pOutput->mapBuffer.clear();
    }
}

}  // namespace zerran_app
