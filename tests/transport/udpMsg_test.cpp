// Tests of udp::CUdpProcess with real loopback sockets, its real worker
// threads and the host application's trigger source in the component pool.
#include "udpMsg.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AppRegistry.h"
#include "LocalTriggerSource.h"
#include "algo/CommProxy.h"
#include "udptrans/udptrans_api.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;   // 127.0.0.1, host byte order
constexpr uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2, also local on Linux
constexpr int kLogId = 17;
constexpr int kQuietMs = 1500;  // "nothing arrives" window

struct Datagram {
    std::string bytes;
    uint32_t fromIp = 0;
    uint16_t fromPort = 0;
    uint64_t arrivalMs = 0;  // get_up_time() right after it was read
};

// A UDP socket of the test: receives what the engine sends, or sends to it.
class UdpPeer {
public:
    explicit UdpPeer(uint32_t ip = kLoopback, uint16_t port = 0) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(m_fd, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(ip);
        addr.sin_port = htons(port);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~UdpPeer() { close(m_fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t Port() const { return m_port; }
    int Fd() const { return m_fd; }

    std::optional<Datagram> Receive(int timeoutMs) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const ssize_t n =
            recvfrom(m_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        Datagram d;
        d.arrivalMs = get_up_time();
        d.bytes.assign(buffer, static_cast<size_t>(n));
        d.fromIp = ntohl(from.sin_addr.s_addr);
        d.fromPort = ntohs(from.sin_port);
        return d;
    }

    // Receives until a datagram satisfies `match` or the deadline passes.
    std::optional<Datagram> ReceiveUntil(const std::function<bool(const Datagram&)>& match,
                                         int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            std::optional<Datagram> d = Receive(static_cast<int>(left.count()));
            if (d && match(*d)) {
                return d;
            }
        }
    }

    void SendTo(uint16_t port, const std::string& bytes) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(kLoopback);
        addr.sin_port = htons(port);
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                         sizeof(addr)));
    }

    void Drain() {
        while (Receive(0)) {
        }
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A port that was free a moment ago, on all interfaces (as the engine binds).
uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int CountThreads() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

// Threads of this process whose name is `name` (a sanitizer may add threads
// of its own, so a plain count cannot single out the engine's tasks).
int CountThreadsNamed(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string text;
        if (std::getline(comm, text) && text == name) {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::function<bool(const Datagram&)> Is(const std::string& bytes) {
    return [bytes](const Datagram& d) { return d.bytes == bytes; };
}

// An engine configured the way the module does it, with kernel-chosen host
// ports and its own two receivers as targets. Stopped on destruction.
struct EngineRig {
    udp::CUdpProcess engine;
    UdpPeer msgTarget;
    UdpPeer hbTarget;

    EngineRig() {
        engine.SetLogId(kLogId);
        engine.SetTargetMsgIp(kLoopback);
        engine.SetHostMsgPort(FreePort(), false);
        engine.SetTargetMsgPort(msgTarget.Port());
        engine.SetTargetHbIp(kLoopback);
        engine.SetHostHbPort(FreePort(), false);
        engine.SetTargetHbPort(hbTarget.Port());
    }
    ~EngineRig() { engine.DeInit(); }

    // Starts with the transport enabled or not; the enable value is set the
    // way frame processing does, independent of any trigger source.
    int Start(int enable = 1) {
        engine.SetFrameAndTrigger(0, 0, enable);
        return engine.Init();
    }
    void Send(const std::string& bytes) {
        engine.InsertSendMsg(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
};

// The spawn-failure case runs in a fresh copy of this program, which the
// variable below turns into the child (see SpawnFailureChild).
constexpr char kSpawnChildEnv[] = "UDPMSG_TEST_SPAWN_EXTRA";
int SpawnFailureChild(long extraThreads);

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        if (const char* extra = getenv(kSpawnChildEnv)) {
            // Nothing of the engine or proxy started yet in this process.
            fflush(nullptr);
            _exit(SpawnFailureChild(atol(extra)));
        }
        // Errors only: the endpoint's info lines on every re-create are noise.
        log_set_priority(kLogId, 6);
        // The proxy's own thread starts with its first use; start it now so
        // that thread counts compare like with like.
        CCommProxy::getInstance();
    }
};
[[maybe_unused]] const ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new Environment);

// ---- Payloads, enable, run-time changes ----------------------------------

TEST(CUdpProcessSend, PayloadReachesTargetAsOneDatagramWithExactlyItsBytes) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    const uint16_t hostPort = rig.engine.GetHostMsgPort();
    ASSERT_NE(0, hostPort);

    std::string big(2000, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7 + 1);
    }
    const std::vector<std::string> payloads = {std::string(), "hello", big.substr(0, 1028), big};
    for (const std::string& p : payloads) {
        EXPECT_EQ(0, rig.engine.InsertSendMsg(p.data(), static_cast<unsigned int>(p.size())));
        std::optional<Datagram> d = rig.msgTarget.Receive(5000);
        ASSERT_TRUE(d) << "payload of " << p.size() << " bytes never arrived";
        EXPECT_EQ(p.substr(0, 1028), d->bytes) << "payload of " << p.size() << " bytes";
        EXPECT_EQ(hostPort, d->fromPort);
    }
    // Nothing more than one datagram per payload.
    EXPECT_FALSE(rig.msgTarget.Receive(300));
}

TEST(CUdpProcessSend, DisabledTransportClosesSocketThenSendsWhatWasQueuedAfterReenabling) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    const uint16_t hostPort = rig.engine.GetHostMsgPort();
    rig.Send("before");
    ASSERT_TRUE(rig.msgTarget.ReceiveUntil(Is("before"), 5000));

    rig.engine.SetFrameAndTrigger(1, 0, 0);
    // The message port is released: another socket can take it.
    ASSERT_TRUE(WaitFor([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(hostPort);
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
        return bound;
    })) << "message socket still open while disabled";

    rig.Send("q1");
    rig.Send("q2");
    EXPECT_FALSE(rig.msgTarget.Receive(kQuietMs)) << "sent while disabled";

    rig.engine.SetFrameAndTrigger(2, 0, 1);
    std::optional<Datagram> first = rig.msgTarget.Receive(5000);
    std::optional<Datagram> second = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ("q1", first->bytes);
    EXPECT_EQ("q2", second->bytes);
    EXPECT_EQ(hostPort, first->fromPort) << "re-created on another port";
}

TEST(CUdpProcessSend, NewTargetPortAndAddressTakeEffectForTheNextDatagram) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    rig.Send("one");
    ASSERT_TRUE(rig.msgTarget.ReceiveUntil(Is("one"), 5000));

    UdpPeer other;
    rig.engine.SetTargetMsgPort(other.Port());
    EXPECT_EQ(other.Port(), rig.engine.GetTargetMsgPort()) << "getter reports the new port at once";
    // The redirect is applied at the next pass; wait for it with a probe.
    ASSERT_TRUE(WaitFor([&] {
        rig.Send("two");
        return other.Receive(20).has_value();
    }));
    other.Drain();
    rig.msgTarget.Drain();
    rig.Send("three");
    EXPECT_TRUE(other.ReceiveUntil(Is("three"), 5000));
    EXPECT_FALSE(rig.msgTarget.Receive(300)) << "old target still served";

    UdpPeer second(kLoopback2, other.Port());
    rig.engine.SetTargetMsgIp(kLoopback2);
    ASSERT_TRUE(WaitFor([&] {
        rig.Send("four");
        return second.Receive(20).has_value();
    }));
    second.Drain();
    other.Drain();
    rig.Send("five");
    std::optional<Datagram> d = second.ReceiveUntil(Is("five"), 5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(rig.engine.GetHostMsgPort(), d->fromPort);
    EXPECT_FALSE(other.Receive(300)) << "old address still served";
}

TEST(CUdpProcessSend, NewLocalPortRebindsAndRefusalKeepsWorkingPort) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    const uint16_t oldPort = rig.engine.GetHostMsgPort();

    // Same port: answered at once, socket left alone.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, rig.engine.SetHostMsgPort(oldPort, true));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));

    const uint16_t newPort = FreePort();
    ASSERT_EQ(0, rig.engine.SetHostMsgPort(newPort, true));
    EXPECT_EQ(newPort, rig.engine.GetHostMsgPort());
    rig.Send("moved");
    std::optional<Datagram> d = rig.msgTarget.ReceiveUntil(Is("moved"), 5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(newPort, d->fromPort);

    // A port held by another socket: the endpoint falls back, -5 reports it.
    UdpPeer holder(INADDR_ANY);
    EXPECT_EQ(udp::CUdpProcess::kErrPortNotConfirmed,
              rig.engine.SetHostMsgPort(holder.Port(), true));
    EXPECT_EQ(newPort, rig.engine.GetHostMsgPort());
    rig.Send("kept");
    d = rig.msgTarget.ReceiveUntil(Is("kept"), 5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(newPort, d->fromPort);

    // Disabled: nobody serves the request; -5 after the bounded wait, and the
    // port is used once the transport runs again.
    rig.engine.SetFrameAndTrigger(0, 0, 0);
    const uint16_t laterPort = FreePort();
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(udp::CUdpProcess::kErrPortNotConfirmed, rig.engine.SetHostMsgPort(laterPort, true));
    const auto waited = std::chrono::steady_clock::now() - t1;
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::milliseconds(10000));
    EXPECT_EQ(laterPort, rig.engine.GetHostMsgPort());
    rig.engine.SetFrameAndTrigger(0, 0, 1);
    rig.Send("later");
    d = rig.msgTarget.ReceiveUntil(Is("later"), 5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(laterPort, d->fromPort);
}

TEST(CUdpProcessSend, DatagramOnMessagePortGoesToProxyAndAnswerToTarget) {
    CCommProxy::getInstance().SetCommandHandler(
        [](const CCommProxy::MessageInfo& request, std::string& reply) {
            reply = std::string("re:") + request.szMsg;
            return true;
        });
    {
        EngineRig rig;
        ASSERT_EQ(0, rig.Start());
        UdpPeer client;
        client.SendTo(rig.engine.GetHostMsgPort(), "status?");
        std::optional<Datagram> d = rig.msgTarget.ReceiveUntil(Is("re:status?"), 5000);
        ASSERT_TRUE(d);
        EXPECT_EQ(rig.engine.GetHostMsgPort(), d->fromPort);
        // A datagram on the heartbeat port is read and dropped.
        client.SendTo(rig.engine.GetHostHbPort(), "ignored");
        EXPECT_FALSE(rig.msgTarget.Receive(500));
        EXPECT_FALSE(rig.hbTarget.Receive(0));
    }
    CCommProxy::getInstance().SetCommandHandler(nullptr);
    EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
}

// ---- Heartbeat ------------------------------------------------------------

TEST(CUdpProcessHeartbeat, ModeOneSendsExactTextFromMessagePortToMessageTarget) {
    EngineRig rig;
    rig.engine.SetHeartbeatTranMode(1);
    rig.engine.SetHeartbeatInterval(1);
    rig.engine.SetHeartbeatText("ALIVE");
    ASSERT_EQ(0, rig.Start());

    std::optional<Datagram> a = rig.msgTarget.Receive(5000);
    std::optional<Datagram> b = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ("ALIVE", a->bytes);
    EXPECT_EQ("ALIVE", b->bytes);
    EXPECT_EQ(rig.engine.GetHostMsgPort(), a->fromPort);
    EXPECT_GE(b->arrivalMs - a->arrivalMs, 900u) << "interval not respected";
    EXPECT_FALSE(rig.hbTarget.Receive(0)) << "mode 1 must not use the heartbeat target";

    const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    rig.engine.SetHeartbeatText(forty.c_str());
    char kept[64];
    rig.engine.GetHeartbeatText(kept, sizeof(kept));
    EXPECT_EQ(forty.substr(0, 32), kept);
    rig.engine.SetHeartbeatText(nullptr);
    rig.engine.GetHeartbeatText(kept, sizeof(kept));
    EXPECT_EQ(forty.substr(0, 32), kept) << "null text must be ignored";
    // At most one heartbeat built from the old text can still be in flight.
    EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is(forty.substr(0, 32)), 5000));

    rig.engine.SetHeartbeatText("");
    EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is(""), 5000)) << "empty text sends an empty datagram";
}

TEST(CUdpProcessHeartbeat, ModeTwoSendsFromHeartbeatPortToHeartbeatTargetAndFollowsPortChange) {
    EngineRig rig;
    rig.engine.SetHeartbeatTranMode(2);
    rig.engine.SetHeartbeatInterval(1);
    rig.engine.SetHeartbeatText("HB-2");
    ASSERT_EQ(0, rig.Start());

    std::optional<Datagram> d = rig.hbTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ("HB-2", d->bytes);
    EXPECT_EQ(rig.engine.GetHostHbPort(), d->fromPort);
    EXPECT_NE(rig.engine.GetHostMsgPort(), d->fromPort);
    EXPECT_FALSE(rig.msgTarget.Receive(0)) << "mode 2 must not use the message target";

    const uint16_t newPort = FreePort();
    ASSERT_EQ(0, rig.engine.SetHostHbPort(newPort, true));
    UdpPeer newTarget;
    rig.engine.SetTargetHbPort(newTarget.Port());
    d = newTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ("HB-2", d->bytes);
    EXPECT_EQ(newPort, d->fromPort);
}

TEST(CUdpProcessHeartbeat, ModesZeroAndThreeAndDisabledTransportSendNoHeartbeat) {
    EngineRig rig;
    rig.engine.SetHeartbeatInterval(0);  // due on every pass: any leak shows at once
    rig.engine.SetHeartbeatText("X");
    rig.engine.SetHeartbeatTranMode(0);
    ASSERT_EQ(0, rig.Start());
    EXPECT_FALSE(rig.msgTarget.Receive(kQuietMs)) << "mode 0";
    EXPECT_FALSE(rig.hbTarget.Receive(0)) << "mode 0";

    rig.engine.SetHeartbeatTranMode(3);
    EXPECT_FALSE(rig.msgTarget.Receive(kQuietMs)) << "mode 3";
    EXPECT_FALSE(rig.hbTarget.Receive(0)) << "mode 3";

    rig.engine.SetFrameAndTrigger(0, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let a last pass finish
    rig.msgTarget.Drain();
    rig.hbTarget.Drain();
    rig.engine.SetHeartbeatTranMode(1);
    EXPECT_FALSE(rig.msgTarget.Receive(kQuietMs)) << "mode 1 while disabled";
    rig.engine.SetHeartbeatTranMode(2);
    EXPECT_FALSE(rig.hbTarget.Receive(kQuietMs)) << "mode 2 while disabled";

    // The same settings do send once enabled, so the silence above was real.
    rig.engine.SetFrameAndTrigger(0, 0, 1);
    EXPECT_TRUE(rig.hbTarget.ReceiveUntil(Is("X"), 5000));
}

TEST(CUdpProcessHeartbeat, ResultsKeepingTheLinkBusyPreventHeartbeats) {
    EngineRig rig;
    rig.engine.SetHeartbeatTranMode(1);
    rig.engine.SetHeartbeatInterval(2);
    rig.engine.SetHeartbeatText("HB");
    ASSERT_EQ(0, rig.Start());
    // The first heartbeat is due at once (nothing sent yet); the link is busy
    // from the first result on.
    rig.Send("r0");
    ASSERT_TRUE(rig.msgTarget.ReceiveUntil(Is("r0"), 5000));
    int results = 0;
    int heartbeats = 0;
    for (int i = 1; i <= 9; ++i) {
        rig.Send("r" + std::to_string(i));
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < until) {
            std::optional<Datagram> d = rig.msgTarget.Receive(50);
            if (d) {
                (d->bytes == "HB" ? heartbeats : results)++;
            }
        }
    }
    EXPECT_EQ(9, results);
    EXPECT_EQ(0, heartbeats);
    // Idle again: the heartbeat comes back.
    EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is("HB"), 6000));
}

// ---- Scheduled transmission and trigger checks ----------------------------

class CUdpProcessScheduled : public ::testing::Test {
protected:
    void SetUp() override {
        m_pTrigger = std::make_shared<zerran_app::CLocalTriggerSource>();
        ASSERT_EQ(0, zerran_app::RegisterComponents(m_pTrigger, nullptr));
        m_pTrigger->SetTriggerMode(1);
    }
    void TearDown() override { zerran_app::UnregisterComponents(); }

    zerran_app::CLocalTriggerSource& Trigger() { return *m_pTrigger; }

    // Held mode on a running engine, with every trigger so far already answered.
    void StartHeld(EngineRig& rig, unsigned int delayMs) {
        Trigger().Trigger();  // count 0 would make the engine forward everything
        rig.engine.SetScheduledTransEnable(1);
        rig.engine.SetScheduledTransTime(static_cast<int>(delayMs));
        // Recorded before the start, as the module does, so that the current
        // trigger is not answered with "NG".
        rig.engine.SetModuleEnable(1);
        ASSERT_EQ(Trigger().TriggerCount(), rig.engine.m_nRecord.load());
        ASSERT_EQ(0, rig.Start());
    }

    // Hand-held shared pointer: the component outlives its registration.
    std::shared_ptr<zerran_app::CLocalTriggerSource> m_pTrigger;
};

TEST_F(CUdpProcessScheduled, OldestHeldPayloadAnswersNewTriggerNoEarlierThanImageTimePlusDelay) {
    EngineRig rig;
    StartHeld(rig, 300);
    rig.Send("P1");
    EXPECT_EQ(1u, rig.engine.GetHeldCount());
    EXPECT_FALSE(rig.msgTarget.Receive(500)) << "held payload left without a trigger";

    const uint64_t imageTime = get_up_time();
    Trigger().TriggerAt(imageTime);
    std::optional<Datagram> d = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ("P1", d->bytes);
    EXPECT_GE(d->arrivalMs, imageTime + 300);
    EXPECT_LT(d->arrivalMs, imageTime + 300 + 3000);
    ASSERT_TRUE(WaitFor([&] { return rig.engine.m_nRecord.load() == Trigger().TriggerCount(); }));
    EXPECT_EQ(0u, rig.engine.GetHeldCount());

    // Nothing held: the answer is the two bytes "NG".
    Trigger().Trigger();
    d = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(std::string("NG", 2), d->bytes);
    EXPECT_FALSE(rig.msgTarget.Receive(500)) << "more than one answer for one trigger";
}

TEST_F(CUdpProcessScheduled, EachTriggerReleasesOnlyTheOldestHeldPayload) {
    EngineRig rig;
    StartHeld(rig, 0);
    rig.Send("A");
    rig.Send("B");
    rig.Send("C");
    EXPECT_EQ(3u, rig.engine.GetHeldCount());

    for (const char* expected : {"A", "B", "C", "NG"}) {
        Trigger().Trigger();
        std::optional<Datagram> d = rig.msgTarget.Receive(5000);
        ASSERT_TRUE(d);
        EXPECT_EQ(expected, d->bytes);
        EXPECT_FALSE(rig.msgTarget.Receive(300)) << "extra answer after " << expected;
    }
}

TEST_F(CUdpProcessScheduled, TriggerModeOffCountZeroOrFailingSourceForwardsEverythingHeld) {
    EngineRig rig;
    StartHeld(rig, 0);
    auto expectForwarded = [&](const std::vector<std::string>& items, const char* why) {
        for (const std::string& item : items) {
            std::optional<Datagram> d = rig.msgTarget.Receive(5000);
            ASSERT_TRUE(d) << why;
            EXPECT_EQ(item, d->bytes) << why;
        }
        EXPECT_EQ(0u, rig.engine.GetHeldCount()) << why;
    };

    rig.Send("m1");
    rig.Send("m2");
    EXPECT_EQ(2u, rig.engine.GetHeldCount());
    Trigger().SetTriggerMode(0);
    expectForwarded({"m1", "m2"}, "trigger mode 0");
    rig.Send("m3");  // forwarded straight away while the mode is 0
    expectForwarded({"m3"}, "trigger mode 0, later payload");

    Trigger().SetTriggerCount(0);
    Trigger().SetTriggerMode(1);
    rig.Send("c1");
    rig.Send("c2");
    expectForwarded({"c1", "c2"}, "trigger count 0");

    Trigger().Trigger();
    rig.engine.SetModuleEnable(1);
    Trigger().SetFailure("TriggerMode", 5);
    rig.Send("f1");
    expectForwarded({"f1"}, "trigger mode query failing");
    Trigger().SetFailure("TriggerMode", 0);
    Trigger().SetFailure("TriggerCount", 6);
    rig.Send("f2");
    expectForwarded({"f2"}, "trigger count query failing");
    Trigger().SetFailure("TriggerCount", 0);

    rig.engine.SetScheduledTransEnable(0);
    rig.Send("s1");
    expectForwarded({"s1"}, "scheduled transmission off");
}

TEST_F(CUdpProcessScheduled, SetModuleEnableRecordsCountUnlessSourceMissingOrFailing) {
    udp::CUdpProcess engine;  // never started: the calls run on this thread
    EXPECT_EQ(-1, engine.m_nRecord.load());
    Trigger().SetTriggerCount(7);
    engine.SetModuleEnable(1);
    EXPECT_EQ(7, engine.m_nRecord.load());
    EXPECT_EQ(1, engine.GetModuleEnable());

    Trigger().SetTriggerCount(9);
    engine.SetModuleEnable(0);  // disabling records as well
    EXPECT_EQ(9, engine.m_nRecord.load());
    EXPECT_EQ(0, engine.GetModuleEnable());

    Trigger().SetFailure("TriggerCount", 3);
    Trigger().SetTriggerCount(11);
    engine.SetModuleEnable(1);
    EXPECT_EQ(9, engine.m_nRecord.load()) << "failed query must not record";
    EXPECT_EQ(1, engine.GetModuleEnable());
    Trigger().SetFailure("TriggerCount", 0);

    zerran_app::UnregisterComponents();
    engine.SetModuleEnable(0);
    EXPECT_EQ(9, engine.m_nRecord.load());
    EXPECT_EQ(1, engine.GetModuleEnable()) << "no trigger source: nothing changes";
    EXPECT_FALSE(engine.CheckTriggerMode());
    EXPECT_FALSE(engine.CheckTriggerCount());
    EXPECT_EQ(udp::CUdpProcess::kErrNoTriggerSource, engine.ProcessScheduledTrans());
}

TEST_F(CUdpProcessScheduled, ScheduledStepReportsSourceFailuresAndTakesNothing) {
    udp::CUdpProcess engine;
    engine.SetScheduledTransEnable(1);
    engine.InsertSendMsg("held", 4);
    Trigger().SetTriggerCount(3);
    engine.SetModuleEnable(1);

    EXPECT_TRUE(engine.CheckTriggerMode());
    EXPECT_TRUE(engine.CheckTriggerCount());
    EXPECT_EQ(0, engine.ProcessScheduledTrans()) << "no new trigger";
    EXPECT_EQ(1u, engine.GetHeldCount());

    Trigger().Trigger();
    Trigger().SetFailure("TriggerImageTime", 4);
    EXPECT_EQ(4, engine.ProcessScheduledTrans());
    Trigger().SetFailure("TriggerImageTime", 0);
    Trigger().SetFailure("TriggerCount", 8);
    EXPECT_EQ(8, engine.ProcessScheduledTrans());
    EXPECT_FALSE(engine.CheckTriggerCount());
    Trigger().SetFailure("TriggerCount", 0);
    Trigger().SetFailure("TriggerMode", 2);
    EXPECT_FALSE(engine.CheckTriggerMode());
    Trigger().SetFailure("TriggerMode", 0);
    EXPECT_EQ(1u, engine.GetHeldCount()) << "a failed step must not take a payload";
    EXPECT_EQ(3, engine.m_nRecord.load());

    // A new trigger whose moment has passed: the held payload is taken and
    // the count recorded.
    EXPECT_EQ(0, engine.ProcessScheduledTrans());
    EXPECT_EQ(0u, engine.GetHeldCount());
    EXPECT_EQ(4, engine.m_nRecord.load());
}

// ---- Life cycle -----------------------------------------------------------

TEST_F(CUdpProcessScheduled, InitAfterDeInitKeepsHeldQueueAndRecord) {
    EngineRig rig;
    StartHeld(rig, 0);
    rig.Send("k1");
    rig.Send("k2");
    const int record = rig.engine.m_nRecord.load();
    rig.engine.DeInit();
    EXPECT_FALSE(rig.engine.IsMsgTaskRunning());
    EXPECT_FALSE(rig.engine.IsHbTaskRunning());
    EXPECT_EQ(2u, rig.engine.GetHeldCount());
    EXPECT_EQ(record, rig.engine.m_nRecord.load());

    ASSERT_EQ(0, rig.engine.Init());
    Trigger().Trigger();
    std::optional<Datagram> d = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ("k1", d->bytes);
    Trigger().SetTriggerMode(0);
    d = rig.msgTarget.Receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ("k2", d->bytes);
}

TEST(CUdpProcessLifecycle, DeInitWithoutInitReturnsAtOnce) {
    udp::CUdpProcess engine;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, engine.DeInit());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(-1, engine.m_nRecord.load());
}

TEST(CUdpProcessLifecycle, ManyInitDeInitCyclesLeaveNoThreadAndKeepWorking) {
    const int baseline = CountThreads();
    EngineRig rig;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(0, rig.Start(1));
        if (i % 4 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        } else if (i % 4 == 2) {
            rig.Send("c" + std::to_string(i));
        }
        rig.engine.DeInit();  // at once, often before the tasks ran at all
        ASSERT_FALSE(rig.engine.IsMsgTaskRunning());
        ASSERT_FALSE(rig.engine.IsHbTaskRunning());
        ASSERT_EQ(baseline, CountThreads()) << "cycle " << i;
    }
    // Disabled engines stop too (their tasks sleep between passes).
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(0, rig.Start(0));
        rig.engine.DeInit();
        ASSERT_EQ(baseline, CountThreads());
    }
    rig.msgTarget.Drain();
    ASSERT_EQ(0, rig.Start(1));
    rig.Send("after");
    EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is("after"), 5000));
    rig.engine.DeInit();
    EXPECT_EQ(baseline, CountThreads());
}

TEST(CUdpProcessLifecycle, EngineFreedRightAfterDeInitIsNeverTouchedAgain) {
    // The host frees the engine (and may unload the module) as soon as DeInit
    // returns; a task that was still starting or returning would then run on
    // freed memory, which the address sanitizer reports.
    const int baseline = CountThreads();
    UdpPeer target;
    for (int i = 0; i < 60; ++i) {
        auto* engine = new udp::CUdpProcess;
        engine->SetLogId(kLogId);
        engine->SetTargetMsgIp(kLoopback);
        engine->SetTargetMsgPort(target.Port());
        engine->SetHostMsgPort(FreePort(), false);
        engine->SetHostHbPort(FreePort(), false);
        engine->SetFrameAndTrigger(0, 0, 1);
        ASSERT_EQ(0, engine->Init());
        engine->DeInit();
        delete engine;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(baseline, CountThreads());
}

enum ChildResult {
    kChildOk = 0,
    kChildInitSucceeded = 10,  // the limit let both tasks start
    kChildFirstFailed = 11,    // the limit let neither start
    kChildMsgTaskSilent = 20,
    kChildStrayThread = 21,
    kChildSetup = 22,
    kChildNotRoot = 23,
};

// An otherwise unused user id: the per-user thread limit counts only the
// threads of this child.
constexpr uid_t kSpawnChildUid = 61234;

// Runs in the child process. It drops to a user of its own and caps that
// user's threads so that the message task can still start and the heartbeat
// task cannot: the real thread_spawn_ex of the second task fails with EAGAIN.
int SpawnFailureChild(long extraThreads) {
    if (geteuid() != 0) {
        return kChildNotRoot;
    }
    UdpPeer target;
    udp::CUdpProcess engine;
    engine.SetLogId(kLogId);
    engine.SetTargetMsgIp(kLoopback);
    engine.SetHostMsgPort(FreePort(), false);
    engine.SetTargetMsgPort(target.Port());
    engine.SetHostHbPort(FreePort(), false);
    engine.SetFrameAndTrigger(0, 0, 1);
    if (setresgid(kSpawnChildUid, kSpawnChildUid, kSpawnChildUid) != 0 ||
        setresuid(kSpawnChildUid, kSpawnChildUid, kSpawnChildUid) != 0) {
        return kChildSetup;
    }
    // Counted after the switch, so that a sanitizer's own threads are in it.
    const int threads = CountThreads();
    rlimit lim{};
    lim.rlim_cur = static_cast<rlim_t>(threads + extraThreads);
    lim.rlim_max = lim.rlim_cur;
    if (setrlimit(RLIMIT_NPROC, &lim) != 0) {
        return kChildSetup;
    }
    const int rc = engine.Init();
    if (rc == 0 || rc == -1) {
        engine.DeInit();
        return rc == 0 ? kChildInitSucceeded : kChildFirstFailed;
    }
    // -2: the message task runs and serves.
    engine.InsertSendMsg("alive", 5);
    std::optional<Datagram> d = target.Receive(5000);
    const bool served = d && d->bytes == "alive";
    engine.DeInit();
    if (engine.IsMsgTaskRunning() || CountThreadsNamed("udp_input_task") != 0 ||
        CountThreadsNamed("udp_out_task") != 0) {
        return kChildStrayThread;
    }
    return served ? kChildOk : kChildMsgTaskSilent;
}

TEST(CUdpProcessLifecycle, HeartbeatTaskThatCannotStartFailsInitAndDeInitStillStopsMessageTask) {
    // The exact count at which the kernel refuses depends on how it charges
    // the current threads; a few neighbouring limits find the one where only
    // the heartbeat task is refused.
    for (long extra = 0; extra <= 3; ++extra) {
        // A new process rather than a fork of this one: this one has threads
        // already (the proxy's), and the child must start threads of its own.
        const std::string envVar = std::string(kSpawnChildEnv) + "=" + std::to_string(extra);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter =
            std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.push_back(*e);
        }
        env.push_back(const_cast<char*>(envVar.c_str()));
        env.push_back(nullptr);
        char exe[] = "/proc/self/exe";
        char* argv[] = {exe, const_cast<char*>(filter.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, exe, &actions, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(0, spawned);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status)) << "child crashed, extra threads " << extra;
        const int code = WEXITSTATUS(status);
        if (code == kChildNotRoot) {
            GTEST_SKIP() << "capping the threads of a fresh user needs root";
        }
        if (code == kChildFirstFailed) {
            continue;
        }
        ASSERT_NE(kChildInitSucceeded, code) << "both tasks started with " << extra << " extra";
        ASSERT_EQ(kChildOk, code) << "extra threads " << extra;
        return;
    }
    FAIL() << "the message task never started under the tried limits";
}

// ---- Descriptors above the select limit -----------------------------------

TEST(CUdpProcessDescriptors, EngineWithSocketsAbove1024SendsAndReceives) {
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    rlimit raised = old;
    if (raised.rlim_cur < 2048) {
        raised.rlim_cur = 2048;
        if (raised.rlim_max < 2048) {
            raised.rlim_max = 2048;  // root may raise the hard limit
        }
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            GTEST_SKIP() << "cannot raise the descriptor limit to 2048";
        }
    }
    std::vector<int> fillers;
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    fillers.push_back(devnull);
    while (fillers.back() < 1100) {
        const int fd = fcntl(devnull, F_DUPFD_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
    }

    CCommProxy::getInstance().SetCommandHandler(
        [](const CCommProxy::MessageInfo& request, std::string& reply) {
            reply = std::string("echo:") + request.szMsg;
            return true;
        });
    {
        EngineRig rig;
        ASSERT_GT(rig.msgTarget.Fd(), 1024);
        rig.engine.SetHeartbeatTranMode(2);
        rig.engine.SetHeartbeatInterval(1);
        rig.engine.SetHeartbeatText("high");
        ASSERT_EQ(0, rig.Start());
        rig.Send("payload");
        EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is("payload"), 5000));
        UdpPeer client;
        client.SendTo(rig.engine.GetHostMsgPort(), "ping");
        EXPECT_TRUE(rig.msgTarget.ReceiveUntil(Is("echo:ping"), 5000));
        std::optional<Datagram> hb = rig.hbTarget.ReceiveUntil(Is("high"), 5000);
        ASSERT_TRUE(hb);
        EXPECT_EQ(rig.engine.GetHostHbPort(), hb->fromPort);
    }
    CCommProxy::getInstance().SetCommandHandler(nullptr);
    EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &old);
}

}  // namespace
