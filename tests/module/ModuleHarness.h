// A small host for the module tests: loads libudptrans.so with dlopen the way
// the camera application does, drives the module only through the factory and
// the base class's virtual operations, and gives the tests what a host would
// have around it: a working folder with a parameter store, the application's
// components, frames, and UDP receivers on loopback.
//
// Threads: the test's own thread drives everything; the log capture is called
// on the module's threads and locks its own mutex.
#pragma once

#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FrameFactory.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "Threads.h"
#include "UdpPeer.h"
#include "Wait.h"
#include "LocalImageProcess.h"
#include "LocalTriggerSource.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"
#include "algo/ComObjectPool.h"
#include "algo/FrameData.h"
#include "algo/ParamManage.h"

namespace ut {

constexpr int kNoData = static_cast<int>(0xC0000004u);
constexpr int kInvalidArg = static_cast<int>(0xE0000001u);
constexpr int kModuleId = 17;

inline std::string SoPath() {
    return UDPTRANS_SO_PATH;
}
inline std::string PdescPath() {
    return std::filesystem::path(SoPath()).parent_path().string() + "/udptrans.pdesc";
}

using ts::Datagram;
using ts::PortIsFree;
using ts::TempDir;
using ts::ThreadCount;
using ts::UdpPeer;
using ts::WaitFor;

inline std::string StorePath(const TempDir& dir) {
    return dir.Path() + "/udptrans.param";
}

// Writes values into the store file of `dir` the way the framework keeps it,
// starting from what is there (or the defaults).
inline void WriteStore(const TempDir& dir,
                       const std::vector<std::pair<std::string, std::string>>& values) {
    CParamManage store;
    ASSERT_EQ(0, store.LoadDescription(PdescPath()));
    ASSERT_EQ(0, store.LoadFile(StorePath(dir)));
    for (const auto& kv : values) {
        ASSERT_EQ(0, store.SetParam(kv.first.c_str(), kv.second.c_str(), 0)) << kv.first;
    }
    ASSERT_EQ(0, store.SaveFile());
}

// The text the store file holds for `key`, as a fresh framework would load it.
inline std::string ReadStore(const TempDir& dir, const std::string& key) {
    CParamManage store;
    if (store.LoadDescription(PdescPath()) != 0 || store.LoadFile(StorePath(dir)) != 0) {
        return "<no store>";
    }
    return store.GetParam(key, 0);
}

// libudptrans.so as a host sees it.
class Library {
public:
    using CreateFn = CAbstractUserModule* (*)();
    using DestroyFn = void (*)(void*, void*);
    using PriorityFn = void (*)(int, int);

    bool Open() {
        m_handle = dlopen(SoPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return false;
        }
        create = reinterpret_cast<CreateFn>(dlsym(m_handle, "CreateModule"));
        destroy = reinterpret_cast<DestroyFn>(dlsym(m_handle, "DestroyModule"));
        priority = reinterpret_cast<PriorityFn>(dlsym(m_handle, "log_set_priority"));
        m_callbacker =
            reinterpret_cast<ts::LogCapture::Callbacker>(dlsym(m_handle, "log_set_callbacker"));
        if (create == nullptr || destroy == nullptr || priority == nullptr ||
            m_callbacker == nullptr) {
            ADD_FAILURE() << "factory or log functions not exported";
            return false;
        }
        // Silent output, every line to the capture.
        priority(-1, 8);
        Capture(true);
        return true;
    }
    // Lines go to the capture (true) or nowhere (false).
    void Capture(bool on) { ts::LogCapture::Get().Install(m_callbacker, on ? 3 : -1); }
    void Close() {
        if (m_handle != nullptr) {
            // No reply callback of the module may outlive its code.
            EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
            EXPECT_EQ(0, dlclose(m_handle));
            m_handle = nullptr;
        }
    }

    // Any other exported function, by name (null when it is not exported).
    template <typename Fn>
    Fn Sym(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(m_handle, name));
    }

    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    PriorityFn priority = nullptr;  // log_set_priority: thresholds of direct output

private:
    void* m_handle = nullptr;
    ts::LogCapture::Callbacker m_callbacker = nullptr;
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

// The application's components, registered for the test's lifetime. The test
// keeps its own references so that unregistering never frees a component a
// module task may be calling.
class Components {
public:
    Components()
        : trigger(std::make_shared<zerran_app::CLocalTriggerSource>()),
          image(std::make_shared<zerran_app::CLocalImageProcess>()) {
        RegisterTrigger();
        RegisterImage();
    }
    ~Components() {
        UnregisterTrigger();
        UnregisterImage();
    }
    void RegisterTrigger() {
        Pool().registerComponent(zerran_app::ITriggerSource::kComponentName, trigger);
    }
    void RegisterImage() {
        Pool().registerComponent(zerran_app::IImageProcess::kComponentName, image);
    }
    void UnregisterTrigger() {
        Pool().unregisterComponent(zerran_app::ITriggerSource::kComponentName);
    }
    void UnregisterImage() {
        Pool().unregisterComponent(zerran_app::IImageProcess::kComponentName);
    }

    std::shared_ptr<zerran_app::CLocalTriggerSource> trigger;
    std::shared_ptr<zerran_app::CLocalImageProcess> image;

private:
    static Infra::Component::CComObjectPool& Pool() {
        return Infra::Component::CComObjectPool::getInstance();
    }
};

// The usual setting of a test: free host ports, a message and a heartbeat
// receiver as targets, everything else from the description's defaults.
struct Endpoints {
    UdpPeer msg;
    UdpPeer hb;
    uint16_t hostPort = 0;
    uint16_t hostHbPort = 0;

    Endpoints() {
        // Both held at once, so that the two are different.
        UdpPeer a(INADDR_ANY);
        UdpPeer b(INADDR_ANY);
        hostPort = a.Port();
        hostHbPort = b.Port();
    }
    std::vector<std::pair<std::string, std::string>> StoreValues() const {
        return {{"HostPort", std::to_string(hostPort)},
                {"HostHeartbeatPort", std::to_string(hostHbPort)},
                {"TargetIp", "127.0.0.1"},
                {"TargetPort", std::to_string(msg.Port())},
                {"TargetHeartbeatIp", "127.0.0.1"},
                {"TargetHeartbeatPort", std::to_string(hb.Port())},
                {"AlgoEnable", "1"},
                {"HeartbeatTranMode", "0"},
                {"ScheduledTransEnable", "0"},
                {"ScheduledTransTime", "0"}};
    }
};

// A test with the library open, the components registered, a store folder
// and two receivers as targets; the module itself is started by the test.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The proxy's worker thread exists from its first use: start it now so
        // that thread counts compare like with like.
        CCommProxy::getInstance();
        ASSERT_TRUE(m_lib.Open());
        ts::LogCapture::Get().Clear();
    }
    void TearDown() override {
        CCommProxy::getInstance().SetCommandHandler(nullptr);
        CCommProxy::getInstance().SetQueueLimit(CCommProxy::kDefaultQueueLimit);
        Destroy();
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
    // Writes `values` into the store, creates the module and starts it. An
    // exception from the start (the store cannot give a key) reaches the test
    // as it reaches a host; TearDown still destroys the module, as a host must.
    int Start(const std::vector<std::pair<std::string, std::string>>& values) {
        WriteStore(m_dir, values);
        Create();
        return m_module->SetPwd(m_dir.Path().c_str());
    }
    int Start() { return Start(m_ep.StoreValues()); }

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
    static int Logged(const std::string& needle) { return ts::LogCapture::Get().Count(needle); }

    // Hands frames carrying `payload` to the module until one reaches `rx`
    // (a redirect or a re-created socket takes a task pass or two). Returns
    // everything that arrived there, in order; the last one is the payload.
    std::vector<Datagram> SendUntilArrives(UdpPeer& rx, const std::string& payload) {
        std::vector<Datagram> seen;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            ++m_frameCount;
            Frame frame(m_frameCount, m_frameCount, Bytes(payload));
            EXPECT_EQ(0, Process(frame));
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
    Components m_comps;
    Endpoints m_ep;
    CAbstractUserModule* m_module = nullptr;
    int m_frameCount = 0;
    uint16_t m_lastFromPort = 0;  // source port of the last payload SendUntilArrives saw
};

}  // namespace ut
