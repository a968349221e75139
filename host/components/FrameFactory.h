// CFrame: one frame as the host's processing chain hands it to a module: an
// input handle with the frame record (counters "SINGLE_frame_cnt" and
// "SINGLE_trigger_cnt") and the result block "SINGLE_obj_binary", and an
// output handle with an empty output record.
//
// Parts can be left out to build the damaged frames that tests need. Shared by
// tests, the host program and benchmarks; a benchmark reuses one frame and
// changes its counters without allocating.
//
// Threads: a frame belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "algo/FrameData.h"

namespace zerran_app {

enum FramePart : unsigned {
    kPartFrameCount = 1u << 0,    // "SINGLE_frame_cnt" in the frame record
    kPartTriggerCount = 1u << 1,  // "SINGLE_trigger_cnt" in the frame record
    kPartBinaryRecord = 1u << 2,  // the input record "SINGLE_obj_binary"
    kPartBinaryBuffer = 1u << 3,  // the buffer "SINGLE_obj_binary" in that record
    kPartFrameRecord = 1u << 4,   // frame record id 0 itself
    kPartOutput = 1u << 5,        // the output record
    kPartAll = 0x3fu,
};

class CFrame {
public:
    CFrame(int frameCount, int triggerCount, std::vector<uint8_t> payload,
           unsigned parts = kPartAll);

    CFrame(const CFrame&) = delete;
    CFrame& operator=(const CFrame&) = delete;

    // The opaque handles for Process(input, output).
    void* Input() { return &m_stInput; }
    void* Output() { return &m_stOutput; }

    // Changes the counters that the frame was built with (no allocation).
    void SetCounters(int frameCount, int triggerCount);

    // "SINGLE_status" of the output record, or -1 when nothing was written.
    int Status() const;
    // "SINGLE_param_status" of the output record (empty when not written).
    std::vector<int> ParamStatus() const;
    // Removes what a module wrote, for the next use of the same frame.
    void ClearOutput();

    QF_FRAME_INPUT& InputRecord() { return m_stInput; }
    QF_FRAME_OUTPUT& OutputRecord() { return m_stOutput; }

private:
    QF_FRAME_INPUT m_stInput;
    QF_FRAME_OUTPUT m_stOutput;
    int* m_pFrameCount = nullptr;    // slot in the frame record, when present
    int* m_pTriggerCount = nullptr;  // slot in the frame record, when present
};

}  // namespace zerran_app
