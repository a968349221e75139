// CLocalTriggerSource: a drivable trigger source.
#include "LocalTriggerSource.h"

#include <time.h>

namespace zerran_app {

uint64_t UpTimeMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u +
           (static_cast<uint64_t>(ts.tv_nsec) + 500000u) / 1000000u;
}

namespace {

// One getter's answer: the failure code a test set for it, or 0 with the value.
template <typename Value, typename Make>
int Answer(const std::atomic<int>& failure, Value& out, Make make) {
    const int code = failure.load();
    if (code == 0) {
        out = make();
    }
    return code;
}

}  // namespace

CLocalTriggerSource::CLocalTriggerSource() = default;
CLocalTriggerSource::~CLocalTriggerSource() = default;

int CLocalTriggerSource::GetStringParam(const std::string& name, std::string& value) {
    if (name == "TriggerImageTime") {
        return Answer(m_nFailImageTime, value,
                      [this] { return std::to_string(m_u64ImageTime.load()); });
    }
    return kErrUnknownName;
}

int CLocalTriggerSource::GetIntParam(const std::string& name, int& value) {
    if (name == "TriggerMode") {
        return Answer(m_nFailMode, value, [this] { return m_nMode.load(); });
    }
    if (name == "TriggerCount") {
        return Answer(m_nFailCount, value, [this] { return m_nCount.load(); });
    }
    return kErrUnknownName;
}

int CLocalTriggerSource::Trigger() {
    return TriggerAt(UpTimeMs());
}

int CLocalTriggerSource::TriggerAt(uint64_t imageTimeMs) {
    // Time first, count second: whoever sees the new count reads this time or
    // a later one, never the time of the trigger before.
    m_u64ImageTime.store(imageTimeMs);
    return m_nCount.fetch_add(1) + 1;
}

int CLocalTriggerSource::SetFailure(const std::string& name, int code) {
    if (name == "TriggerMode") {
        m_nFailMode.store(code);
    } else if (name == "TriggerCount") {
        m_nFailCount.store(code);
    } else if (name == "TriggerImageTime") {
        m_nFailImageTime.store(code);
    } else {
        return kErrUnknownName;
    }
    return 0;
}

}  // namespace zerran_app
