// A module for udptrans-host's tests whose start or frame processing throws,
// as the real module lets exceptions of the framework's store and of the
// application's components pass through. UDPTRANS_TEST_THROW=setpwd makes the
// start throw; otherwise every frame's Process throws, a std::exception and
// something else in turn. It exports the logging functions the host resolves,
// as stubs.
//
// Threads: the host's threads, one call at a time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "algo/Algo.h"

namespace {

class ThrowingModule : public CAlgo {
public:
    ThrowingModule() {
        std::snprintf(m_szModuleName, sizeof(m_szModuleName), "%s", "udptrans");
        SetDescriptionPath(UDPTRANS_PDESC);
    }
    int Process(void*, void*) override {
        if (++m_nFrames % 2 == 0) {
            throw 42;  // not a std::exception
        }
        throw std::runtime_error("component \x1b[2Jgone");
    }
    int SetPwd(const char* pwd) override {
        const char* mode = std::getenv("UDPTRANS_TEST_THROW");
        if (mode != nullptr && std::strcmp(mode, "setpwd") == 0) {
            throw std::runtime_error("store unreadable");
        }
        m_strPwd = pwd;
        return Init();
    }
    int SetProcedureName(const char*) override { return 0; }
    // Its parameters are refused: the host falls back to the store's values.
    int GetParam(const char*, char*, int, int*) override { return -1; }
    int SetParam(const char*, const char*, int) override { return -1; }
    int UpSingleParam(const char*, bool) override { return 0; }
    void UpdatePwdPrivate(const char*) override {}
    int InitAlgoPrivate() override { return 0; }

private:
    int m_nFrames = 0;
};

using LogCallback = int (*)(int, int, int, const char*, int);

}  // namespace

extern "C" {
__attribute__((visibility("default"))) CAbstractUserModule* CreateModule() {
    return new ThrowingModule();
}
__attribute__((visibility("default"))) void DestroyModule(void*, void* module) {
    delete static_cast<CAbstractUserModule*>(module);
}
__attribute__((visibility("default"))) int log_prt_init(int, int,
                                                        int (*)(const char*, void* (*)(void*))) {
    return 0;
}
__attribute__((visibility("default"))) void log_set_priority(int, int) {}
__attribute__((visibility("default"))) void log_set_mode(int) {}
__attribute__((visibility("default"))) unsigned int log_get_loss_cnt() {
    return 0;
}
__attribute__((visibility("default"))) void log_set_callbacker(int, LogCallback) {}
}
