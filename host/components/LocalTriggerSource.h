// CLocalTriggerSource: the host application's trigger source, driven by the
// host (or a test) instead of a camera's trigger input.
//
// A software trigger stamps the image time on the monotonic millisecond clock
// and then counts the trigger, so a reader that sees the new count also sees
// (at least) that trigger's time. Each getter can be told to fail with a given
// code, per key, to exercise the failure paths of its users.
//
// Threads: any; every value is atomic, no lock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "algo/AppComponents.h"

namespace zerran_app {

// Milliseconds of CLOCK_MONOTONIC rounded to the nearest millisecond: the
// time base of the modules' clock helper.
uint64_t UpTimeMs();

class CLocalTriggerSource : public ITriggerSource {
public:
    static constexpr int kErrUnknownName = -1;

    CLocalTriggerSource();
    ~CLocalTriggerSource() override;

    // "TriggerImageTime".
    int GetStringParam(const std::string& name, std::string& value) override;
    // "TriggerMode", "TriggerCount".
    int GetIntParam(const std::string& name, int& value) override;

    // A software trigger now: returns the new trigger count.
    int Trigger();
    // A trigger whose image was taken at `imageTimeMs` (monotonic ms).
    int TriggerAt(uint64_t imageTimeMs);

    void SetTriggerMode(int mode) { m_nMode.store(mode); }
    void SetTriggerCount(int count) { m_nCount.store(count); }
    void SetImageTime(uint64_t ms) { m_u64ImageTime.store(ms); }
    int TriggerCount() const { return m_nCount.load(); }
    uint64_t ImageTime() const { return m_u64ImageTime.load(); }

    // From now on the getter of `name` returns `code` (0 = answer again).
    // 0, or kErrUnknownName for a key this source does not have.
    int SetFailure(const std::string& name, int code);

private:
    std::atomic<int> m_nMode{0};
    std::atomic<int> m_nCount{0};
    std::atomic<uint64_t> m_u64ImageTime{0};
    std::atomic<int> m_nFailMode{0};
    std::atomic<int> m_nFailCount{0};
    std::atomic<int> m_nFailImageTime{0};
};

}  // namespace zerran_app
