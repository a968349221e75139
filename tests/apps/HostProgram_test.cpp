// udptrans-host end to end: the built program runs as a child process with a
// temporary parameter store and ports that the kernel picked, and the test
// watches the real datagrams on loopback.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#if UDPTRANS_TEST_JSON
#include <nlohmann/json.hpp>
#endif

#include "ChildProcess.h"
#include "ProgramRun.h"
#include "TempDir.h"
#include "UdpPeer.h"
#include "Wait.h"
#include "udptrans/udptrans_version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;
constexpr int kExitUsage = 64;

using ts::Datagram;
using ts::FreePort;
using UdpSocket = ts::UdpPeer;

class HostRun : public ts::ProgramRun {
public:
    HostRun(const std::string& dir, std::vector<std::string> args)
        : ProgramRun(UDPTRANS_HOST_PATH, dir, std::move(args)) {}
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

    // Asks PING until the module answers at the target (datagrams before the
    // module has bound its port are lost), then drains the target.
    bool WaitUntilUp(HostRun& run, UdpSocket& client) {
        std::optional<Datagram> pong;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!pong && std::chrono::steady_clock::now() < end && !run.Exited()) {
            client.SendTo(m_ports.host, "PING");
            pong = m_target.RecvUntil("PONG", 200);
        }
        while (m_target.Recv(200)) {
        }
        return pong.has_value();
    }

    // Names in the store folder that start with `prefix`.
    std::vector<std::string> StoreEntries(const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Store())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }

    ts::TempDir m_dir;
    Ports m_ports;
    UdpSocket m_target;
    UdpSocket m_targetHb;
};

// True when `text` holds a byte that a terminal would act on.
bool HasControlBytes(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\n') || u == 0x7f;
    });
}

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
        EXPECT_NE(run.Out().find("4 frame(s) handed over, 4 queued by the module (status 1)"),
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
    // Said once, in words, not only as the module's log lines.
    const std::string err = run.Err();
    EXPECT_NE(
        err.find("warning: HostPort " + std::to_string(heldPort) +
                 " was taken by another socket; the module bound " + std::to_string(heldPort + 1)),
        std::string::npos)
        << err;
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
    EXPECT_NE(err.find("0xE0000102 (value refused by the parameter description"), std::string::npos)
        << err;
    EXPECT_EQ(ts::ReadFile(StoreFile()), before);
    EXPECT_FALSE(m_target.Recv(300)) << "no frame after a refused value";

    // Values that were once accepted and made every result fail.
    for (const char* bad : {"TargetPort=0", "TargetHeartbeatPort=0", "HostPort=0",
                            "HostHeartbeatPort=0", "TargetIp=0.0.0.0", "TargetHeartbeatIp=0"}) {
        HostRun refused(m_dir.Path(), Args({"--frames", "0", "--set", bad}));
        EXPECT_EQ(refused.Wait(), kExitRefused) << bad << refused.Out() << refused.Err();
        EXPECT_NE(refused.Err().find(std::string(bad) + " refused: 0xE0000102 ("),
                  std::string::npos)
            << refused.Err();
        EXPECT_EQ(ts::ReadFile(StoreFile()), before) << bad;
    }
}

TEST_F(HostProgramTest, CommandsAreAnsweredAtTheTargetAndNoiseIsNot) {
    UdpSocket client;
    HostRun run(m_dir.Path(), Args({"--frames", "0", "--duration", "60"}));
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(WaitUntilUp(run, client)) << run.Out() << run.Err();

    auto ask = [&](const std::string& command) {
        client.SendTo(m_ports.host, command);
        auto answer = m_target.Recv(10000);
        return answer ? answer->bytes : std::string("<no answer>");
    };
    EXPECT_EQ(ask("GET TargetPort"), "TargetPort=" + std::to_string(m_target.Port()));
    EXPECT_EQ(ask("PING\r\n"), "PONG");
    const std::string refused = ask("SET AlgoEnable 0");
    EXPECT_EQ(refused.rfind("ERR SET refused", 0), 0u) << "remote SET is off by default";
    EXPECT_EQ(StoredValue("AlgoEnable"), "1");
    EXPECT_EQ(ask("TRIGGER"), "TRIGGER 1");

    // Noise is not answered: the answers would go to the target, ahead of
    // the results. A flood of it, then a command: only the command's answer
    // arrives.
    constexpr int kNoise = 300;
    for (int i = 0; i < kNoise; ++i) {
        client.SendTo(m_ports.host, i % 2 == 0 ? "what" : std::string("\x01\x02junk", 6));
    }
    // The PING may be lost behind the flood (socket buffer, proxy queue):
    // asked again until it is answered. Whatever arrives is a PONG.
    bool pong = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pong && std::chrono::steady_clock::now() < end) {
        client.SendTo(m_ports.host, "PING");
        for (auto d = m_target.Recv(500); d; d = m_target.Recv(0)) {
            ASSERT_EQ(d->bytes, "PONG") << "something answered the noise";
            pong = true;
        }
    }
    EXPECT_TRUE(pong);
    for (auto d = m_target.Recv(300); d; d = m_target.Recv(300)) {
        EXPECT_EQ(d->bytes, "PONG") << "something answered the noise";
    }

    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 128 + SIGTERM) << run.Out() << run.Err();
    const std::string out = run.Out();
    EXPECT_NE(out.find("SIGTERM received"), std::string::npos) << out;
    // The proxy may have refused part of the flood (its queue is bounded);
    // what reached the handler is counted, never answered.
    const size_t at = out.find(" datagram(s) ignored (not commands)");
    ASSERT_NE(at, std::string::npos) << out;
    const size_t begin = out.rfind(' ', at - 1) + 1;
    const int ignored = std::stoi(out.substr(begin, at - begin));
    EXPECT_GT(ignored, 0) << out;
    EXPECT_LE(ignored, kNoise) << out;
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
    EXPECT_NE(run.Out().find("3 frame(s) handed over, 0 queued by the module (status 1), 0 with "
                             "status 0, 3 refused (0xC0000004 no data, or the result was held "
                             "back (its trigger was already answered): 3)"),
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
    const std::string err = run.Err();
    EXPECT_NE(err.find("udptrans Process start"), std::string::npos) << err;
    EXPECT_NE(err.find("udptrans Process end"), std::string::npos) << err;
}

TEST_F(HostProgramTest, DamagedStoreKeepsItsSettingsAndACopyOfItself) {
    // A Windows path in a text (an unknown escape) once made the whole file
    // count as damaged; the start-up write-back then saved all defaults over it.
    {
        std::ofstream file(StoreFile(), std::ios::app);
        file << "HeartbeatText=C:\\temp\n";
    }
    const std::string damaged = ts::ReadFile(StoreFile());
    HostRun run(m_dir.Path(), Args({"--frames", "2", "--fps", "20", "--payload", "kept"}));
    const auto got = CollectUntilExit(m_target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_EQ(got.size(), 2u) << "results still reach the stored target";
    EXPECT_EQ(StoredValue("TargetPort"), std::to_string(m_target.Port()));
    EXPECT_EQ(StoredValue("HostPort"), std::to_string(m_ports.host));
    EXPECT_EQ(StoredValue("HeartbeatText"), "HEARTBEAT");

    const auto copies = StoreEntries("udptrans.param.damaged-");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ts::ReadFile(Store() + "/" + copies[0]), damaged);
    const std::string err = run.Err();
    EXPECT_NE(err.find("dropped line 8 (bad escape)"), std::string::npos) << err;
    EXPECT_NE(err.find(copies[0]), std::string::npos) << err;
}

TEST_F(HostProgramTest, SymlinkedStoreIsSavedThroughToTheSharedFile) {
    const std::string shared = m_dir.Path() + "/shared.param";
    ASSERT_EQ(rename(StoreFile().c_str(), shared.c_str()), 0);
    ASSERT_EQ(symlink(shared.c_str(), StoreFile().c_str()), 0);

    HostRun run(m_dir.Path(), Args({"--frames", "0", "--set", "HeartbeatInterval=7"}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    struct stat st {};
    ASSERT_EQ(lstat(StoreFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    EXPECT_NE(ts::ReadFile(shared).find("\nHeartbeatInterval=7\n"), std::string::npos);
    EXPECT_NE(ts::ReadFile(shared).find("\nTargetPort=" + std::to_string(m_target.Port()) + "\n"),
              std::string::npos);
}

TEST_F(HostProgramTest, PayloadFilesThatCannotBeUsedEndWithStatus64AtOnce) {
    const std::string fifo = m_dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {m_dir.Path(), std::string("/dev/zero"), fifo}) {
        HostRun run(m_dir.Path(), Args({"--payload-file", path}));
        EXPECT_EQ(run.Wait(20000), kExitUsage) << path << run.Err();
        EXPECT_NE(run.Err().find("--payload-file: cannot read"), std::string::npos) << run.Err();
    }
    // Longer than a result block: taken, and the program says what is sent.
    const std::string big = m_dir.Path() + "/big";
    ASSERT_TRUE(ts::WriteFile(big, std::string(2000, 'b')));
    HostRun run(m_dir.Path(), Args({"--frames", "1", "--payload-file", big}));
    const auto got = CollectUntilExit(m_target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes.size(), 1028u);
    EXPECT_NE(run.Out().find("the result block is 2000 bytes; the module sends only its first "
                             "1028 bytes"),
              std::string::npos)
        << run.Out();
}

TEST_F(HostProgramTest, ThreadsThatCannotBeCreatedEndWithStatus1AndOneLine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "capping the threads of a fresh user needs root";
    }
    // A user of its own whose thread limit stops the program at each of its
    // threads in turn: the proxy's, the module's two tasks, the listener's,
    // the processing thread. Never an abort, always one line and status 1.
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(Store().c_str(), 0777), 0);
    ASSERT_EQ(chmod(StoreFile().c_str(), 0666), 0);
    // The leak checker of an ASan build needs a thread of its own at exit,
    // which the cap refuses; it is off for these children only.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string savedAsan = asan != nullptr ? asan : "";
    setenv("ASAN_OPTIONS", (savedAsan + ":detect_leaks=0").c_str(), 1);
    struct RestoreAsan {
        const std::string& saved;
        bool had;
        ~RestoreAsan() {
            if (had) {
                setenv("ASAN_OPTIONS", saved.c_str(), 1);
            } else {
                unsetenv("ASAN_OPTIONS");
            }
        }
    } restore{savedAsan, asan != nullptr};
    int failed = 0;
    for (int threads = 1; threads <= 6; ++threads) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=61235",
                                         "--regid=61235",    "--clear-groups",
                                         "/usr/bin/prlimit", "--nproc=" + std::to_string(threads),
                                         UDPTRANS_HOST_PATH};
        // Target ports of its own, so that the listener's thread is made too.
        for (const auto& arg :
             Args({"--listen", "--frames", "1", "--set", "TargetPort=" + std::to_string(FreePort()),
                   "--set", "TargetHeartbeatPort=" + std::to_string(FreePort())})) {
            args.push_back(arg);
        }
        const std::string base = m_dir.Path() + "/capped." + std::to_string(threads);
        ts::ChildProcess run(args, base + ".stdout", base + ".stderr");
        ASSERT_TRUE(run.Started());
        const int code = run.Wait();
        const std::string err = ts::ReadFile(base + ".stderr");
        ASSERT_TRUE(code == 0 || code == kExitFailure) << code << err;
        if (code == kExitFailure) {
            ++failed;
            // One line of the program's own; the rest are the module's log
            // lines, which share standard error with it.
            size_t own = 0;
            for (size_t at = 0; at < err.size(); at = err.find('\n', at) + 1) {
                own += err.compare(at, 15, "udptrans-host: ") == 0;
                EXPECT_TRUE(err.compare(at, 15, "udptrans-host: ") == 0 ||
                            err.compare(at, 2, "| ") == 0)
                    << err;
            }
            EXPECT_EQ(own, 1u) << err;
        }
    }
    EXPECT_GE(failed, 3) << "the cap never stopped the program";
}

TEST_F(HostProgramTest, StoredTargetThatKeepsTheTransportDownIsReported) {
    {
        std::ofstream file(StoreFile(), std::ios::app);
        file << "TargetHeartbeatIp=nowhere\n";
    }
    HostRun run(m_dir.Path(), Args({"--frames", "1"}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_NE(run.Err().find("warning: stored TargetHeartbeatIp \"nowhere\" is not a usable "
                             "address: the module's transport did not start"),
              std::string::npos)
        << run.Err();
    EXPECT_FALSE(m_target.Recv(300));
}

TEST_F(HostProgramTest, RemoteTriggersAreBoundedAndDoNotOutlastTheDuration) {
    // Frames of remote triggers wait 10 minutes for their processing time;
    // the program still ends after its duration, and the waiting frames are
    // bounded.
    UdpSocket client;
    HostRun run(m_dir.Path(), Args({"--frames", "0", "--trigger", "soft", "--process-ms", "600000",
                                    "--duration", "8"}));
    ASSERT_TRUE(WaitUntilUp(run, client)) << run.Out() << run.Err();
    const auto start = std::chrono::steady_clock::now();
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < 70; ++i) {
        client.SendTo(m_ports.host, "TRIGGER");
        const auto answer = m_target.Recv(10000);
        ASSERT_TRUE(answer) << i;
        if (answer->bytes.rfind("TRIGGER ", 0) == 0) {
            ++accepted;
        } else {
            EXPECT_EQ(answer->bytes, "ERR TRIGGER refused: 64 triggered frames already wait");
            ++refused;
        }
    }
    EXPECT_EQ(accepted, 64);
    EXPECT_EQ(refused, 6);
    EXPECT_EQ(run.Wait(60000), 0) << run.Out() << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));
    EXPECT_NE(run.Out().find("6 trigger(s) refused (64 frames waiting)"), std::string::npos)
        << run.Out();
}

TEST_F(HostProgramTest, BytesFromPeersAndTheStoreReachTheTerminalEscaped) {
    // A title change, a bell and a screen clear, from any peer and from the
    // store: printed as text, never as the bytes.
    const std::string attack = "\x1b]0;PWNED\x07\x1b[2J";
    UdpSocket client;
    HostRun run(m_dir.Path(), Args({"--frames", "0", "--duration", "60", "--verbose", "--log-level",
                                    "4", "--set", "HeartbeatText=" + attack}));
    ASSERT_TRUE(WaitUntilUp(run, client)) << run.Out() << run.Err();
    client.SendTo(m_ports.host, "GET " + attack);
    ASSERT_TRUE(m_target.Recv(10000));
    client.SendTo(m_ports.host, attack);
    EXPECT_EQ(m_target.RecvUntil("PONG", 200), std::nullopt);
    ASSERT_TRUE(ts::WaitFor([&] { return run.Out().find("ignored") != std::string::npos; }));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 128 + SIGINT);

    const std::string out = run.Out();
    const std::string err = run.Err();
    EXPECT_FALSE(HasControlBytes(out)) << ts::ReadFile(m_dir.Path() + "/run.1.stdout");
    EXPECT_FALSE(HasControlBytes(err)) << err;
    const std::string shown = "\\x1b]0;PWNED\\x07\\x1b[2J";
    EXPECT_NE(out.find("\"" + shown + "\" every"), std::string::npos) << "start-up line: " << out;
    EXPECT_NE(err.find("SetParam HeartbeatText: " + shown), std::string::npos)
        << "module log line: " << err;
    EXPECT_NE(out.find("command \"GET " + shown), std::string::npos) << out;
    EXPECT_NE(out.find("ignored \"" + shown), std::string::npos) << out;
}

TEST_F(HostProgramTest, HangupStopsCleanlyAndASecondSignalEndsAtOnce) {
    {
        UdpSocket client;
        HostRun run(m_dir.Path(), Args({"--frames", "0", "--duration", "60"}));
        ASSERT_TRUE(WaitUntilUp(run, client)) << run.Out() << run.Err();
        run.Signal(SIGHUP);
        EXPECT_EQ(run.Wait(), 128 + SIGHUP) << run.Out() << run.Err();
        EXPECT_NE(run.Out().find("SIGHUP received"), std::string::npos) << run.Out();
        EXPECT_NE(run.Out().find("summary:"), std::string::npos) << run.Out();
    }
    // A scheduled answer 60 s after its trigger keeps the module's task, and
    // with it the shutdown, waiting; the second Ctrl-C does not wait.
    // Ending at once is _exit with the module's threads unjoined by design, so
    // ThreadSanitizer's leak check (not its race detection) is off for this
    // child: it inherits the variable at its spawn.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string tsanBefore = tsan != nullptr ? tsan : "";
    setenv("TSAN_OPTIONS", (tsanBefore + ":report_thread_leaks=0").c_str(), 1);
    UdpSocket client;
    HostRun run(m_dir.Path(),
                Args({"--frames", "0", "--duration", "120", "--trigger", "soft", "--verbose",
                      "--set", "ScheduledTransEnable=1", "--set", "ScheduledTransTime=60000"}));
    if (tsan != nullptr) {
        setenv("TSAN_OPTIONS", tsanBefore.c_str(), 1);
    } else {
        unsetenv("TSAN_OPTIONS");
    }
    ASSERT_TRUE(WaitUntilUp(run, client)) << run.Out() << run.Err();
    // Its answer waits behind the scheduled slot; the handler's line shows it came.
    client.SendTo(m_ports.host, "TRIGGER");
    ASSERT_TRUE(ts::WaitFor(
        [&] { return run.Out().find("command \"TRIGGER\" -> ") != std::string::npos; }, 20000));
    const auto start = std::chrono::steady_clock::now();
    run.Signal(SIGINT);
    ASSERT_TRUE(
        ts::WaitFor([&] { return run.Out().find("SIGINT received") != std::string::npos; }, 20000));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 128 + SIGINT) << run.Out() << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    EXPECT_EQ(StoredValue("ScheduledTransTime"), "60000") << "the store is whole";
}

TEST_F(HostProgramTest, ExceptionsThatAModuleLetsThroughAreReportedNotFatal) {
    // From the start: a failed start, status 1, one line.
    {
        const std::string base = m_dir.Path() + "/throw-start";
        ts::ChildProcess run({UDPTRANS_HOST_PATH, "--module", UDPTRANS_THROWING_MODULE, "--store",
                              Store(), "--no-listen", "--no-ping", "--duration", "0"},
                             base + ".stdout", base + ".stderr", {"UDPTRANS_TEST_THROW=setpwd"});
        EXPECT_EQ(run.Wait(), kExitFailure);
        const std::string err = ts::ReadFile(base + ".stderr");
        EXPECT_EQ(err, "udptrans-host: module start with store " + Store() +
                           " failed with an exception: store unreadable\n");
    }
    // From every frame: counted, the first few reported, the run goes on.
    HostRun run(m_dir.Path(),
                {"--module", UDPTRANS_THROWING_MODULE, "--store", Store(), "--no-listen",
                 "--no-ping", "--duration", "0", "--frames", "12", "--fps", "100"});
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string out = run.Out();
    EXPECT_NE(out.find("12 frame(s) handed over, 0 queued by the module (status 1), 0 with "
                       "status 0, 0 refused, 12 ended with an exception"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frame 1: Process threw: component \\x1b[2Jgone"), std::string::npos) << out;
    EXPECT_NE(out.find("frame 2: Process threw an exception that is not std::exception"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("frame 6: Process threw"), std::string::npos) << "reported without end";
}

// The program with its standard error on `writeFd` (a pipe's or a terminal's
// writing end, closed here) and standard output on /dev/null; what `readFd`
// got until the program ended, and its exit status.
std::pair<std::string, int> StderrThrough(int writeFd, int readFd, std::vector<std::string> args) {
    args.insert(args.begin(), UDPTRANS_HOST_PATH);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(writeFd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(writeFd);
    std::string got;
    char buffer[4096];
    ssize_t n = 0;
    // A terminal's reading end ends with EIO once the program has gone.
    while ((n = read(readFd, buffer, sizeof(buffer))) > 0) {
        got.append(buffer, static_cast<size_t>(n));
    }
    close(readFd);
    int status = 0;
    waitpid(pid, &status, 0);
    return {got, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(HostProgramTest, ModuleLinesGoToStandardErrorColouredOnlyOnATerminal) {
    // A refused value gives a module error line, which the module colours.
    const auto args = Args({"--frames", "0", "--set", "TargetPort=99999"});
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const auto [piped, pipedStatus] = StderrThrough(pipeFds[1], pipeFds[0], args);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const auto [onTerminal, terminalStatus] = StderrThrough(slave, master, args);
    EXPECT_EQ(pipedStatus, kExitRefused);
    EXPECT_EQ(terminalStatus, kExitRefused);
    for (const std::string* err : {&piped, &onTerminal}) {
        EXPECT_NE(err->find("| Err  | 001udptrans"), std::string::npos) << *err;
        EXPECT_NE(err->find("TargetPort value 99999 is not valid"), std::string::npos) << *err;
        EXPECT_NE(err->find("udptrans-host: TargetPort=99999 refused"), std::string::npos) << *err;
    }
    EXPECT_EQ(piped.find('\x1b'), std::string::npos) << piped;
    EXPECT_NE(onTerminal.find("\x1b[31m| Err  |"), std::string::npos) << onTerminal;
}

TEST_F(HostProgramTest, VersionAndParametersWithWhereEachValueCameFrom) {
    HostRun version(m_dir.Path(), {"--version"});
    ASSERT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.Out(), std::string("udptrans-host ") + UDPTRANS_VERSION_STRING + "\n");

    // The row of `key` in a --show-params table: value and source.
    auto row = [](const std::string& table, const std::string& key) {
        const size_t at = table.find("\n" + key + " ");
        if (at == std::string::npos) {
            return std::string("no row");
        }
        const size_t end = table.find('\n', at + 1);
        std::string line = table.substr(at + 1, end - at - 1);
        const size_t value = line.find('"');
        const size_t valueEnd = line.find('"', value + 1);
        return line.substr(value, valueEnd - value + 1) + " " + line.substr(line.rfind("  ") + 2);
    };
    const std::string port = std::to_string(FreePort());
    const std::string hostPort = std::to_string(m_ports.host);
    struct Step {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> rows;  // key, "\"value\" source"
    };
    const std::vector<Step> steps = {
        {{"--set", "TargetPort=" + port, "--show-params"},
         {{"TargetPort", "\"" + port + "\" --set"},
          {"HostPort", "\"" + hostPort + "\" store"},
          {"AlgoEnable", "\"1\" default"},
          {"HeartbeatText", "\"HEARTBEAT\" default"}}},
        // After a restart the value set before comes from the store.
        {{"--show-params"}, {{"TargetPort", "\"" + port + "\" store"}}},
    };
    for (const Step& step : steps) {
        HostRun run(m_dir.Path(), Args(step.args));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        const std::string out = run.Out();
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 14) << out;
        for (const auto& [key, expected] : step.rows) {
            EXPECT_EQ(row(out, key), expected) << out;
        }
        EXPECT_NE(out.find("1..65535"), std::string::npos) << out;
    }
    // A normal run says which ports and targets are not the defaults.
    HostRun run(m_dir.Path(), Args({"--frames", "0"}));
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_NE(run.Out().find("not the defaults: HostPort=" + hostPort + " (store)"),
              std::string::npos)
        << run.Out();
    EXPECT_NE(run.Out().find("TargetPort=" + port + " (store)"), std::string::npos) << run.Out();
}

#if UDPTRANS_TEST_JSON
TEST_F(HostProgramTest, JsonListenerLinesParse) {
    // The listener takes the target port, so the test's own receiver steps aside.
    const uint16_t port = FreePort();
    HostRun run(m_dir.Path(),
                Args({"--set", "TargetPort=" + std::to_string(port), "--listen", "--json",
                      "--frames", "3", "--fps", "20", "--payload", "r{frame}\x01\""}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string out = run.Out();
    int results = 0;
    for (size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
        if (out[at] != '{') {
            continue;
        }
        const auto line = nlohmann::json::parse(out.substr(at, out.find('\n', at) - at));
        EXPECT_EQ(line.at("type"), "datagram");
        EXPECT_EQ(line.at("dport"), port);
        EXPECT_EQ(line.at("sport"), m_ports.host);
        EXPECT_EQ(line.at("kind"), "result");
        ++results;
        EXPECT_EQ(line.at("data"), "r" + std::to_string(results) + "\\x01\\\"");
    }
    EXPECT_EQ(results, 3) << out;
}
#endif

}  // namespace
