// A small host for the module tests: loads libudptrans.so with dlopen the way
// the camera application does, drives the module only through the factory and
// the base class's virtual operations, and gives the tests what a host would
// have around it: a working folder with a parameter store, the application's
// components, frames, and UDP receivers on loopback.
//
// Threads: the test's own thread drives everything; the log capture is called
// on the module's threads and locks its own mutex.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FrameFactory.h"
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

// Polls `pred` every 5 ms for up to `ms`.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

inline int ThreadCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// True when a UDP socket can bind `port` on all interfaces right now.
inline bool PortIsFree(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

// A UDP socket on all interfaces at a port the kernel picked; held until
// Release so that several free ports can be collected at once.
class PortHolder {
public:
    PortHolder() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~PortHolder() { Release(); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    uint16_t Port() const { return m_port; }
    void Release() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

struct Datagram {
    std::string data;
    uint16_t fromPort = 0;
};

// A UDP receiver on 127.0.0.1 at a kernel-chosen port.
class Receiver {
public:
    Receiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~Receiver() { close(m_fd); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    uint16_t Port() const { return m_port; }

    std::optional<Datagram> Recv(int timeoutMs = 5000) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        char buf[4096];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const ssize_t n =
            recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        return Datagram{std::string(buf, static_cast<size_t>(n)), ntohs(from.sin_port)};
    }

    // Drops whatever is waiting.
    void Drain() {
        while (Recv(0)) {
        }
    }

    // Everything that arrives within `ms`.
    std::vector<Datagram> Collect(int ms) {
        std::vector<Datagram> all;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                break;
            }
            auto d = Recv(static_cast<int>(left));
            if (d) {
                all.push_back(*d);
            }
        }
        return all;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A temporary working folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/udptrans_module_XXXXXX";
        const char* made = mkdtemp(tmpl);
        m_path = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string StorePath() const { return m_path + "/udptrans.param"; }

private:
    std::string m_path;
};

// Writes values into the store file of `dir` the way the framework keeps it,
// starting from what is there (or the defaults).
inline void WriteStore(const TempDir& dir,
                       const std::vector<std::pair<std::string, std::string>>& values) {
    CParamManage store;
    ASSERT_EQ(0, store.LoadDescription(PdescPath()));
    ASSERT_EQ(0, store.LoadFile(dir.StorePath()));
    for (const auto& kv : values) {
        ASSERT_EQ(0, store.SetParam(kv.first.c_str(), kv.second.c_str(), 0)) << kv.first;
    }
    ASSERT_EQ(0, store.SaveFile());
}

// The text the store file holds for `key`, as a fresh framework would load it.
inline std::string ReadStore(const TempDir& dir, const std::string& key) {
    CParamManage store;
    if (store.LoadDescription(PdescPath()) != 0 || store.LoadFile(dir.StorePath()) != 0) {
        return "<no store>";
    }
    return store.GetParam(key, 0);
}

// Log lines of the module, caught through the library's callback while its
// output stays silent.
class LogCapture {
public:
    static LogCapture& Get() {
        static LogCapture capture;
        return capture;
    }
    static int Callback(int /*id*/, int /*level*/, int /*flag*/, const char* line, int length) {
        LogCapture& self = Get();
        std::lock_guard<std::mutex> guard(self.m_mtx);
        self.m_lines.emplace_back(line, static_cast<size_t>(length));
        return 0;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_lines.clear();
    }
    int Count(const std::string& needle) {
        std::lock_guard<std::mutex> guard(m_mtx);
        int n = 0;
        for (const auto& line : m_lines) {
            if (line.find(needle) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }

private:
    std::mutex m_mtx;  // guards m_lines
    std::vector<std::string> m_lines;
};

// libudptrans.so as a host sees it.
class Library {
public:
    using CreateFn = CAbstractUserModule* (*)();
    using DestroyFn = void (*)(void*, void*);
    using PriorityFn = void (*)(int, int);
    using CallbackerFn = void (*)(int, int (*)(int, int, int, const char*, int));

    bool Open() {
        m_handle = dlopen(SoPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return false;
        }
        create = reinterpret_cast<CreateFn>(dlsym(m_handle, "CreateModule"));
        destroy = reinterpret_cast<DestroyFn>(dlsym(m_handle, "DestroyModule"));
        auto priority = reinterpret_cast<PriorityFn>(dlsym(m_handle, "log_set_priority"));
        auto callbacker = reinterpret_cast<CallbackerFn>(dlsym(m_handle, "log_set_callbacker"));
        if (create == nullptr || destroy == nullptr || priority == nullptr ||
            callbacker == nullptr) {
            ADD_FAILURE() << "factory or log functions not exported";
            return false;
        }
        // Silent output, every line to the capture.
        priority(-1, 8);
        callbacker(3, &LogCapture::Callback);
        return true;
    }
    // Lines go to the capture (true) or nowhere (false).
    void Capture(bool on) {
        auto callbacker = reinterpret_cast<CallbackerFn>(dlsym(m_handle, "log_set_callbacker"));
        callbacker(on ? 3 : 8, on ? &LogCapture::Callback : nullptr);
    }
    void Close() {
        if (m_handle != nullptr) {
            // No reply callback of the module may outlive its code.
            EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
            EXPECT_EQ(0, dlclose(m_handle));
            m_handle = nullptr;
        }
    }

    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;

private:
    void* m_handle = nullptr;
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
    Receiver msg;
    Receiver hb;
    uint16_t hostPort = 0;
    uint16_t hostHbPort = 0;

    Endpoints() {
        PortHolder a;
        PortHolder b;
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

}  // namespace ut
