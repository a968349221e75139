// The module tests' and hardening tests' small host: loads libudptrans.so
// through ModuleLoader the way the camera application does, drives the module
// only through the factory and the base class's virtual operations, and gives
// the tests what a host would have around it: a working folder with a
// parameter store, the application's components, frames, and UDP receivers on
// loopback. The module's log stays silent (threshold 8) unless a test reads
// its lines (ReadLog).
//
// Threads: the test's own thread drives everything; the log capture is called
// on the module's threads and locks its own mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FrameFactory.h"
#include "HostedModule.h"
#include "LogCapture.h"
#include "ModuleLoader.h"
#include "TempDir.h"
#include "Threads.h"
#include "UdpPeer.h"
#include "Wait.h"
#include "AppRegistry.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"
#include "algo/ComObjectPool.h"
#include "algo/ParamManage.h"
#include "udptrans/udptrans_host.h"

namespace ts {

// The header's codes, which the module tests hold its answers to.
constexpr int kNoData = UDPTRANS_E_NO_DATA;
constexpr int kInvalidArg = UDPTRANS_E_INVALID_ARG;
constexpr int kModuleId = 17;

inline std::string StorePath(const TempDir& dir) {
    return dir.Path() + "/udptrans.param";
}

// Writes values into the store file of `dir` the way the framework keeps it,
// starting from what is there (or the defaults).
inline void WriteStore(const TempDir& dir, const StoreValues& values) {
    ASSERT_EQ("", WriteStoreFile(StorePath(dir), values));
}

// The text the store file holds for `key`, as a fresh framework would load it.
inline std::string ReadStore(const TempDir& dir, const std::string& key) {
    CParamManage store;
    if (store.LoadDescription(DescriptionPath()) != 0 || store.LoadFile(StorePath(dir)) != 0) {
        return "<no store>";
    }
    return store.GetParam(key, 0);
}

// The loader with GoogleTest's failure reports, silent by default.
class Library : public ModuleLoader {
public:
    bool Open() {
        if (!Load()) {
            ADD_FAILURE() << Error();
            return false;
        }
        priority(-1, 8);  // nothing on the test's stdout
        return true;
    }
    // Lines at Debug and above go to the capture (true) or nowhere (false).
    void Capture(bool on) {
        if (Loaded()) {
            LogCapture::Get().Install(callbacker, on ? 3 : -1);
        }
    }
    void Close() { EXPECT_TRUE(Unload()) << Error(); }
};

// Frames come from the host stand-in's builder.
using Frame = zerran_app::CFrame;

inline std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Nothing written into the frame's outputs.
inline bool OutputUntouched(const Frame& frame) {
    return frame.Status() == -1 && frame.ParamStatus().empty();
}

// The usual setting of a test: free host ports, a message and a heartbeat
// receiver as targets, everything else from the description's defaults.
struct Endpoints {
    UdpPeer msg;
    UdpPeer hb;
    uint16_t hostPort;
    uint16_t hostHbPort;

    // The module binds the host ports itself, after the test chose them.
    Endpoints() : hostPort(UnsharedPort()), hostHbPort(UnsharedPort()) {}
    StoreValues Values() const {
        return LoopbackStore(hostPort, hostHbPort, msg.Port(), hb.Port());
    }
};

// From now on the framework's proxy answers every request with `prefix`
// followed by the request's text (a test resets the handler when done).
inline void AnswerRequests(const std::string& prefix) {
    CCommProxy::getInstance().SetCommandHandler(
        [prefix](const CCommProxy::MessageInfo& request, std::string& reply) {
            reply = prefix + request.szMsg;
            return true;
        });
}

// A test with the library open, the components registered, a store folder
// and two receivers as targets; the module itself is started by the test.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The proxy's worker thread exists from its first use: start it now so
        // that thread counts compare like with like.
        CCommProxy::getInstance();
        ASSERT_TRUE(m_lib.Open());
        ASSERT_EQ(0, m_comps.Result());
        LogCapture::Get().Clear();
    }
    void TearDown() override {
        CCommProxy::getInstance().SetCommandHandler(nullptr);
        CCommProxy::getInstance().SetQueueLimit(CCommProxy::kDefaultQueueLimit);
        Destroy();
        m_lib.Capture(false);
        m_lib.Close();
    }

    CAbstractUserModule* Create() {
        m_module = m_lib.create();
        EXPECT_NE(nullptr, m_module);
        m_module->SetModuleId(kModuleId);
        return m_module;
    }
    void Destroy() {
        if (m_module != nullptr) {
            m_lib.destroy(nullptr, m_module);
            m_module = nullptr;
        }
    }
    // Writes the usual values and then `settings` into the store, creates the
    // module and starts it. An exception from the start (the store cannot
    // give a key) reaches the test as it reaches a host; TearDown still
    // destroys the module, as a host must.
    int Start(const StoreValues& settings = {}) {
        StoreValues values = m_ep.Values();
        values.insert(values.end(), settings.begin(), settings.end());
        WriteStore(m_dir, values);
        Create();
        return m_module->SetPwd(m_dir.Path().c_str());
    }
    // Triggered mode with scheduled transmission on; trigger `answered`,
    // stamped now, counts as answered from the start.
    int StartScheduled(int answered) {
        m_comps.Trigger().SetTriggerMode(1);
        m_comps.Trigger().SetTriggerCount(answered);
        m_comps.Trigger().SetImageTime(zerran_app::UpTimeMs());
        return Start({{"ScheduledTransEnable", "1"}});
    }
    // A host's next SetPwd on the module as it is: a re-start.
    int Restart() { return m_module->SetPwd(m_dir.Path().c_str()); }
    // The store file holds each of `settings` ("key=value").
    void ExpectStored(const std::vector<std::string>& settings) {
        for (const std::string& setting : settings) {
            const size_t eq = setting.find('=');
            EXPECT_EQ(setting.substr(eq + 1), ReadStore(m_dir, setting.substr(0, eq))) << setting;
        }
    }
    // Process answers `frame` with `code` and writes nothing into its outputs.
    ::testing::AssertionResult Refused(Frame& frame, int code = kNoData) {
        const int rc = Process(frame);
        const bool untouched = OutputUntouched(frame);
        return (rc == code && untouched ? ::testing::AssertionSuccess()
                                        : ::testing::AssertionFailure())
               << "Process gave " << rc << " (expected " << code << "), outputs "
               << (untouched ? "untouched" : "written");
    }

    std::string Get(const char* key) {
        char buf[256] = {0};
        int len = -1;
        EXPECT_EQ(0, m_module->GetParam(key, buf, sizeof(buf), &len)) << key;
        return buf;
    }
    int Set(const char* key, const std::string& value) {
        return m_module->SetParam(key, value.c_str(), static_cast<int>(value.size()));
    }
    int Process(Frame& frame) { return m_module->Process(frame.Input(), frame.Output()); }
    // The next frame in the test's count, carrying `payload`.
    int SendFrame(const std::string& payload) {
        ++m_frameCount;
        Frame frame(m_frameCount, m_frameCount, Bytes(payload));
        return Process(frame);
    }
    // For a test that reads the module's lines: from now on they are captured.
    void ReadLog() { m_lib.Capture(true); }
    static int Logged(const std::string& needle) { return LogCapture::Get().Count(needle); }

    // Hands frames carrying `payload` to the module until one reaches `rx`
    // (a redirect or a re-created socket takes a task pass or two). Returns
    // everything that arrived there, in order; the last one is the payload.
    std::vector<Datagram> SendUntilArrives(UdpPeer& rx, const std::string& payload) {
        std::vector<Datagram> seen;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            EXPECT_EQ(0, SendFrame(payload));
            for (auto d = rx.Recv(50); d; d = rx.Recv(0)) {
                seen.push_back(*d);
                if (d->bytes == payload) {
                    m_lastFromPort = d->fromPort;
                    return seen;
                }
            }
        }
        ADD_FAILURE() << "payload '" << payload << "' never arrived";
        return seen;
    }
    bool Arrives(UdpPeer& rx, const std::string& payload) {
        const std::vector<Datagram> seen = SendUntilArrives(rx, payload);
        return !seen.empty() && seen.back().bytes == payload;
    }

    Library m_lib;
    TempDir m_dir;
    // The application's components, registered for the test's lifetime and
    // owned by it, so that unregistering one never frees a component a
    // module task may be calling.
    zerran_app::CScopedComponents m_comps;
    Endpoints m_ep;
    CAbstractUserModule* m_module = nullptr;
    int m_frameCount = 0;
    uint16_t m_lastFromPort = 0;  // source port of the last payload SendUntilArrives saw
};

}  // namespace ts
