// Frame-record access for modules: the handles are the host's QF_FRAME_INPUT
// and QF_FRAME_OUTPUT records passed as void*.
#include "algo/FrameData.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace Infra {

CBaseBuffer::CBaseBuffer(const void* data, uint32_t length) {
    if (data != nullptr && length > 0) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        m_vecData.assign(bytes, bytes + length);
    }
}

CBaseBuffer::CBaseBuffer(std::vector<uint8_t> bytes) : m_vecData(std::move(bytes)) {}

}  // namespace Infra

QF_FRAME_DATA_PTR QF_M_Get_Frame_ByID(void* input, int id) {
    const auto* frame = static_cast<const QF_FRAME_INPUT*>(input);
    if (frame == nullptr || id < 0 || static_cast<size_t>(id) >= frame->vecFrame.size()) {
        return {};
    }
    return frame->vecFrame[static_cast<size_t>(id)];
}

QF_FRAME_DATA_PTR QF_M_Get_Frame_ByHInput(void* input, const char* name) {
    const auto* frame = static_cast<const QF_FRAME_INPUT*>(input);
    if (frame == nullptr || name == nullptr) {
        return {};
    }
    auto it = frame->mapInput.find(std::string_view(name));
    return it == frame->mapInput.end() ? QF_FRAME_DATA_PTR{} : it->second;
}

QF_FRAME_DATA_PTR QF_M_Get_Frame_ByHOutput(void* output) {
    const auto* frame = static_cast<const QF_FRAME_OUTPUT*>(output);
    return frame == nullptr ? QF_FRAME_DATA_PTR{} : frame->pOutput;
}
