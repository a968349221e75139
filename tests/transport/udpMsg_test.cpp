// Tests of udp::CUdpProcess with real loopback sockets, its real worker
// threads and the host application's trigger source in the component pool:
// payloads and run-time changes, heartbeat, scheduled transmission, life
// cycle, the tasks' wake-ups, descriptors above the select limit.
#include "udpMsg.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AppRegistry.h"
#include "ChildProcess.h"
#include "LocalTriggerSource.h"
#include "Threads.h"
#include "UdpConnection.h"
#include "UdpPeer.h"
#include "Wait.h"
#include "algo/CommProxy.h"
#include "udptrans/udptrans_api.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;   // 127.0.0.1, host byte order
constexpr uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2, also local on Linux
constexpr int kQuietMs = 1500;               // "nothing arrives" window
constexpr int kEngineLogId = 17;

using namespace ts;

// The engine set up the way the module sets it up: kernel-chosen host ports
// and two receivers on loopback as its targets. The test's thread drives it;
// its tasks only touch the sockets, never the receivers' objects.
void Configure(udp::CUdpProcess& engine, uint16_t msgTarget, uint16_t hbTarget = 0) {
    engine.SetLogId(kEngineLogId);
    engine.SetTargetMsgIp(kLoopback);
    engine.SetHostMsgPort(FreePort(), false);
    engine.SetTargetMsgPort(msgTarget);
    engine.SetTargetHbIp(kLoopback);
    engine.SetHostHbPort(FreePort(), false);
    engine.SetTargetHbPort(hbTarget);
}

// An engine with its two targets; stopped on destruction.
struct EngineRig {
    udp::CUdpProcess engine;
    UdpPeer msgTarget;
    UdpPeer hbTarget;

    EngineRig() { Configure(engine, msgTarget.Port(), hbTarget.Port()); }
    ~EngineRig() { engine.DeInit(); }

    // Starts with the transport enabled or not; the enable value is set the
    // way frame processing does, independent of any trigger source.
    int Start(int enable = 1) {
        engine.SetFrameAndTrigger(0, 0, enable);
        return engine.Init();
    }
    int Send(const std::string& bytes) {
        return engine.InsertSendMsg(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
    void Heartbeat(int mode, int intervalS, const char* text) {
        engine.SetHeartbeatTranMode(mode);
        engine.SetHeartbeatInterval(intervalS);
        engine.SetHeartbeatText(text);
    }
    // Sends `bytes` and returns the source port it arrived from at `to` (the
    // message target unless given); 0 when it never came.
    uint16_t SentFrom(const std::string& bytes, UdpPeer* to = nullptr) {
        Send(bytes);
        auto d = (to != nullptr ? *to : msgTarget).RecvUntil(bytes, 5000);
        return d ? d->fromPort : 0;
    }
};

// Sends probes until one reaches `peer` (a redirect is applied at the next
// pass), then empties `peer` and `old` so later checks start clean.
bool Redirected(EngineRig& rig, UdpPeer& peer, UdpPeer& old) {
    const bool ok = WaitFor([&] {
        rig.Send("probe");
        return peer.Recv(20).has_value();
    });
    peer.Drain();
    old.Drain();
    return ok;
}

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
        // Silent: no test here reads the engine's lines.
        log_set_priority(kEngineLogId, 8);
        // The proxy's own thread starts with its first use; start it now so
        // that thread counts compare like with like.
        CCommProxy::getInstance();
    }
};
[[maybe_unused]] const ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new Environment);

// ---- Payloads, enable, run-time changes ----------------------------------

// The engine cuts a payload to one datagram's 1028 bytes; what it queues
// while the transport is disabled leaves, in order, once it runs again.
TEST(CUdpProcessSend, PayloadCutToOneDatagramAndQueuedWhileDisabledLeavesAfterReenabling) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    const uint16_t hostPort = rig.engine.GetHostMsgPort();
    ASSERT_NE(0, hostPort);
    const std::string big = Pattern(2000);
    rig.Send(big);
    EXPECT_EQ(From(big.substr(0, 1028), hostPort), rig.msgTarget.NextFrom());

    rig.engine.SetFrameAndTrigger(1, 0, 0);
    // The message port is released: another socket can take it.
    ASSERT_TRUE(WaitFor([&] { return PortIsFree(hostPort); }))
        << "message socket still open while disabled";
    rig.Send("");
    rig.Send("q2");
    EXPECT_FALSE(rig.msgTarget.Recv(kQuietMs)) << "sent while disabled, or 2000 bytes split";

    rig.engine.SetFrameAndTrigger(2, 0, 1);
    EXPECT_EQ(From("", hostPort), rig.msgTarget.NextFrom()) << "lost, or re-created elsewhere";
    EXPECT_EQ("q2", rig.msgTarget.NextBytes());
}

TEST(CUdpProcessSend, NewTargetPortAndAddressTakeEffectForTheNextDatagram) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    UdpPeer other;
    rig.engine.SetTargetMsgPort(other.Port());
    ASSERT_TRUE(Redirected(rig, other, rig.msgTarget));
    EXPECT_NE(0, rig.SentFrom("three", &other));
    EXPECT_FALSE(rig.msgTarget.Recv(300)) << "old target still served";

    UdpPeer second(kLoopback2, other.Port());
    rig.engine.SetTargetMsgIp(kLoopback2);
    ASSERT_TRUE(Redirected(rig, second, other));
    EXPECT_EQ(rig.engine.GetHostMsgPort(), rig.SentFrom("five", &second));
    EXPECT_FALSE(other.Recv(300)) << "old address still served";
}

TEST(CUdpProcessSend, NewLocalPortRebindsAndRefusalKeepsWorkingPort) {
    EngineRig rig;
    ASSERT_EQ(0, rig.Start());
    const uint16_t oldPort = rig.engine.GetHostMsgPort();

    // Same port: answered at once (a real request waits for the task), socket
    // left alone.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, rig.engine.SetHostMsgPort(oldPort, true));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));

    const uint16_t newPort = FreePort();
    ASSERT_EQ(0, rig.engine.SetHostMsgPort(newPort, true));
    EXPECT_EQ(newPort, rig.engine.GetHostMsgPort());
    EXPECT_EQ(newPort, rig.SentFrom("moved"));

    // A port held by another socket: the endpoint falls back, -5 reports it.
    UdpPeer holder(INADDR_ANY);
    EXPECT_EQ(udp::CUdpProcess::kErrPortNotConfirmed,
              rig.engine.SetHostMsgPort(holder.Port(), true));
    EXPECT_EQ(newPort, rig.engine.GetHostMsgPort());

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
    EXPECT_EQ(laterPort, rig.SentFrom("later"));
}

// ---- Heartbeat ------------------------------------------------------------

TEST(CUdpProcessHeartbeat, ModeOneSendsExactTextFromMessagePortToMessageTarget) {
    EngineRig rig;
    rig.Heartbeat(1, 1, "ALIVE");
    ASSERT_EQ(0, rig.Start());

    std::optional<Datagram> a = rig.msgTarget.Recv(5000);
    std::optional<Datagram> b = rig.msgTarget.Recv(5000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ("ALIVE", a->bytes);
    EXPECT_EQ("ALIVE", b->bytes);
    EXPECT_EQ(rig.engine.GetHostMsgPort(), a->fromPort);
    EXPECT_GE(b->arrivalMs - a->arrivalMs, 900u) << "interval not respected";
    EXPECT_FALSE(rig.hbTarget.Recv(0)) << "mode 1 must not use the heartbeat target";

    // Cut to 32 characters; a null text is ignored.
    const std::string forty = Pattern(40, 'a', 1, 26);
    char kept[64];
    for (const char* text : {forty.c_str(), static_cast<const char*>(nullptr)}) {
        rig.engine.SetHeartbeatText(text);
        rig.engine.GetHeartbeatText(kept, sizeof(kept));
        EXPECT_EQ(forty.substr(0, 32), kept);
    }
    // At most one heartbeat built from the old text can still be in flight.
    EXPECT_TRUE(rig.msgTarget.RecvUntil(forty.substr(0, 32), 5000));

    rig.engine.SetHeartbeatText("");
    EXPECT_TRUE(rig.msgTarget.RecvUntil("", 5000)) << "empty text sends an empty datagram";
}

TEST(CUdpProcessHeartbeat, ModeTwoSendsFromHeartbeatPortToHeartbeatTargetAndFollowsPortChange) {
    EngineRig rig;
    rig.Heartbeat(2, 1, "HB-2");
    ASSERT_EQ(0, rig.Start());

    EXPECT_EQ(From("HB-2", rig.engine.GetHostHbPort()), rig.hbTarget.NextFrom());
    EXPECT_NE(rig.engine.GetHostMsgPort(), rig.engine.GetHostHbPort());
    EXPECT_FALSE(rig.msgTarget.Recv(0)) << "mode 2 must not use the message target";

    const uint16_t newPort = FreePort();
    ASSERT_EQ(0, rig.engine.SetHostHbPort(newPort, true));
    UdpPeer newTarget;
    rig.engine.SetTargetHbPort(newTarget.Port());
    EXPECT_EQ(From("HB-2", newPort), newTarget.NextFrom());
}

TEST(CUdpProcessHeartbeat, ModesZeroAndThreeAndDisabledTransportSendNoHeartbeat) {
    EngineRig rig;
    rig.Heartbeat(0, 0, "X");  // due on every pass: any leak shows at once
    ASSERT_EQ(0, rig.Start());
    for (int mode : {0, 3}) {
        rig.engine.SetHeartbeatTranMode(mode);
        EXPECT_FALSE(rig.msgTarget.Recv(kQuietMs)) << "mode " << mode;
        EXPECT_FALSE(rig.hbTarget.Recv(0)) << "mode " << mode;
    }

    // Heartbeats flow on every pass until the task sees the transport
    // disabled: once they have stopped, it has.
    rig.engine.SetHeartbeatTranMode(1);
    ASSERT_TRUE(rig.msgTarget.Recv(5000)) << "mode 1 while enabled";
    rig.engine.SetFrameAndTrigger(0, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !rig.msgTarget.Recv(200); }, 10000))
        << "heartbeats went on after the transport was disabled";
    EXPECT_FALSE(rig.msgTarget.Recv(kQuietMs)) << "mode 1 while disabled";
    rig.engine.SetHeartbeatTranMode(2);
    EXPECT_FALSE(rig.hbTarget.Recv(kQuietMs)) << "mode 2 while disabled";

    // The same settings do send once enabled, so the silence above was real.
    rig.engine.SetFrameAndTrigger(0, 0, 1);
    EXPECT_TRUE(rig.hbTarget.RecvUntil("X", 5000));
}

TEST(CUdpProcessHeartbeat, ResultsKeepingTheLinkBusyPreventHeartbeats) {
    EngineRig rig;
    rig.Heartbeat(1, 2, "HB");
    ASSERT_EQ(0, rig.Start());
    // The first heartbeat is due at once (nothing sent yet); the link is busy
    // from the first result on.
    ASSERT_NE(0, rig.SentFrom("r0"));
    int results = 0;
    int heartbeats = 0;
    for (int i = 1; i <= 9; ++i) {
        rig.Send("r" + std::to_string(i));
        for (const Datagram& d : rig.msgTarget.Collect(500)) {
            (d.bytes == "HB" ? heartbeats : results)++;
        }
    }
    EXPECT_EQ(9, results);
    EXPECT_EQ(0, heartbeats);
    // Idle again: the heartbeat comes back.
    EXPECT_TRUE(rig.msgTarget.RecvUntil("HB", 6000));
}

// In mode 2 the heartbeat task sends what the message task queues. A
// heartbeat taken off the queue but not yet stamped as sent must not let the
// message task queue a second one right behind it: with an interval of 1 s
// every period carries exactly one. Many engines at once give many periods,
// and the two cores of a busy machine preempt the tasks where it hurts.
TEST(CUdpProcessHeartbeat, ModeTwoSendsOneHeartbeatPerPeriod) {
    constexpr int kEngines = 24;
    std::vector<std::unique_ptr<EngineRig>> rigs;
    for (int i = 0; i < kEngines; ++i) {
        rigs.push_back(std::make_unique<EngineRig>());
        rigs.back()->Heartbeat(2, 1, "HB");
        ASSERT_EQ(0, rigs.back()->Start());
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(9);
    std::vector<std::vector<uint64_t>> arrivals(kEngines);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < kEngines; ++i) {
            for (auto d = rigs[i]->hbTarget.Recv(0); d; d = rigs[i]->hbTarget.Recv(0)) {
                EXPECT_EQ("HB", d->bytes);
                arrivals[i].push_back(d->arrivalMs);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // No heartbeat within 100 ms of the previous one: a due heartbeat follows
    // the last send by a whole second.
    for (const auto& times : arrivals) {
        // Each engine's first heartbeat is due at once, then one per second.
        EXPECT_GE(times.size(), 3u);
        for (size_t k = 1; k < times.size(); ++k) {
            EXPECT_GE(times[k] - times[k - 1], 100u) << "heartbeat " << k << " came too early";
        }
    }
}

// ---- Scheduled transmission and trigger checks ----------------------------

class CUdpProcessScheduled : public ::testing::Test {
protected:
    void SetUp() override {
        m_pTrigger = std::make_shared<zerran_app::CLocalTriggerSource>();
        ASSERT_EQ(0, zerran_app::RegisterComponents(m_pTrigger, nullptr));
        m_pTrigger->SetTriggerMode(1);
    }
    void TearDown() override {
        m_rig.engine.DeInit();  // nothing of the engine runs once the source is gone
        zerran_app::UnregisterComponents();
    }

    zerran_app::CLocalTriggerSource& Trigger() { return *m_pTrigger; }

    // Held mode on a running engine, with every trigger so far already answered.
    void StartHeld(unsigned int delayMs) {
        Trigger().Trigger();  // count 0 would make the engine forward everything
        m_rig.engine.SetScheduledTransEnable(1);
        m_rig.engine.SetScheduledTransTime(static_cast<int>(delayMs));
        // Recorded before the start, as the module does, so that the current
        // trigger is not answered with "NG".
        m_rig.engine.SetModuleEnable(1);
        ASSERT_EQ(Trigger().TriggerCount(), m_rig.engine.m_nRecord.load());
        ASSERT_EQ(0, m_rig.Start());
    }

    // Hand-held shared pointer: the component outlives its registration.
    std::shared_ptr<zerran_app::CLocalTriggerSource> m_pTrigger;
    EngineRig m_rig;
};

// Three held: each trigger releases only the oldest, no earlier than the
// trigger's image time plus the delay; with nothing held the answer is "NG".
TEST_F(CUdpProcessScheduled,
       EachTriggerReleasesTheOldestHeldPayloadNoEarlierThanImageTimePlusDelay) {
    StartHeld(300);
    for (const char* payload : {"A", "B", "C"}) {
        m_rig.Send(payload);
    }
    EXPECT_EQ(3u, m_rig.engine.GetHeldCount());
    EXPECT_FALSE(m_rig.msgTarget.Recv(500)) << "held payload left without a trigger";

    for (const char* expected : {"A", "B", "C", "NG"}) {
        const uint64_t imageTime = get_up_time();
        Trigger().TriggerAt(imageTime);
        std::optional<Datagram> d = m_rig.msgTarget.Recv(5000);
        ASSERT_TRUE(d) << "no answer instead of " << expected;
        EXPECT_EQ(expected, d->bytes);
        EXPECT_GE(d->arrivalMs, imageTime + 300);
        EXPECT_LT(d->arrivalMs, imageTime + 300 + 3000);
        EXPECT_FALSE(m_rig.msgTarget.Recv(300)) << "extra answer after " << expected;
        ASSERT_TRUE(
            WaitFor([&] { return m_rig.engine.m_nRecord.load() == Trigger().TriggerCount(); }));
    }
    EXPECT_EQ(0u, m_rig.engine.GetHeldCount());
}

// Each condition forwards what is held when it comes and what is sent while
// it lasts.
TEST_F(CUdpProcessScheduled, TriggerModeOffCountZeroOrFailingSourceForwardsEverythingHeld) {
    StartHeld(0);
    const std::vector<std::pair<std::string, std::function<void(bool)>>> conditions = {
        {"trigger mode 0", [&](bool on) { Trigger().SetTriggerMode(on ? 0 : 1); }},
        {"trigger count 0", [&](bool on) { Trigger().SetTriggerCount(on ? 0 : 1); }},
        {"trigger mode query failing",
         [&](bool on) { Trigger().SetFailure("TriggerMode", on ? 5 : 0); }},
        {"trigger count query failing",
         [&](bool on) { Trigger().SetFailure("TriggerCount", on ? 6 : 0); }},
        {"scheduled transmission off",
         [&](bool on) { m_rig.engine.SetScheduledTransEnable(on ? 0 : 1); }},
    };
    m_rig.Send("m1");
    m_rig.Send("m2");
    EXPECT_EQ(2u, m_rig.engine.GetHeldCount());
    Trigger().SetTriggerMode(0);
    EXPECT_EQ("m1", m_rig.msgTarget.NextBytes()) << "trigger mode 0 left a payload held";
    EXPECT_EQ("m2", m_rig.msgTarget.NextBytes()) << "trigger mode 0 left a payload held";
    Trigger().SetTriggerMode(1);
    for (const auto& [why, set] : conditions) {
        SCOPED_TRACE(why);
        set(true);
        m_rig.Send(why);
        EXPECT_EQ(why, m_rig.msgTarget.NextBytes());
        EXPECT_EQ(0u, m_rig.engine.GetHeldCount());
        set(false);
    }
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

    EXPECT_EQ(0, engine.ProcessScheduledTrans()) << "no new trigger";
    EXPECT_EQ(1u, engine.GetHeldCount());

    Trigger().Trigger();
    Trigger().SetFailure("TriggerImageTime", 4);
    EXPECT_EQ(4, engine.ProcessScheduledTrans());
    Trigger().SetFailure("TriggerImageTime", 0);
    Trigger().SetFailure("TriggerCount", 8);
    EXPECT_EQ(8, engine.ProcessScheduledTrans());
    Trigger().SetFailure("TriggerCount", 0);
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
    StartHeld(0);
    m_rig.Send("k1");
    m_rig.Send("k2");
    const int record = m_rig.engine.m_nRecord.load();
    m_rig.engine.DeInit();
    EXPECT_EQ(2u, m_rig.engine.GetHeldCount());
    EXPECT_EQ(record, m_rig.engine.m_nRecord.load());

    ASSERT_EQ(0, m_rig.engine.Init());
    Trigger().Trigger();
    EXPECT_EQ("k1", m_rig.msgTarget.NextBytes());
    Trigger().SetTriggerMode(0);
    EXPECT_EQ("k2", m_rig.msgTarget.NextBytes());
}

TEST(CUdpProcessLifecycle, ManyInitDeInitCyclesLeaveNoThreadAndKeepWorking) {
    const int baseline = ThreadCount();
    EngineRig rig;
    // DeInit without Init returns at once.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, rig.engine.DeInit());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
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
        ASSERT_EQ(baseline, ThreadCount()) << "cycle " << i;
    }
    // Disabled engines stop too (their tasks sleep between passes).
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(0, rig.Start(0));
        rig.engine.DeInit();
        ASSERT_EQ(baseline, ThreadCount());
    }
    rig.msgTarget.Drain();
    ASSERT_EQ(0, rig.Start(1));
    rig.Send("after");
    EXPECT_TRUE(rig.msgTarget.RecvUntil("after", 5000));
    rig.engine.DeInit();
    EXPECT_EQ(baseline, ThreadCount());
}

TEST(CUdpProcessLifecycle, EngineFreedRightAfterDeInitIsNeverTouchedAgain) {
    // The host frees the engine (and may unload the module) as soon as DeInit
    // returns; a task that was still starting or returning would then run on
    // freed memory, which the address sanitizer reports.
    const int baseline = ThreadCount();
    UdpPeer target;
    for (int i = 0; i < 60; ++i) {
        auto* engine = new udp::CUdpProcess;
        Configure(*engine, target.Port());
        engine->SetFrameAndTrigger(0, 0, 1);
        ASSERT_EQ(0, engine->Init());
        engine->DeInit();
        delete engine;
    }
    // A detached task may still be leaving the kernel's thread list.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == baseline; }));
}

enum ChildResult {
    kChildOk = 0,
    kChildInitSucceeded = 10,  // the limit let both tasks start
    kChildFirstFailed = 11,    // the limit let neither start
    kChildMsgTaskSilent = 20,
    kChildStrayThread = 21,
    kChildSetup = 22,
    kChildNotRoot = 23,
    kChildNoRealtime = 24,
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
    Configure(engine, target.Port());
    engine.SetFrameAndTrigger(0, 0, 1);
    // The tasks ask for real-time scheduling. Allowed that as the new user,
    // each spawn is one clone; refused, the framework would clone, fail and
    // clone again, and the short-lived first thread would make the count
    // below depend on timing. So the child keeps the one capability that
    // grants real-time scheduling, and none that would lift the thread limit.
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 ||
        setresgid(kSpawnChildUid, kSpawnChildUid, kSpawnChildUid) != 0 ||
        setresuid(kSpawnChildUid, kSpawnChildUid, kSpawnChildUid) != 0) {
        return kChildSetup;
    }
    __user_cap_header_struct capHeader{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct capData[2] = {};
    capData[0].effective = capData[0].permitted = 1u << CAP_SYS_NICE;
    if (syscall(SYS_capset, &capHeader, capData) != 0) {
        return kChildNoRealtime;
    }
    // Tried on this thread and given back at once: the same permission a
    // task's real-time start needs.
    sched_param param{};
    param.sched_priority = 60;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        return kChildNoRealtime;
    }
    param.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &param);
    // Counted after the switch, so that a sanitizer's own threads are in it.
    const int threads = ThreadCount();
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
    std::optional<Datagram> d = target.Recv(5000);
    const bool served = d && d->bytes == "alive";
    engine.DeInit();
    if (engine.IsMsgTaskRunning() || ThreadsNamed("udp_input_task") != 0 ||
        ThreadsNamed("udp_out_task") != 0) {
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
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ChildProcess child({"/proc/self/exe", std::string("--gtest_filter=") +
                                                  info->test_suite_name() + "." + info->name()},
                           "", "", {std::string(kSpawnChildEnv) + "=" + std::to_string(extra)});
        ASSERT_TRUE(child.Started());
        const int code = child.Wait();
        ASSERT_NE(-1, code) << "child crashed or hung, extra threads " << extra;
        if (code == kChildNotRoot) {
            GTEST_SKIP() << "capping the threads of a fresh user needs root";
        }
        if (code == kChildNoRealtime) {
            GTEST_SKIP() << "real-time scheduling is not available to a user here";
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

// ---- Wake-ups when a record enters an empty send queue (low-latency build) ----
//
// What must hold in both builds: a wake-up that is lost or comes without a
// record never loses a datagram and never holds one back beyond the task's
// own 1 ms wait. Every wake-up is lost when the endpoint's wake-up descriptor is
// turned into the write end of a pipe: the producers' writes land where the
// task's wait never looks. Spurious wake-ups come from a second thread that
// writes the descriptor with nothing queued.

// Far beyond one 1 ms pass even on a loaded machine under a sanitizer, and
// far below "never": a datagram whose wake-up was lost must not wait for the
// next record to carry it out.
constexpr int kArrivalMs = 2000;

enum class Wake { kUntouched, kLost, kSpurious };

struct WakeCase {
    bool heartbeatEndpoint;  // mode 2 heartbeats instead of results
    Wake wake;
};

// Loses every wake-up of one endpoint for good: its descriptor number is
// made the (non-blocking) write end of a pipe whose read end is kept here, so
// producers still write (and count) but the task's wait never sees it
// readable. Must outlive the engine: the read end stays open while anybody
// may write.
class LostWakeUps {
public:
    LostWakeUps() = default;
    ~LostWakeUps() {
        if (m_nRead >= 0) {
            close(m_nRead);
        }
    }
    LostWakeUps(const LostWakeUps&) = delete;
    LostWakeUps& operator=(const LostWakeUps&) = delete;

    bool Take(int wakeFd) {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0 || dup2(p[1], wakeFd) != wakeFd) {
            return false;
        }
        close(p[1]);
        m_nRead = p[0];
        return true;
    }
    // Wake-ups written since Take (8 bytes each, up to the pipe's capacity).
    int Count() const {
        int bytes = 0;
        return m_nRead >= 0 && ioctl(m_nRead, FIONREAD, &bytes) == 0 ? bytes / 8 : 0;
    }

private:
    int m_nRead = -1;
};

// While alive, a thread that makes wake-ups without records: writes the
// descriptor every 100 us. Nothing in the default build, which has none.
class SpuriousWakeUps {
public:
    explicit SpuriousWakeUps(int fd) {
        if (fd < 0) {
            return;
        }
        m_thread = std::thread([this, fd] {
            while (!m_bStop.load()) {
                eventfd_write(fd, 1);
                m_nCount.fetch_add(1);
                usleep(100);
            }
        });
    }
    ~SpuriousWakeUps() {
        m_bStop.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint64_t Count() const { return m_nCount.load(); }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nCount{0};
    std::thread m_thread;
};

class WakeTable : public ::testing::TestWithParam<WakeCase> {
protected:
    LostWakeUps m_lost;  // before the engine: outlives it
    EngineRig m_rig;
    udp::CUdpProcess& m_engine = m_rig.engine;
};

// One record at a time, each awaited before the next is queued, so nothing
// but the task's own wait can carry it out: a lost wake-up that left it
// waiting for more traffic would fail the arrival deadline. Heartbeats with
// interval 0 are queued in every pass that finds the heartbeat queue empty,
// so each one is a fresh empty-to-non-empty step for its task.
TEST_P(WakeTable, EveryDatagramLeavesOnceInOrderWithinThePassBound) {
    const WakeCase c = GetParam();
    const int fd = c.heartbeatEndpoint ? m_engine.GetHbWakeFd() : m_engine.GetMsgWakeFd();
    EXPECT_EQ(udp::UdpConnection::kWakeOnQueue, fd >= 0);
    if (fd >= 0 && c.wake == Wake::kLost) {
        ASSERT_TRUE(m_lost.Take(fd));
    }
    if (c.heartbeatEndpoint) {
        m_rig.Heartbeat(2, 0, "HB");
    }
    ASSERT_EQ(0, m_rig.Start());
    SpuriousWakeUps spurious(c.wake == Wake::kSpurious ? fd : -1);
    if (!c.heartbeatEndpoint) {
        for (int sent = 0; sent < 200; ++sent) {
            const std::string payload = "r" + std::to_string(sent);
            m_rig.Send(payload);
            ASSERT_EQ(payload, m_rig.msgTarget.NextBytes(kArrivalMs))
                << "record " << sent << " lost, held back, out of order or duplicated";
        }
    } else {
        const std::vector<Datagram> got = m_rig.hbTarget.Collect(2000);
        ASSERT_GE(got.size(), 10u) << "heartbeats stalled";
        uint64_t longestGap = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ("HB", got[i].bytes);
            if (i > 0) {
                longestGap = std::max(longestGap, got[i].arrivalMs - got[i - 1].arrivalMs);
            }
        }
        EXPECT_LT(longestGap, static_cast<uint64_t>(kArrivalMs));
    }
    // The case really disturbed some wake-ups (the default build has none).
    if (fd >= 0 && c.wake != Wake::kUntouched) {
        EXPECT_GT(c.wake == Wake::kLost ? m_lost.Count() : spurious.Count(), 0u)
            << "no wake-up was disturbed";
    }
    m_engine.SetHeartbeatTranMode(0);
    m_rig.hbTarget.Drain();
    EXPECT_FALSE(m_rig.msgTarget.Recv(300)) << "a datagram nobody queued";
}

std::string CaseName(const ::testing::TestParamInfo<WakeCase>& param) {
    static const char* const kWake[] = {"Untouched", "Lost", "Spurious"};
    return std::string(param.param.heartbeatEndpoint ? "Heartbeat" : "Results") +
           kWake[static_cast<int>(param.param.wake)];
}

INSTANTIATE_TEST_SUITE_P(
    BothEndpoints, WakeTable,
    ::testing::Values(WakeCase{false, Wake::kUntouched}, WakeCase{false, Wake::kLost},
                      WakeCase{false, Wake::kSpurious}, WakeCase{true, Wake::kUntouched},
                      WakeCase{true, Wake::kLost}, WakeCase{true, Wake::kSpurious}),
    CaseName);

// A wake-up without a record is cleared by the task, which then goes back to
// its 1 ms wait: it neither sends anything nor spins on a descriptor left
// readable (a spinning task would take about a whole CPU second per second).
TEST_F(WakeTable, WakeUpWithNothingQueuedIsClearedAndBothTasksGoBackToWaiting) {
    ASSERT_EQ(0, m_rig.Start());
    for (int fd : {m_engine.GetMsgWakeFd(), m_engine.GetHbWakeFd()}) {
        if (fd >= 0) {
            ASSERT_EQ(0, eventfd_write(fd, 3));
        }
    }
    EXPECT_FALSE(m_rig.msgTarget.Recv(300));
    EXPECT_FALSE(m_rig.hbTarget.Recv(0));
    for (int fd : {m_engine.GetMsgWakeFd(), m_engine.GetHbWakeFd()}) {
        if (fd >= 0) {
            EXPECT_FALSE(WaitReadable(fd, 0)) << "wake-up left uncleared";
        }
    }
    const uint64_t cpu0 = ThreadCpuNs("udp_input_task") + ThreadCpuNs("udp_out_task");
    const auto t0 = std::chrono::steady_clock::now();
    usleep(1000000);
    const uint64_t cpu1 = ThreadCpuNs("udp_input_task") + ThreadCpuNs("udp_out_task");
    const auto wallNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(static_cast<double>(cpu1 - cpu0), 0.5 * static_cast<double>(wallNs))
        << "the tasks are busy while nothing is queued";

    m_rig.Send("after");
    EXPECT_EQ("after", m_rig.msgTarget.NextBytes(kArrivalMs));
}

// ---- Descriptors above the select limit -----------------------------------

TEST(CUdpProcessDescriptors, EngineWithSocketsAbove1024SendsAndReceives) {
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    // Root may raise the hard limit too.
    const rlimit raised{std::max<rlim_t>(old.rlim_cur, 2048), std::max<rlim_t>(old.rlim_max, 2048)};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "cannot raise the descriptor limit to 2048";
    }
    std::vector<int> fillers{open("/dev/null", O_RDONLY | O_CLOEXEC)};
    while (fillers.back() >= 0 && fillers.back() < 1100) {
        fillers.push_back(fcntl(fillers[0], F_DUPFD_CLOEXEC, 0));
    }
    ASSERT_GE(fillers.back(), 0);

    // The proxy answers every request with "echo:" and its text.
    CCommProxy::getInstance().SetCommandHandler(
        [](const CCommProxy::MessageInfo& request, std::string& reply) {
            reply = std::string("echo:") + request.szMsg;
            return true;
        });
    {
        EngineRig rig;
        ASSERT_GT(rig.msgTarget.Fd(), 1024);
        rig.Heartbeat(2, 1, "high");
        ASSERT_EQ(0, rig.Start());
        const uint16_t msgPort = rig.engine.GetHostMsgPort();
        EXPECT_EQ(From("high", rig.engine.GetHostHbPort()), rig.hbTarget.NextFrom());
        rig.Send("payload");
        EXPECT_EQ(From("payload", msgPort), rig.msgTarget.NextFrom());
        // A request on the message port is answered to the message target; a
        // datagram on the heartbeat port is read and dropped, never answered.
        UdpPeer client;
        ASSERT_TRUE(client.SendTo(rig.engine.GetHostHbPort(), "dropped"));
        ASSERT_TRUE(client.SendTo(msgPort, "ping"));
        EXPECT_EQ(From("echo:ping", msgPort), rig.msgTarget.NextFrom());
        for (const Datagram& d : rig.hbTarget.Collect(1000)) {
            EXPECT_EQ("high", d.bytes) << "a datagram on the heartbeat port was answered";
        }
        EXPECT_FALSE(rig.msgTarget.Recv(0));
    }
    CCommProxy::getInstance().SetCommandHandler(nullptr);
    EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &old);
}

}  // namespace
