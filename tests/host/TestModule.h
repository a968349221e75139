// A module as small as CAlgo allows, recording what the framework does to it:
// the test double of the host stand-in's tests.
//
// Threads: the test's thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "ArrivalStamp.h"
#include "algo/Algo.h"

class TestModule : public CAlgo {
public:
    // `description` null: the framework looks for "<name>.pdesc" beside the module.
    explicit TestModule(const char* name, const char* description = nullptr) {
        std::snprintf(m_szModuleName, sizeof(m_szModuleName), "%s", name);
        if (description != nullptr) {
            SetDescriptionPath(description);
        }
    }
    int Process(void*, void*) override { return 0; }
    int SetPwd(const char* pwd) override {
        m_strPwd = pwd;
        return Init();
    }
    int SetProcedureName(const char*) override { return 0; }
    int GetParam(const char*, char*, int, int*) override { return 0; }
    int SetParam(const char*, const char*, int) override { return 0; }
    int UpSingleParam(const char*, bool) override { return 0; }
    void UpdatePwdPrivate(const char* pwd) override { updatedPwd = pwd; }
    int InitAlgoPrivate() override {
        ++initCalls;
        // The store must be ready when the module's hook runs.
        storeSeen = m_pParamManage ? m_pParamManage->StorePath() : "";
        portSeen = m_pParamManage ? m_pParamManage->GetParam("HostPort", 0) : "";
        return initResult;
    }

    // A frame that started `agoMs` ago, on the clock modules take it from
    // (monotonic ms, rounded).
    void StartFrame(double agoMs) {
        m_dStartTime = static_cast<double>((ts::MonoNs() + 500000u) / 1000000u) - agoMs;
        m_u64ProcessTimeUs = 0;
    }
    uint64_t ProcessTimeUs() const { return m_u64ProcessTimeUs; }

    int initCalls = 0;
    int initResult = 0;
    std::string storeSeen;
    std::string portSeen;
    std::string updatedPwd;
};
