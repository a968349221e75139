// udptrans-host end to end: the built program runs as a child process with a
// temporary parameter store and ports that the kernel picked, and the test
// watches the real datagrams on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

constexpr int kExitRefused = 2;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/udptrans_host_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_path = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

struct Datagram {
    std::string bytes;
    uint16_t fromPort = 0;
};

// A UDP socket on 127.0.0.1 at a port the kernel picked: a target the module
// sends to, or (as a holder) a port kept busy.
class UdpSocket {
public:
    UdpSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            socklen_t length = sizeof(addr);
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length);
            m_port = ntohs(addr.sin_port);
        }
    }
    ~UdpSocket() { Close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    uint16_t Port() const { return m_port; }
    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

    std::optional<Datagram> Recv(int timeoutMs) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t n =
            recvfrom(m_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return std::nullopt;
        }
        return Datagram{std::string(buffer, static_cast<size_t>(n)), ntohs(from.sin_port)};
    }

    void SendTo(uint16_t port, const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A free port for the module to bind: the kernel picks it, the holder lets
// it go just before the program starts.
uint16_t FreePort() {
    UdpSocket holder;
    return holder.Port();
}

// The program as a child process, its output in files of the test's folder.
class HostRun {
public:
    HostRun(const std::string& dir, const std::vector<std::string>& args) {
        m_stdout = dir + "/stdout." + std::to_string(++s_nRun);
        m_stderr = dir + "/stderr." + std::to_string(s_nRun);
        std::vector<std::string> words = {UDPTRANS_HOST_PATH};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_stdout.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_stderr.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HostRun() {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    bool Started() const { return m_pid > 0; }
    bool Exited() {
        if (!m_status && m_pid > 0) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = status;
            }
        }
        return m_status.has_value();
    }
    // Exit status, or -1 when it did not end in time (it is then killed) or
    // died of a signal.
    int Wait(int timeoutMs = 60000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!Exited() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!Exited()) {
            return -1;
        }
        return WIFEXITED(*m_status) ? WEXITSTATUS(*m_status) : -1;
    }
    void Signal(int signal) { kill(m_pid, signal); }
    std::string Out() const { return ReadFile(m_stdout); }
    std::string Err() const { return ReadFile(m_stderr); }

private:
    static inline int s_nRun = 0;
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_stdout;
    std::string m_stderr;
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
    std::string Store() const { return m_dir.Path() + "/store"; }
    std::string StoreFile() const { return Store() + "/udptrans.param"; }

    void SeedStore(const Ports& ports, uint16_t target, uint16_t targetHb) {
        std::filesystem::create_directories(Store());
        std::ofstream file(StoreFile());
        file << "HostPort=" << ports.host << "\n"
             << "HostHeartbeatPort=" << ports.hostHb << "\n"
             << "TargetIp=127.0.0.1\n"
             << "TargetPort=" << target << "\n"
             << "TargetHeartbeatIp=127.0.0.1\n"
             << "TargetHeartbeatPort=" << targetHb << "\n"
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

    TempDir m_dir;
};

TEST_F(HostProgramTest, EveryFrameArrivesWithExactlyItsBytesFromTheHostPort) {
    Ports ports;
    UdpSocket target;
    UdpSocket targetHb;
    SeedStore(ports, target.Port(), targetHb.Port());

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
        const auto got = CollectUntilExit(target, run);
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        ASSERT_EQ(got.size(), 4u) << run.Out();
        for (const auto& datagram : got) {
            EXPECT_EQ(datagram.bytes, bytes);
            EXPECT_EQ(datagram.fromPort, ports.host);
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
        const auto got = CollectUntilExit(target, run);
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        ASSERT_EQ(got.size(), 3u) << run.Out();
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].bytes, "f=" + std::to_string(i + 1) + " t=0");
            EXPECT_EQ(got[i].fromPort, ports.host);
        }
    }
    EXPECT_FALSE(targetHb.Recv(0)) << "heartbeats are off";
}

TEST_F(HostProgramTest, ParameterSetInOneRunIsInForceInTheNext) {
    Ports ports;
    UdpSocket first;
    UdpSocket second;
    UdpSocket targetHb;
    SeedStore(ports, first.Port(), targetHb.Port());
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
    EXPECT_FALSE(first.Recv(0)) << "nothing goes to the old target";
}

TEST_F(HostProgramTest, TakenHostPortMovesToTheNextFreeOneAndIsStored) {
    // The port that the store names is held by another socket for the whole
    // run; the one above it is free (checked, then released).
    std::optional<UdpSocket> held;
    uint16_t heldPort = 0;
    for (int attempt = 0; attempt < 50 && heldPort == 0; ++attempt) {
        held.emplace();
        UdpSocket probe;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16_t>(held->Port() + 1));
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (held->Port() < 65535 &&
            bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            heldPort = held->Port();
        }
        close(fd);
    }
    ASSERT_NE(heldPort, 0);
    Ports ports;
    ports.host = heldPort;
    if (ports.hostHb == heldPort + 1) {
        ports.hostHb = FreePort();
    }
    UdpSocket target;
    UdpSocket targetHb;
    SeedStore(ports, target.Port(), targetHb.Port());

    HostRun run(m_dir.Path(), Args({"--frames", "2", "--fps", "20", "--payload", "moved"}));
    const auto got = CollectUntilExit(target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    ASSERT_EQ(got.size(), 2u) << run.Out();
    EXPECT_NE(got[0].fromPort, heldPort);
    EXPECT_EQ(got[0].fromPort, heldPort + 1);
    EXPECT_EQ(got[1].fromPort, got[0].fromPort);
    EXPECT_EQ(StoredValue("HostPort"), std::to_string(got[0].fromPort));
}

TEST_F(HostProgramTest, RefusedValueEndsWithStatus2AndLeavesTheStoreAlone) {
    Ports ports;
    UdpSocket target;
    UdpSocket targetHb;
    SeedStore(ports, target.Port(), targetHb.Port());
    {
        HostRun run(m_dir.Path(), Args({"--frames", "0"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    }
    const std::string before = ReadFile(StoreFile());
    ASSERT_FALSE(before.empty());

    HostRun run(m_dir.Path(), Args({"--frames", "3", "--set", "TargetPort=70000"}));
    EXPECT_EQ(run.Wait(), kExitRefused) << run.Out() << run.Err();
    const std::string err = run.Err();
    EXPECT_NE(err.find("TargetPort"), std::string::npos) << err;
    EXPECT_NE(err.find("70000"), std::string::npos) << err;
    EXPECT_NE(err.find("0xE0000102"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(StoreFile()), before);
    EXPECT_FALSE(target.Recv(300)) << "no frame after a refused value";
}

TEST_F(HostProgramTest, CommandsAreAnsweredAtTheTarget) {
    Ports ports;
    UdpSocket target;
    UdpSocket targetHb;
    UdpSocket client;
    SeedStore(ports, target.Port(), targetHb.Port());
    HostRun run(m_dir.Path(), Args({"--frames", "0", "--duration", "60"}));
    ASSERT_TRUE(run.Started());

    // Datagrams before the module has bound its port are lost: ask until the
    // first answer comes.
    std::optional<Datagram> pong;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pong && std::chrono::steady_clock::now() < end && !run.Exited()) {
        client.SendTo(ports.host, "PING");
        pong = target.Recv(200);
    }
    ASSERT_TRUE(pong) << run.Out() << run.Err();
    EXPECT_EQ(pong->bytes, "PONG");
    EXPECT_EQ(pong->fromPort, ports.host);
    while (target.Recv(200)) {
    }

    auto ask = [&](const std::string& command) {
        client.SendTo(ports.host, command);
        auto answer = target.Recv(10000);
        return answer ? answer->bytes : std::string("<no answer>");
    };
    EXPECT_EQ(ask("GET TargetPort"), "TargetPort=" + std::to_string(target.Port()));
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
    Ports ports;
    UdpSocket target;
    UdpSocket targetHb;
    SeedStore(ports, target.Port(), targetHb.Port());
    // Each result reaches Process 600 ms after its trigger, long after its
    // 50 ms slot: the slot gets "NG", the late result is dropped.
    HostRun run(m_dir.Path(),
                Args({"--trigger", "soft", "--frames", "3", "--fps", "1", "--process-ms", "600",
                      "--set", "ScheduledTransEnable=1", "--set", "ScheduledTransTime=50",
                      "--payload", "late {trigger}"}));
    const auto got = CollectUntilExit(target, run);
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
    Ports ports;
    UdpSocket target;
    UdpSocket targetHb;
    SeedStore(ports, target.Port(), targetHb.Port());
    // The drain thread runs the module's code until the process ends: the
    // program must neither unload the module under it nor hang on it.
    HostRun run(m_dir.Path(),
                Args({"--frames", "2", "--fps", "20", "--log-mode", "ring", "--log-level", "4"}));
    const auto got = CollectUntilExit(target, run);
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_EQ(got.size(), 2u);
    const std::string out = run.Out();
    EXPECT_NE(out.find("udptrans Process start"), std::string::npos) << out;
    EXPECT_NE(out.find("udptrans Process end"), std::string::npos) << out;
}

}  // namespace
