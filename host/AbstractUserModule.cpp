// CAbstractUserModule: the framework's defaults for the operations of the
// module interface that most modules do not need, and the processing-time
// statistics.
#include "algo/AbstractUserModule.h"

#include <time.h>

#include <algorithm>
#include <thread>

namespace {

// Milliseconds of the monotonic clock rounded to the nearest millisecond, the
// same value modules take as their frame start time.
double MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                        (static_cast<uint64_t>(ts.tv_nsec) + 500000u) / 1000000u;
    return static_cast<double>(ms);
}

}  // namespace

CAbstractUserModule::CAbstractUserModule()
    : m_dStartTime(0.0),
      m_u64ProcessTimeUs(0),
      m_fnMsgCallback(nullptr),
      m_pMsgCallbackUser(nullptr) {}

CAbstractUserModule::~CAbstractUserModule() = default;

int CAbstractUserModule::UpAllParam(bool) {
    return 0;
}

// The framework's modules have no two-dimensional parameters: counts are 0,
// element access is not supported.
int CAbstractUserModule::Get2DimParamNum(int) {
    return 0;
}
int CAbstractUserModule::Set2DimParamNum(int, int) {
    return ALGO_E_NOT_SUPPORTED;
}
int CAbstractUserModule::Add2DimParam(int, int) {
    return ALGO_E_NOT_SUPPORTED;
}
int CAbstractUserModule::Del2DimParam(int, int) {
    return ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::GetSingle2DimParam(int, int, PARAM_VALUE_INFO* info) {
    return info == nullptr ? ALGO_E_INVALID_ARG : ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::Get2DimParam(const char* key, int, char* buffer, int, int* length) {
    if (key == nullptr || buffer == nullptr || length == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    return ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::Set2DimParam(const char* key, int, const char* value, int) {
    if (key == nullptr || value == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    return ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::GetAll2DimParam(PARAM_2DIM_VALUE_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    return 0;
}

int CAbstractUserModule::GetSubParamHeadPub(cJSON** json) {
    if (json == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    *json = nullptr;
    return 0;
}

int CAbstractUserModule::GetSubParamHeadSub(cJSON** json) {
    if (json == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    *json = nullptr;
    return 0;
}

int CAbstractUserModule::GetDynamicSubScribeParamNum() {
    return 0;
}

int CAbstractUserModule::GetDynamicSingleSubScribeParam(int, DYNAMIC_SUBSCRIBE_PARAM* param) {
    return param == nullptr ? ALGO_E_INVALID_ARG : ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::GetDynamicPublishParamNum() {
    return 0;
}

int CAbstractUserModule::GetDynamicSinglePublishParam(int, DYNAMIC_PUBLISH_PARAM* param) {
    return param == nullptr ? ALGO_E_INVALID_ARG : ALGO_E_NOT_SUPPORTED;
}

int CAbstractUserModule::SetMsgCallback(int (*callback)(int, void*, void*, void*), void* user) {
    m_fnMsgCallback = callback;
    m_pMsgCallbackUser = user;
    return 0;
}

int CAbstractUserModule::AlgoPlayReady() {
    return 0;
}

// 1: the host may dlclose the module after destroying it. A module whose
// threads could outlive its destructor would answer 0.
int CAbstractUserModule::AlgoNeedDLClose() {
    return 1;
}

int CAbstractUserModule::UpdateDsImgAddr(void*) {
    return 0;
}

void CAbstractUserModule::UpProcessTime() {
    // Start and end use the same rounded clock, so a frame shorter than the
    // rounding step may come out as -0.5..0 ms: reported as 0.
    const double elapsedMs = std::max(0.0, MonotonicMs() - m_dStartTime);
    m_u64ProcessTimeUs = static_cast<uint64_t>(elapsedMs * 1000.0);

    RunningStats& s = m_stRunning;
    const uint64_t requested = s.nResetsRequested.load(std::memory_order_acquire);
    uint64_t count = s.nProcessCount.load(std::memory_order_relaxed);
    double maxMs = s.dMaxProcessMs.load(std::memory_order_relaxed);
    double totalMs = s.dTotalProcessMs.load(std::memory_order_relaxed);
    if (s.nResetsApplied.load(std::memory_order_relaxed) != requested) {
        count = 0;
        maxMs = 0.0;
        totalMs = 0.0;
    }
    const uint64_t seq = s.nSeq.load(std::memory_order_relaxed);
    s.nSeq.store(seq + 1, std::memory_order_relaxed);
    // Release stores (plain stores on the usual processors): a reader that
    // sees one of them also sees the odd count and tries again.
    s.nResetsApplied.store(requested, std::memory_order_release);
    s.nProcessCount.store(count + 1, std::memory_order_release);
    s.dLastProcessMs.store(elapsedMs, std::memory_order_release);
    s.dMaxProcessMs.store(std::max(maxMs, elapsedMs), std::memory_order_release);
    s.dTotalProcessMs.store(totalMs + elapsedMs, std::memory_order_release);
    s.nSeq.store(seq + 2, std::memory_order_release);
}

MODULE_RUNNING_INFO CAbstractUserModule::ReadRunningInfo() const {
    const RunningStats& s = m_stRunning;
    for (;;) {
        const uint64_t seq = s.nSeq.load(std::memory_order_acquire);
        if ((seq & 1u) != 0) {
            std::this_thread::yield();  // an update is under way: a few stores
            continue;
        }
        // Acquire loads keep the second look at the count after them.
        MODULE_RUNNING_INFO info{};
        info.nProcessCount = s.nProcessCount.load(std::memory_order_acquire);
        info.dLastProcessMs = s.dLastProcessMs.load(std::memory_order_acquire);
        info.dMaxProcessMs = s.dMaxProcessMs.load(std::memory_order_acquire);
        info.dTotalProcessMs = s.dTotalProcessMs.load(std::memory_order_acquire);
        const uint64_t applied = s.nResetsApplied.load(std::memory_order_acquire);
        if (s.nSeq.load(std::memory_order_relaxed) != seq) {
            continue;
        }
        // A reset asked for and not yet carried out reads as done.
        return applied == s.nResetsRequested.load(std::memory_order_acquire)
                   ? info
                   : MODULE_RUNNING_INFO{};
    }
}

void CAbstractUserModule::RequestRunningInfoReset() {
    m_stRunning.nResetsRequested.fetch_add(1, std::memory_order_acq_rel);
}
