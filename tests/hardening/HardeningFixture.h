// A started module as the hardening tests need it: libudptrans.so loaded with
// dlopen, created through the factory and started on a store in a temporary
// folder, with receivers on loopback as its targets; plus the helpers that
// look at the process from outside (its descriptors, its memory, the engine's
// sockets found by their port).
//
// Threads: the test's own thread drives the module; the module's tasks and
// the proxy's thread run beside it and only reach the test through the log
// capture, which locks its own mutex.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ModuleHarness.h"

namespace hardening {

// Open descriptors of this process.
inline int OpenFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// Resident set of this process in bytes.
inline long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The descriptor of this process's UDP socket bound to `port`, or -1. This is
// how a test reaches the engine's socket without any accessor of the module.
inline int FindUdpSocketByPort(uint16_t port) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        int type = 0;
        socklen_t typeLen = sizeof(type);
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_DGRAM ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            addr.sin_family != AF_INET) {
            continue;
        }
        if (ntohs(addr.sin_port) == port && fd != dirfd(dir)) {
            found = fd;
        }
    }
    closedir(dir);
    return found;
}

// Sends `text` as one datagram to 127.0.0.1:`port` from a fresh socket.
inline void SendTo(uint16_t port, const std::string& text) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    close(fd);
}

class ModuleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CCommProxy::getInstance();
        ASSERT_TRUE(m_lib.Open());
        ut::LogCapture::Get().Clear();
    }
    void TearDown() override {
        CCommProxy::getInstance().SetCommandHandler(nullptr);
        CCommProxy::getInstance().SetQueueLimit(CCommProxy::kDefaultQueueLimit);
        Destroy();
        m_lib.Close();
    }

    void Destroy() {
        if (m_module != nullptr) {
            m_lib.destroy(nullptr, m_module);
            m_module = nullptr;
        }
    }
    int Start(const std::vector<std::pair<std::string, std::string>>& values) {
        ut::WriteStore(m_dir, values);
        m_module = m_lib.create();
        EXPECT_NE(nullptr, m_module);
        m_module->SetModuleId(ut::kModuleId);
        return m_module->SetPwd(m_dir.Path().c_str());
    }
    int Start() { return Start(m_ep.StoreValues()); }

    int Set(const char* key, const std::string& value) {
        return m_module->SetParam(key, value.c_str(), static_cast<int>(value.size()));
    }
    int Process(ut::Frame& frame) { return m_module->Process(frame.Input(), frame.Output()); }

    // Hands frames carrying `payload` to the module until one reaches `rx`.
    bool SendUntilArrives(ut::Receiver& rx, const std::string& payload, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            ++m_frameCount;
            ut::Frame frame(m_frameCount, m_frameCount, ut::Bytes(payload));
            EXPECT_EQ(0, Process(frame));
            for (auto d = rx.Recv(50); d; d = rx.Recv(0)) {
                if (d->data == payload) {
                    m_lastFromPort = d->fromPort;
                    return true;
                }
            }
        }
        return false;
    }

    static int Logged(const std::string& needle) { return ut::LogCapture::Get().Count(needle); }

    ut::Library m_lib;
    ut::TempDir m_dir;
    ut::Components m_comps;
    ut::Endpoints m_ep;
    CAbstractUserModule* m_module = nullptr;
    int m_frameCount = 0;
    uint16_t m_lastFromPort = 0;
};

}  // namespace hardening
