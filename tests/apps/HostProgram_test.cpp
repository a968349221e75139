// udptrans-host end to end: the built program runs as a child process with a
// temporary parameter store and ports that the kernel picked, and the test
// watches the real datagrams on loopback.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TempDir.h"
#include "UdpPeer.h"

namespace {

constexpr int kExitRefused = 2;

using ts::Datagram;
using ts::FreePort;
using UdpSocket = ts::UdpPeer;

// The program as a child process, its output in files of the test's folder.
class HostRun : public ts::ChildProcess {
public:
    HostRun(const std::string& dir, const std::vector<std::string>& args)
        : HostRun(args, dir + "/run." + std::to_string(++s_nRun)) {}
    std::string Out() const { return ts::ReadFile(m_base + ".stdout"); }
    std::string Err() const { return ts::ReadFile(m_base + ".stderr"); }

private:
    HostRun(std::vector<std::string> args, const std::string& base)
        : ChildProcess(Argv(std::move(args)), base + ".stdout", base + ".stderr"), m_base(base) {}
    static std::vector<std::string> Argv(std::vector<std::string> args) {
        args.insert(args.begin(), UDPTRANS_HOST_PATH);
        return args;
    }

    static inline int s_nRun = 0;
    std::string m_base;
};

// Datagrams at `socket` until the run has ended and a quiet moment has passed.
std::vector<Datagram> CollectUntilExit(UdpSocket& socket, HostRun& run, int timeoutMs = 60000) {
    std::vector<Datagram> all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const bool exited = run.Exited();
        auto datagram = socket.Recv(exited ? 200 : 20);
        if (datagram) {
            all.push_back(*datagram);
        } else if (exited) {
            break;
        }
    }
    return all;
}

// A store with the module's ports chosen by the test, so that no run of the
// program ever touches the default ports. Heartbeats are off unless a test
// wants them.
struct Ports {
    uint16_t host = FreePort();
    uint16_t hostHb = FreePort();
};

class HostProgramTest : public ::testing::Test {
protected:
    void SetUp() override { SeedStore(); }

    std::string Store() const { return m_dir.Path() + "/store"; }
    std::string StoreFile() const { return Store() + "/udptrans.param"; }

    void SeedStore() {
        std::filesystem::create_directories(Store());
        std::ofstream file(StoreFile());
        file << "HostPort=" << m_ports.host << "\n"
             << "HostHeartbeatPort=" << m_ports.hostHb << "\n"
             << "TargetIp=127.0.0.1\n"
             << "TargetPort=" << m_target.Port() << "\n"
             << "TargetHeartbeatIp=127.0.0.1\n"
             << "TargetHeartbeatPort=" << m_targetHb.Port() << "\n"
             << "HeartbeatTranMode=0\n";
    }

    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> args = {"--store",   Store(),      "--no-listen",
                                         "--no-ping", "--duration", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // The value of `key` in the store file, as the framework wrote it.
    std::string StoredValue(const std::string& key) const {
        std::ifstream file(StoreFile());
        std::string line;
        while (std::getline(file, line)) {
            if (line.rfind(key + "=", 0) == 0) {
                return line.substr(key.size() + 1);
            }
        }
        return {};
    }

    ts::TempDir m_dir;
    Ports m_ports;
    UdpSocket m_target;
    UdpSocket m_targetHb;
};

TEST_F(HostProgramTest, EveryFrameArrivesWithExactlyItsBytesFromTheHostPort) {
    // Binary bytes, zeros included, go out as they are.
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes += static_cast<char>((i * 37) & 0xff);
    }
    const std::string payloadFile = m_dir.Path() + "/payload.bin";
    std::ofstream(payloadFile, std::ios::binary) << bytes;
    {
        HostRun run(m_dir.Path(),
                    Args({"--frames", "4", "--fps", "20", "--payload-file", payloadFile}));
        ASSERT_TRUE(run.Started());
        const auto got = CollectUntilExit(m_target, run);
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        ASSERT_EQ(got.size(), 4u) << run.Out();
        for (const auto& datagram : got) {
            EXPECT_EQ(datagram.bytes, bytes);
            EXPECT_EQ(datagram.fromPort, m_ports.host);
        }
        EXPECT_NE(run.Out().find("4 frame(s) handed over, 4 published with status 1"),
                  std::string::npos)
            << run.Out();
    }
    // Text payloads carry the counters, in frame order.
    {
        HostRun run(m_dir.Path(),
                    Args({"--frames", "3", "--fps", "20", "--payload", "f={frame} t={trigger}"}));
        ASSERT_TRUE(run.Started());
        const auto got = CollectUntilExit(m_target, run);
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        ASSERT_EQ(got.size(), 3u) << run.Out();
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].bytes, "f=" + std::to_string(i + 1) + " t=0");
            EXPECT_EQ(got[i].fromPort, m_ports.host);
        }
    }
    EXPECT_FALSE(m_targetHb.Recv(0)) << "heartbeats are off";
}

TEST_F(HostProgramTest, ParameterSetInOneRunIsInForceInTheNext) {
    UdpSocket second;
    const std::string newTarget = "TargetPort=" + std::to_string(second.Port());
    {
        HostRun run(m_dir.Path(), Args({"--frames", "0", "--set", newTarget}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    }
    EXPECT_EQ(StoredValue("TargetPort"), std::to_string(second.Port()));
    {
        HostRun run(m_dir.Path(), Args({"--frames", "2", "--fps", "20", "--payload", "x"}));
        const auto got = CollectUntilExit(second, run);
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        EXPECT_EQ(got.size(), 2u);
    }
    EXPECT_FALSE(m_target.Recv(0)) << "nothing goes to the old target";
}

TEST_F(HostProgramTest, TakenHostPortMovesToTheNextFreeOneAndIsStored) {
    // The port that the store names is held by another socket for the whole
    // run; the one above it is free (checked, then released).
    std::optional<UdpSocket> held;
    uint16_t heldPort = 0;
    for (int attempt = 0; attempt < 50 && heldPort == 0; ++attempt) {
        held.emplace();
        if (held->Port() < 65535 && ts::PortIsFree(static_cast<uint16_t>(held->Port() + 1))) {
            heldPort = held->Port();
        }
    }
    ASSERT_NE(heldPort, 0);
    m_ports.host = heldPort;
    if (m_ports.hostHb == heldPort + 1) {
        m_ports.hostHb = FreePort();
    }
    SeedStore();

    HostRun run(m_dir.Path(), Args({"--frames", "2", "--fps", "20", "--payload", "moved"}));
    const auto got = CollectUntilExit(m_target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    ASSERT_EQ(got.size(), 2u) << run.Out();
    EXPECT_NE(got[0].fromPort, heldPort);
    EXPECT_EQ(got[0].fromPort, heldPort + 1);
    EXPECT_EQ(got[1].fromPort, got[0].fromPort);
    EXPECT_EQ(StoredValue("HostPort"), std::to_string(got[0].fromPort));
}

TEST_F(HostProgramTest, RefusedValueEndsWithStatus2AndLeavesTheStoreAlone) {
    {
        HostRun run(m_dir.Path(), Args({"--frames", "0"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    }
    const std::string before = ts::ReadFile(StoreFile());
    ASSERT_FALSE(before.empty());

    HostRun run(m_dir.Path(), Args({"--frames", "3", "--set", "TargetPort=70000"}));
    EXPECT_EQ(run.Wait(), kExitRefused) << run.Out() << run.Err();
    const std::string err = run.Err();
    EXPECT_NE(err.find("TargetPort"), std::string::npos) << err;
    EXPECT_NE(err.find("70000"), std::string::npos) << err;
    EXPECT_NE(err.find("0xE0000102"), std::string::npos) << err;
    EXPECT_EQ(ts::ReadFile(StoreFile()), before);
    EXPECT_FALSE(m_target.Recv(300)) << "no frame after a refused value";
}

TEST_F(HostProgramTest, CommandsAreAnsweredAtTheTarget) {
    UdpSocket client;
    HostRun run(m_dir.Path(), Args({"--frames", "0", "--duration", "60"}));
    ASSERT_TRUE(run.Started());

    // Datagrams before the module has bound its port are lost: ask until the
    // first answer comes.
    std::optional<Datagram> pong;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pong && std::chrono::steady_clock::now() < end && !run.Exited()) {
        client.SendTo(m_ports.host, "PING");
        pong = m_target.Recv(200);
    }
    ASSERT_TRUE(pong) << run.Out() << run.Err();
    EXPECT_EQ(pong->bytes, "PONG");
    EXPECT_EQ(pong->fromPort, m_ports.host);
    while (m_target.Recv(200)) {
    }

    auto ask = [&](const std::string& command) {
        client.SendTo(m_ports.host, command);
        auto answer = m_target.Recv(10000);
        return answer ? answer->bytes : std::string("<no answer>");
    };
    EXPECT_EQ(ask("GET TargetPort"), "TargetPort=" + std::to_string(m_target.Port()));
    EXPECT_EQ(ask("PING\r\n"), "PONG");
    EXPECT_EQ(ask("SET AlgoEnable 0").rfind("ERR", 0), 0u) << "remote SET is off by default";
    EXPECT_EQ(StoredValue("AlgoEnable"), "1");
    EXPECT_EQ(ask("TRIGGER"), "TRIGGER 1");
    EXPECT_EQ(ask("what").rfind("ERR", 0), 0u);

    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_NE(run.Out().find("SIGTERM received"), std::string::npos) << run.Out();
    EXPECT_NE(run.Out().find("summary:"), std::string::npos) << run.Out();
}

TEST_F(HostProgramTest, SlowProcessingWithScheduledTransmissionAnswersNgPerTrigger) {
    // Each result reaches Process 600 ms after its trigger, long after its
    // 50 ms slot: the slot gets "NG", the late result is dropped.
    HostRun run(m_dir.Path(),
                Args({"--trigger", "soft", "--frames", "3", "--fps", "1", "--process-ms", "600",
                      "--set", "ScheduledTransEnable=1", "--set", "ScheduledTransTime=50",
                      "--payload", "late {trigger}"}));
    const auto got = CollectUntilExit(m_target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    std::vector<std::string> texts;
    for (const auto& datagram : got) {
        texts.push_back(datagram.bytes);
    }
    EXPECT_EQ(texts, std::vector<std::string>(3, "NG")) << run.Out();
    EXPECT_NE(run.Out().find("3 frame(s) handed over, 0 published with status 1, 0 with status 0, "
                             "3 refused (0xC0000004: 3)"),
              std::string::npos)
        << run.Out();
}

TEST_F(HostProgramTest, RingLogModeWritesTheModuleLinesAndEndsCleanly) {
    // The drain thread runs the module's code until the process ends: the
    // program must neither unload the module under it nor hang on it.
    HostRun run(m_dir.Path(),
                Args({"--frames", "2", "--fps", "20", "--log-mode", "ring", "--log-level", "4"}));
    const auto got = CollectUntilExit(m_target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_EQ(got.size(), 2u);
    const std::string out = run.Out();
    EXPECT_NE(out.find("udptrans Process start"), std::string::npos) << out;
    EXPECT_NE(out.find("udptrans Process end"), std::string::npos) << out;
}

}  // namespace
