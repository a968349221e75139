// The module as a host drives it: libudptrans.so loaded with dlopen, the
// module created through the factory, started through SetPwd on a store in a
// temporary folder, fed frames of the host stand-in, and watched on the wire
// by UDP receivers on loopback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AllocCounter.h"
#include "ModuleFixture.h"
#include "algo/Algo.h"
#include "algo/Thread.h"
#include "udptrans/udptrans_host.h"

using namespace ts;

namespace {

class UdptransModule : public ModuleTest {};

// ---- Start-up ---------------------------------------------------------------

TEST_F(UdptransModule, StartBindsStoredPortsAndSendsFromThem) {
    ReadLog();
    ASSERT_EQ(0, Start());
    EXPECT_FALSE(PortIsFree(m_ep.hostPort));
    EXPECT_FALSE(PortIsFree(m_ep.hostHbPort));
    EXPECT_EQ(std::to_string(m_ep.hostPort), Get("HostPort"));
    EXPECT_EQ(std::to_string(m_ep.hostHbPort), Get("HostHeartbeatPort"));
    EXPECT_EQ(std::to_string(m_ep.hostPort), ReadStore(m_dir, "HostPort"));

    Frame frame(1, 1, Bytes("hello"));
    ASSERT_EQ(0, Process(frame));
    EXPECT_EQ(From("hello", m_ep.hostPort), m_ep.msg.NextFrom());
    EXPECT_EQ(1, Logged("udptrans    :0259: udptrans Process start"));
    EXPECT_EQ(1, Logged("udptrans    :0320: udptrans Process end"));
}

TEST_F(UdptransModule, TakenStoredPortEndsAsNextFreePortInStore) {
    UdpPeer taken(INADDR_ANY);
    ASSERT_EQ(0, Start({{"HostPort", std::to_string(taken.Port())}}));

    const int stored = std::stoi(ReadStore(m_dir, "HostPort"));
    EXPECT_GT(stored, taken.Port());
    EXPECT_FALSE(PortIsFree(static_cast<uint16_t>(stored)));
    EXPECT_EQ(std::to_string(stored), Get("HostPort"));
    ASSERT_TRUE(Arrives(m_ep.msg, "moved"));
    EXPECT_EQ(stored, m_lastFromPort);
}

TEST_F(UdptransModule, UnusableTargetLeavesEngineStoppedUntilFixedAndRestarted) {
    const int threads = ThreadCount();
    for (const char* key : {"TargetIp", "TargetHeartbeatIp"}) {
        SCOPED_TRACE(key);
        ASSERT_EQ(0, Start({{key, "255.255.255.255"}}));
        EXPECT_TRUE(PortIsFree(m_ep.hostPort));
        EXPECT_TRUE(PortIsFree(m_ep.hostHbPort));
        EXPECT_EQ(threads, ThreadCount());

        // The broadcast address cannot be set at run time either; a usable
        // one is stored and takes effect at the next start.
        EXPECT_EQ(UDPTRANS_E_ADDRESS_UNUSABLE, Set(key, "255.255.255.255"));
        EXPECT_EQ("255.255.255.255", ReadStore(m_dir, key));
        EXPECT_EQ(0, Set(key, "127.0.0.1"));
        EXPECT_EQ("127.0.0.1", ReadStore(m_dir, key));
        ASSERT_EQ(0, Restart());
        EXPECT_FALSE(PortIsFree(m_ep.hostPort));
        EXPECT_TRUE(Arrives(m_ep.msg, "up"));
        Destroy();
        ASSERT_TRUE(WaitFor([&] { return PortIsFree(m_ep.hostPort); }));
    }
}

TEST_F(UdptransModule, SecondStartRestartsEngineWithRunTimeChanges) {
    ASSERT_EQ(0, Start());
    const int threads = ThreadCount();
    UdpPeer other;
    ASSERT_EQ(0, Set("TargetPort", std::to_string(other.Port())));

    ASSERT_EQ(0, Restart());
    // The old tasks are gone, two new ones run, and the same ports are bound.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads; }));
    EXPECT_FALSE(PortIsFree(m_ep.hostPort));
    EXPECT_EQ(std::to_string(m_ep.hostPort), ReadStore(m_dir, "HostPort"));
    ASSERT_TRUE(Arrives(other, "again"));
    EXPECT_EQ(m_ep.hostPort, m_lastFromPort);
}

// ---- Parameters ---------------------------------------------------------------

TEST_F(UdptransModule, EndpointKeysChangeTheWireAndSurviveRestart) {
    // 127.0.0.2 stays on loopback but is not where the receiver listens.
    ASSERT_EQ(
        0,
        Start({{"TargetIp", "127.0.0.2"}, {"HeartbeatText", "beat"}, {"HeartbeatInterval", "1"}}));

    ASSERT_EQ(0, Set("TargetIp", "127.0.0.1"));
    EXPECT_TRUE(Arrives(m_ep.msg, "to-target"));

    UdpPeer msg2;
    const std::string msg2Port = std::to_string(msg2.Port());
    ASSERT_EQ(0, Set("TargetPort", msg2Port));
    EXPECT_EQ(msg2Port, Get("TargetPort"));
    EXPECT_TRUE(Arrives(msg2, "to-port"));

    const std::string hostPort = std::to_string(UnsharedPort());
    ASSERT_EQ(0, Set("HostPort", hostPort));
    EXPECT_EQ(hostPort, Get("HostPort"));
    ASSERT_TRUE(Arrives(msg2, "from-new-port"));
    EXPECT_EQ(hostPort, std::to_string(m_lastFromPort));
    EXPECT_TRUE(WaitFor([&] { return PortIsFree(m_ep.hostPort); }));

    // Heartbeats on their own endpoint, to their own target.
    const std::string hbPort = std::to_string(UnsharedPort());
    ASSERT_EQ(0, Set("HostHeartbeatPort", hbPort));
    EXPECT_EQ(hbPort, Get("HostHeartbeatPort"));
    UdpPeer hb2;
    const std::string hb2Port = std::to_string(hb2.Port());
    ASSERT_EQ(0, Set("TargetHeartbeatPort", hb2Port));
    EXPECT_EQ(hb2Port, Get("TargetHeartbeatPort"));
    ASSERT_EQ(0, Set("TargetHeartbeatIp", "127.0.0.1"));
    ASSERT_EQ(0, Set("HeartbeatTranMode", "2"));
    EXPECT_EQ("'beat' from " + hbPort, hb2.NextFrom(6000));

    ASSERT_EQ(0, Set("HostIp", "10.1.2.3"));
    Destroy();
    ExpectStored({"TargetIp=127.0.0.1", "TargetPort=" + msg2Port, "HostPort=" + hostPort,
                  "HostHeartbeatPort=" + hbPort, "TargetHeartbeatPort=" + hb2Port,
                  "TargetHeartbeatIp=127.0.0.1", "HostIp=10.1.2.3"});

    // A new module on the same folder works exactly as the old one ended.
    Create();
    ASSERT_EQ(0, Restart());
    EXPECT_EQ(hostPort, Get("HostPort"));
    EXPECT_EQ(hbPort, Get("HostHeartbeatPort"));
    EXPECT_EQ("'beat' from " + hbPort, hb2.NextFrom(6000));
    ASSERT_TRUE(Arrives(msg2, "after-restart"));
    EXPECT_EQ(hostPort, std::to_string(m_lastFromPort));
}

TEST_F(UdptransModule, EngineKeysTakeEffectAndSurviveRestart) {
    ASSERT_EQ(0, Start());

    // Heartbeat on the message endpoint with the configured text.
    ASSERT_EQ(0, Set("HeartbeatText", "tick"));
    ASSERT_EQ(0, Set("HeartbeatInterval", "1"));
    ASSERT_EQ(0, Set("HeartbeatTranMode", "1"));
    EXPECT_EQ(From("tick", m_ep.hostPort), m_ep.msg.NextFrom(6000));
    EXPECT_EQ("1", Get("HeartbeatInterval"));

    // Mode 0 (the engine's tests show it silent) keeps the checks below free
    // of heartbeats.
    ASSERT_EQ(0, Set("HeartbeatTranMode", "0"));

    // Triggered mode with a first trigger; enabling the module below records
    // it as answered, so scheduled transmission starts with the next one.
    m_comps.Trigger().SetTriggerMode(1);
    m_comps.Trigger().Trigger();

    // Disabled: the frame is handled, status 0, nothing goes out.
    ASSERT_EQ(0, Set("AlgoEnable", "0"));
    Frame off(1, 1, Bytes("off"));
    ASSERT_EQ(0, Process(off));
    EXPECT_EQ(0, off.Status());
    EXPECT_EQ(std::vector<int>{0}, off.ParamStatus());
    ASSERT_EQ(0, Set("AlgoEnable", "1"));
    for (const auto& d : SendUntilArrives(m_ep.msg, "on")) {
        EXPECT_NE("off", d.bytes);
    }
    // Markers queued while the socket came back follow the first one.
    for (const auto& d : m_ep.msg.Collect(300)) {
        EXPECT_EQ("on", d.bytes);
    }

    // Scheduled transmission: held until the next trigger, then sent no
    // earlier than the delay after that trigger's image time.
    ASSERT_EQ(0, Set("ScheduledTransTime", "400"));
    ASSERT_EQ(0, Set("ScheduledTransEnable", "1"));
    Frame held(2, m_comps.Trigger().TriggerCount() + 1, Bytes("held"));
    ASSERT_EQ(0, Process(held));
    EXPECT_EQ(1, held.Status());
    for (const auto& d : m_ep.msg.Collect(300)) {
        ADD_FAILURE() << "unexpected datagram '" << d.bytes << "'";
    }
    const auto fired = std::chrono::steady_clock::now();
    m_comps.Trigger().Trigger();
    EXPECT_EQ("held", m_ep.msg.NextBytes());
    EXPECT_GE(std::chrono::steady_clock::now() - fired, std::chrono::milliseconds(390));
    // Back to zero so that stopping never waits on a long delay.
    ASSERT_EQ(0, Set("ScheduledTransTime", "0"));
    Destroy();
    ExpectStored({"HeartbeatText=tick", "HeartbeatInterval=1", "HeartbeatTranMode=0",
                  "AlgoEnable=1", "ScheduledTransEnable=1", "ScheduledTransTime=0"});

    // After a restart the held queue starts empty: the next trigger is
    // answered with the substitute, as scheduled transmission is still on.
    Create();
    ASSERT_EQ(0, Restart());
    EXPECT_EQ("tick", Get("HeartbeatText"));
    m_comps.Trigger().Trigger();
    EXPECT_EQ("NG", m_ep.msg.NextBytes());
}

TEST_F(UdptransModule, RefusedValuesChangeNeitherStoreNorWire) {
    ReadLog();
    ASSERT_EQ(0, Start());
    const std::string before = ReadStore(m_dir, "TargetPort");

    EXPECT_EQ(kInvalidArg, m_module->SetParam("TargetPort", "9", 0));
    EXPECT_EQ(kInvalidArg, m_module->SetParam(nullptr, "9", 1));
    EXPECT_EQ(kInvalidArg, m_module->SetParam("", "9", 1));
    EXPECT_EQ(kInvalidArg, m_module->SetParam("TargetPort", nullptr, 1));
    EXPECT_EQ(UDPTRANS_E_BAD_VALUE, Set("TargetPort", "70000"));
    EXPECT_EQ(UDPTRANS_E_UNKNOWN_KEY, Set("NoSuchKey", "1"));
    // The module checks addresses itself: a malformed one is its own code.
    EXPECT_EQ(UDPTRANS_E_ADDRESS, Set("TargetIp", "1.2.3"));
    EXPECT_EQ(UDPTRANS_E_ADDRESS, Set("TargetHeartbeatIp", "10.0.0.256"));
    EXPECT_EQ(UDPTRANS_E_BAD_VALUE, Set("TargetIp", "1234.1234.1234.1"));
    EXPECT_EQ(UDPTRANS_E_BAD_VALUE, Set("HeartbeatInterval", "0"));
    EXPECT_EQ(UDPTRANS_E_ADDRESS_UNUSABLE, Set("TargetIp", "255.255.255.255"));
    EXPECT_EQ(UDPTRANS_E_ADDRESS_UNUSABLE, Set("TargetHeartbeatIp", "255.255.255.255"));
    // The any-address is the description's refusal for the two targets.
    EXPECT_EQ(UDPTRANS_E_BAD_VALUE, Set("TargetIp", "0.0.0.0"));
    EXPECT_EQ(UDPTRANS_E_BAD_VALUE, Set("TargetHeartbeatIp", "0.0.0.0"));
    EXPECT_EQ(1, Logged("SetParam TargetPort value 70000 is not valid"));

    EXPECT_EQ(before, Get("TargetPort"));
    ExpectStored({"TargetPort=" + before, "TargetIp=127.0.0.1", "TargetHeartbeatIp=127.0.0.1"});
    // The first datagram still reaches the old target.
    EXPECT_EQ(1u, SendUntilArrives(m_ep.msg, "unchanged").size());

    // Keys the module has no value of its own for are left alone.
    EXPECT_EQ(0, m_module->UpSingleParam("TargetPort", true));
    EXPECT_EQ(before, ReadStore(m_dir, "TargetPort"));
    EXPECT_EQ(kInvalidArg, m_module->UpSingleParam(nullptr, false));
}

TEST_F(UdptransModule, GetParamCutsToBufferAndAnswersWithoutThrowing) {
    ReadLog();
    ASSERT_EQ(0, Start());
    ASSERT_EQ(0, Set("HeartbeatText", "HEARTBEAT"));

    char buf[8];
    int len = 77;
    std::memset(buf, 'z', sizeof(buf));
    ASSERT_EQ(0, m_module->GetParam("HeartbeatText", buf, 4, &len));
    EXPECT_STREQ("HEA", buf);
    EXPECT_EQ(3, len);

    len = 77;
    ASSERT_EQ(0, m_module->GetParam("HostPort", buf, 4, &len));
    EXPECT_STREQ(std::to_string(m_ep.hostPort).substr(0, 3).c_str(), buf);
    EXPECT_EQ(77, len);

    // The target addresses are not reported: buffer and length stay.
    std::memset(buf, 'z', sizeof(buf));
    ASSERT_EQ(0, m_module->GetParam("TargetIp", buf, sizeof(buf), &len));
    EXPECT_EQ('z', buf[0]);
    EXPECT_EQ(77, len);

    EXPECT_EQ(UDPTRANS_E_UNKNOWN_KEY, m_module->GetParam("NoSuchKey", buf, 8, &len));
    EXPECT_EQ(kInvalidArg, m_module->GetParam("HostPort", buf, 0, &len));
    EXPECT_EQ(kInvalidArg, m_module->GetParam("HostPort", nullptr, 8, &len));
    EXPECT_EQ(kInvalidArg, m_module->GetParam("HostPort", buf, 8, nullptr));

    // "HostIp" reports eth0 (when this machine has an address there) and
    // UpSingleParam stores exactly that; without one, nothing is stored.
    char ip[32] = {0};
    ASSERT_EQ(0, m_module->GetParam("HostIp", ip, sizeof(ip), &len));
    const int up = m_module->UpSingleParam("HostIp", false);
    if (ip[0] == '\0') {
        EXPECT_EQ(UDPTRANS_E_HOST_ADDRESS, up);
        EXPECT_EQ("0.0.0.0", ReadStore(m_dir, "HostIp"));
        EXPECT_GE(Logged("get ip addr failed!"), 1);
    } else {
        EXPECT_EQ(0, up);
        EXPECT_EQ(ip, ReadStore(m_dir, "HostIp"));
    }
}

// ---- Frames ---------------------------------------------------------------------

// The engine's tests try every size around the limit; through the module, a
// block beyond it and an empty one, which has no data pointer. The status
// goes into the first element of "SINGLE_param_status"; further elements
// (another module of the chain may have written them) stay.
TEST_F(UdptransModule, ResultGoesOutAsItsFirst1028BytesAndStatusTakesTheFirstElement) {
    ASSERT_EQ(0, Start());
    const struct {
        std::string payload;
        std::vector<int> statusBefore;
        std::vector<int> statusAfter;
    } rows[] = {{Pattern(2000), {}, {1}}, {"", {5, 6, 7}, {1, 6, 7}}};
    for (const auto& row : rows) {
        SCOPED_TRACE("payload of " + std::to_string(row.payload.size()) + " bytes");
        Frame frame(1, 1, Bytes(row.payload));
        frame.OutputRecord().pOutput->mapIntVec[UDPTRANS_FRAME_PARAM_STATUS] = row.statusBefore;
        ASSERT_EQ(0, Process(frame));
        EXPECT_EQ(1, frame.Status());
        EXPECT_EQ(row.statusAfter, frame.ParamStatus());
        EXPECT_EQ(row.payload.substr(0, 1028), m_ep.msg.NextBytes());
    }
}

TEST_F(UdptransModule, EarlyExitsLeaveOutputsUntouched) {
    ReadLog();
    ASSERT_EQ(0, Start());
    using namespace zerran_app;
    const std::pair<unsigned, const char*> cases[] = {
        {kPartAll & ~kPartFrameRecord, ":0264: get frame by id failed"},
        {kPartAll & ~kPartFrameCount, ":0271: get subscribe SINGLE_frame_cnt failed"},
        {kPartAll & ~kPartTriggerCount, ":0278: get subscribe SINGLE_trigger_cnt failed"},
        {kPartAll & ~kPartBinaryRecord, ":0286: get subscribe SINGLE_obj_binary failed"},
        {kPartAll & ~kPartBinaryBuffer, ":0286: get subscribe SINGLE_obj_binary failed"},
    };
    for (const auto& [parts, line] : cases) {
        SCOPED_TRACE(line);
        LogCapture::Get().Clear();
        Frame frame(1, 1, Bytes("lost"), parts);
        EXPECT_TRUE(Refused(frame));
        EXPECT_EQ(1, Logged(line));
        EXPECT_EQ(0, Logged("udptrans Process end"));
    }

    // An entry that holds no buffer, a frame without output record, and no
    // handles at all: refused, nothing written.
    Frame empty(1, 1, Bytes("lost"));
    empty.InputRecord().mapInput[UDPTRANS_FRAME_RESULT]->mapBuffer[UDPTRANS_FRAME_RESULT] = nullptr;
    EXPECT_TRUE(Refused(empty));
    Frame noOutput(1, 1, Bytes("lost"), kPartAll & ~kPartOutput);
    EXPECT_EQ(kNoData, Process(noOutput));
    EXPECT_EQ(kNoData, m_module->Process(nullptr, nullptr));

    // Nothing of the above was queued: the marker is the first to arrive.
    EXPECT_EQ(1u, SendUntilArrives(m_ep.msg, "marker").size());
}

TEST_F(UdptransModule, FramePathAllocatesNothing) {
    if (!kAllocsCounted) {
        GTEST_SKIP() << "allocation count needs the plain allocator";
    }
    ASSERT_EQ(0, Start({{"AlgoEnable", "0"}}));
    Frame frame(1, 1, Bytes("frame"));
    ASSERT_EQ(0, Process(frame));  // first use: outputs inserted
    // Heap allocations on the host's thread over 100 frames.
    auto allocsOver100Frames = [&](int first) {
        const uint64_t before = ThreadAllocs();
        for (int i = first; i < first + 100; ++i) {
            frame.SetCounters(i, i);
            Process(frame);
        }
        return ThreadAllocs() - before;
    };
    EXPECT_EQ(0u, allocsOver100Frames(0));
    EXPECT_EQ(0, frame.Status());

    // Enabled, each frame is copied into the endpoint's fixed send queue: still
    // nothing allocated on the host's thread.
    ASSERT_EQ(0, Set("AlgoEnable", "1"));
    EXPECT_EQ(0u, allocsOver100Frames(100));
    EXPECT_EQ(1, frame.Status());
}

TEST_F(UdptransModule, SendGateDropsResultsOfAnsweredTriggers) {
    ReadLog();
    auto& trigger = m_comps.Trigger();
    ASSERT_EQ(0, StartScheduled(7));

    Frame answered(1, 7, Bytes("stale"));
    EXPECT_TRUE(Refused(answered));
    EXPECT_EQ(1, Logged(":0316: get subscribe failed, no data"));
    EXPECT_EQ(1, Logged(":0317: nTrigger:7, m_nRecord:7"));
    EXPECT_EQ(1, Logged(":0320: udptrans Process end"));

    Frame next(2, 8, Bytes("r8"));
    ASSERT_EQ(0, Process(next));
    EXPECT_EQ(1, next.Status());
    EXPECT_TRUE(m_ep.msg.Collect(200).empty());  // held for trigger 8
    trigger.Trigger();
    EXPECT_EQ("r8", m_ep.msg.NextBytes());

    // Trigger 8 has gone out (the engine records the answered trigger before
    // it sends the answer): a late result for it is dropped, unless it comes
    // from a test image.
    Frame late(3, 8, Bytes("late"));
    EXPECT_TRUE(Refused(late));
    m_comps.Image().SetTestImage(1);
    Frame test(4, 8, Bytes("test"));
    ASSERT_EQ(0, Process(test));
    EXPECT_EQ(1, test.Status());
    trigger.Trigger();
    EXPECT_EQ("test", m_ep.msg.NextBytes());
    m_comps.Image().SetTestImage(0);

    // Outside triggered mode the count is not compared and results go at once.
    Frame probe(5, trigger.TriggerCount(), Bytes("probe"));
    EXPECT_EQ(kNoData, Process(probe));
    trigger.SetTriggerMode(0);
    Frame untriggered(6, trigger.TriggerCount(), Bytes("free"));
    ASSERT_EQ(0, Process(untriggered));
    EXPECT_EQ("free", m_ep.msg.NextBytes());
    // A getter that fails lets the result through as well.
    trigger.SetTriggerMode(1);
    m_comps.Image().SetFailure(UDPTRANS_IMAGE_TEST_IMAGE, 5);
    Frame failing(7, trigger.TriggerCount(), Bytes("f"));
    EXPECT_EQ(0, Process(failing));
    m_comps.Image().SetFailure(UDPTRANS_IMAGE_TEST_IMAGE, 0);
    ASSERT_EQ(0, Set("ScheduledTransEnable", "0"));
}

TEST_F(UdptransModule, MissingComponentsRefuseEveryFrame) {
    ReadLog();
    ASSERT_EQ(0, Start());
    auto& pool = Infra::Component::CComObjectPool::getInstance();
    pool.unregisterComponent(zerran_app::ITriggerSource::kComponentName);
    Frame noTrigger(1, 1, Bytes("a"));
    EXPECT_TRUE(Refused(noTrigger));
    EXPECT_EQ(1, Logged(":0218: trigger source instance nullptr"));

    // Also when disabled: the components are consulted first.
    ASSERT_EQ(0, Set("AlgoEnable", "0"));
    Frame disabled(2, 2, Bytes("b"));
    EXPECT_TRUE(Refused(disabled));
    ASSERT_EQ(0, Set("AlgoEnable", "1"));
    ASSERT_EQ(0, zerran_app::RegisterComponents(std::make_shared<zerran_app::CLocalTriggerSource>(),
                                                nullptr));

    pool.unregisterComponent(zerran_app::IImageProcess::kComponentName);
    Frame noImage(3, 3, Bytes("c"));
    EXPECT_TRUE(Refused(noImage));
    EXPECT_EQ(1, Logged(":0224: image process instance nullptr"));
    ASSERT_EQ(0, zerran_app::RegisterComponents(
                     nullptr, std::make_shared<zerran_app::CLocalImageProcess>()));

    EXPECT_EQ(1u, SendUntilArrives(m_ep.msg, "marker").size());
}

// ---- Exceptions that pass to the host ---------------------------------------------

// The library's parameter description without `key`, written into `dir`: a
// store built from it throws std::invalid_argument for that key.
std::string DescriptionWithout(const TempDir& dir, const std::string& key) {
    std::ifstream in(DescriptionPath());
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + " ", 0) != 0) {
            text += line + "\n";
        }
    }
    const std::string path = dir.Path() + "/without-" + key + ".pdesc";
    EXPECT_TRUE(ts::WriteFile(path, text));
    return path;
}

// Initialisation catches nothing: the engine is created (or stopped) first,
// then the keys are read and applied one by one, and a key the store cannot
// give ends the start with the store's exception in the host's hands. Frame
// processing answers an unreadable "AlgoEnable" or "ScheduledTransEnable"
// with its code and line.
TEST_F(UdptransModule, StoreExceptionsPassFromStartAndTwoAreAnsweredInProcess) {
    ReadLog();
    ASSERT_EQ(0, Start());
    ASSERT_FALSE(PortIsFree(m_ep.hostPort));
    // Re-initialisation: the running engine is stopped before the first key
    // is read, so it stays stopped when "AlgoEnable" is missing.
    // Each start below reads a description that lacks one key.
    auto restartWithout = [&](const std::string& key) {
        static_cast<CAlgo*>(m_module)->SetDescriptionPath(DescriptionWithout(m_dir, key));
        EXPECT_THROW(Restart(), std::invalid_argument) << key;
    };
    restartWithout("AlgoEnable");
    EXPECT_TRUE(PortIsFree(m_ep.hostPort));
    EXPECT_TRUE(PortIsFree(m_ep.hostHbPort));
    Frame frame(1, 1, Bytes("x"));
    EXPECT_TRUE(Refused(frame, kInvalidArg));
    EXPECT_EQ(1, Logged("udptrans    :0296: Get Param Filed unknown parameter key AlgoEnable"));
    EXPECT_EQ(0, Logged("udptrans Process end"));

    // In triggered mode the gate reads "ScheduledTransEnable": unreadable,
    // the frame is dropped with the gate's lines.
    restartWithout("ScheduledTransEnable");
    m_comps.Trigger().SetTriggerMode(1);
    ts::LogCapture::Get().Clear();
    EXPECT_TRUE(Refused(frame));
    EXPECT_EQ(1, Logged(":0244: Get Param Filed unknown parameter key ScheduledTransEnable"));
    EXPECT_EQ(1, Logged(":0316: get subscribe failed, no data"));
    EXPECT_EQ(1, Logged(":0320: udptrans Process end"));
    Destroy();

    // A first start that throws halfway: the steps before the missing key
    // ran (eth0 was asked for its address), no socket was bound, and the
    // module is destroyed as usual.
    const int threads = ThreadCount();
    Create();
    ts::LogCapture::Get().Clear();
    restartWithout("TargetPort");
    EXPECT_EQ(1, Logged("ip_addr is") + Logged("get ip addr failed!"));
    EXPECT_TRUE(PortIsFree(m_ep.hostPort));
    Destroy();
    EXPECT_EQ(threads, ThreadCount());
}

// An image-process component whose getter throws.
class ThrowingImageProcess : public zerran_app::IImageProcess {
public:
    int GetIntParam(const std::string&, int&) override { throw std::runtime_error("camera gone"); }
};

// Anything but the store's std::invalid_argument passes through Process to
// the host, which can go on with the next frame.
TEST_F(UdptransModule, ComponentExceptionInProcessPassesToTheHost) {
    ASSERT_EQ(0, Start());
    auto& pool = Infra::Component::CComObjectPool::getInstance();
    pool.unregisterComponent(zerran_app::IImageProcess::kComponentName);
    ASSERT_EQ(0, pool.registerComponent(zerran_app::IImageProcess::kComponentName,
                                        std::make_shared<ThrowingImageProcess>()));
    Frame frame(1, 1, Bytes("thrown"));
    EXPECT_THROW(Process(frame), std::runtime_error);
    EXPECT_TRUE(OutputUntouched(frame));
    pool.unregisterComponent(zerran_app::IImageProcess::kComponentName);
    ASSERT_EQ(0, zerran_app::RegisterComponents(
                     nullptr, std::make_shared<zerran_app::CLocalImageProcess>()));
    EXPECT_EQ(1u, SendUntilArrives(m_ep.msg, "after").size());
}

// ---- The exported runtime ---------------------------------------------------------

int g_nSpawns = 0;
int CountSpawn(const char* name, void* (*)(void*)) {
    ++g_nSpawns;
    return std::string(name) == "log_print" ? 7 : -9;  // no thread: nothing is drained
}

// Through the loaded library: successful sends leave errno as the caller had
// it, and the ring's size is units x 512 in log_buf_init's unsigned
// arithmetic, whose verdict is log_prt_init's result (0 units are refused
// there; -8388607 units wrap to a 512-byte ring, which is made and drained).
TEST_F(UdptransModule, RuntimeLeavesErrnoAloneAndHandsUnitsToTheRing) {
    using SendFn = int (*)(int, const char*, int, unsigned int);
    using SendErrFn = int (*)(int, const char*, int, unsigned int, int*);
    const auto utilSend = m_lib.Sym<SendFn>("util_send");
    const auto sendnWithError = m_lib.Sym<SendErrFn>("sendn_with_error");
    ASSERT_TRUE(utilSend != nullptr && sendnWithError != nullptr);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    for (unsigned int limit : {0xFFFFFFFFu, 1000u}) {
        errno = EDOM;
        EXPECT_EQ(3, utilSend(fds[0], "abc", 3, limit)) << limit;
        EXPECT_EQ(EDOM, errno) << "util_send, limit " << limit;
        int error = 77;
        errno = EDOM;
        EXPECT_EQ(3, sendnWithError(fds[0], "abc", 3, limit, &error)) << limit;
        EXPECT_EQ(0, error);
        EXPECT_EQ(EDOM, errno) << "sendn_with_error, limit " << limit;
    }
    close(fds[0]);
    close(fds[1]);

    const auto prtInit =
        m_lib.Sym<int (*)(int, int, int (*)(const char*, void* (*)(void*)))>("log_prt_init");
    const auto bufDeinit = m_lib.Sym<int (*)()>("log_buf_deinit");
    ASSERT_TRUE(prtInit != nullptr && bufDeinit != nullptr);
    g_nSpawns = 0;
    EXPECT_EQ(-1, prtInit(1, 0, CountSpawn));
    EXPECT_EQ(0, g_nSpawns);
    EXPECT_EQ(7, prtInit(1, -8388607, CountSpawn));
    EXPECT_EQ(1, g_nSpawns);
    EXPECT_EQ(-1, prtInit(1, 4, CountSpawn));  // the ring is there already
    EXPECT_EQ(1, g_nSpawns);
    EXPECT_EQ(0, bufDeinit());
    EXPECT_EQ(0, prtInit(0, 0, nullptr));
}

// ---- Life cycle -------------------------------------------------------------------

TEST_F(UdptransModule, UnstartedModuleRefusesWorkAndLeavesNothingBehind) {
    m_lib.destroy(nullptr, nullptr);
    const int threads = ThreadCount();
    for (int i = 0; i < 3; ++i) {
        Create();
        Destroy();
    }
    Create();
    EXPECT_EQ(kInvalidArg, m_module->SetPwd(nullptr));
    EXPECT_EQ(kInvalidArg, m_module->SetProcedureName(nullptr));
    EXPECT_EQ(kInvalidArg, m_module->SetProcedureName("proc"));
    EXPECT_EQ(kInvalidArg, m_module->GetDebugInfo(nullptr));
    EXPECT_EQ(kInvalidArg, Set("AlgoEnable", "1"));
    char buf[16];
    int len = 0;
    EXPECT_EQ(kInvalidArg, m_module->GetParam("AlgoEnable", buf, sizeof(buf), &len));
    Frame frame(1, 1, Bytes("early"));
    EXPECT_TRUE(Refused(frame));
    Destroy();
    EXPECT_EQ(threads, ThreadCount());

    // Started, the procedure name is taken.
    ASSERT_EQ(0, Start());
    EXPECT_EQ(0, m_module->SetProcedureName("proc"));
}

// ---- The framework's thread model ---------------------------------------------

// The engine asks for 10240-byte task stacks. On exact stacks (a guard page
// right below, so running past one faults) both tasks go through their
// heaviest paths: results, requests with answers, heartbeats in both modes,
// redirects, port changes, scheduled transmission with failing trigger
// queries, and every line of the module formatted for direct output and the
// log callback. The deepest use must stay well inside the 10240 bytes.
TEST_F(UdptransModule, TasksStayWellInsideTheirRequestedStacks) {
    ReadLog();
    constexpr long kRequested = 10240;
    constexpr long kBudget = 6144;
    if (thread_spawn_exact_stack(1) != 0) {
        GTEST_SKIP() << "sanitizer build: its stack frames are not the device's; "
                        "the figures come from the release build";
    }
    const std::shared_ptr<void> exactOff(nullptr, [](void*) { thread_spawn_exact_stack(0); });
    // Every line of the module is written out directly as well, with its time
    // stamp.
    m_lib.priority(kModuleId, 3);
    const auto timestamp = m_lib.Sym<void (*)(int)>("log_set_timestamp_en");
    ASSERT_NE(nullptr, timestamp);
    timestamp(1);
    const std::shared_ptr<void> timestampOff(nullptr, [timestamp](void*) { timestamp(0); });
    AnswerRequests(std::string(600, 'a'));  // answers longer than a datagram

    ASSERT_EQ(
        0,
        Start({{"HeartbeatTranMode", "1"}, {"HeartbeatInterval", "1"}, {"HeartbeatText", "HB"}}));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(Arrives(m_ep.msg, "result " + std::to_string(i) + std::string(1000, 'r')));
        ts::SendDatagram(m_ep.hostPort, "request " + std::to_string(i) + std::string(300, 'q'));
    }
    EXPECT_TRUE(WaitFor([&] { return m_ep.msg.RecvUntil("HB", 50).has_value(); }));
    ASSERT_EQ(0, Set("HeartbeatText", "HB2"));
    ASSERT_EQ(0, Set("HeartbeatTranMode", "2"));
    EXPECT_TRUE(m_ep.hb.RecvUntil("HB2", 5000));

    // Redirects and port changes, on both endpoints.
    UdpPeer other;
    ASSERT_EQ(0, Set("TargetPort", std::to_string(other.Port())));
    ASSERT_EQ(0, Set("TargetHeartbeatPort", std::to_string(other.Port())));
    EXPECT_TRUE(Arrives(other, "redirected"));
    ASSERT_EQ(0, Set("HostPort", std::to_string(ts::UnsharedPort())));
    ASSERT_EQ(0, Set("HostHeartbeatPort", std::to_string(ts::UnsharedPort())));
    EXPECT_TRUE(Arrives(other, "moved"));
    ASSERT_EQ(0, Set("TargetPort", std::to_string(m_ep.msg.Port())));

    // Scheduled transmission: answers with "NG", then trigger queries that fail.
    m_comps.Trigger().SetTriggerMode(1);
    m_comps.Trigger().Trigger();
    ASSERT_EQ(0, Set("ScheduledTransEnable", "1"));
    m_comps.Trigger().Trigger();
    EXPECT_TRUE(m_ep.msg.RecvUntil("NG", 5000));
    for (const char* key : {"TriggerImageTime", "TriggerCount", "TriggerMode"}) {
        ASSERT_EQ(0, m_comps.Trigger().SetFailure(key, -7));
        m_comps.Trigger().Trigger();
        EXPECT_TRUE(WaitFor([] { return Logged("failed") > 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(0, m_comps.Trigger().SetFailure(key, 0));
    }
    EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
    Destroy();

    for (const char* task : {"udp_input_task", "udp_out_task"}) {
        long peak = -1;
        EXPECT_TRUE(WaitFor([&] { return (peak = thread_stack_peak(task)) >= 0; })) << task;
        std::fprintf(stderr, "%s: %ld of %ld stack bytes used (budget %ld)\n", task, peak,
                     kRequested, kBudget);
        EXPECT_LE(peak, kBudget) << task;
    }
}

// Loading, starting, using and unloading the module many times leaves no
// thread, socket or memory behind (the sanitizer builds check the rest). The
// last rounds run on a framework that makes every thread detached: DeInit
// still returns only when nothing of the engine runs, so the tasks' threads
// are gone at once and the library can be unloaded right away. Each round a
// command comes in, so that a reply callback may be in flight around the
// unload; every tenth round waits for its answer.
TEST_F(UdptransModule, HundredLoadStartProcessUnloadCyclesThenDetachedTasks) {
    AnswerRequests("ack:");
    const std::shared_ptr<void> detachedOff(nullptr, [](void*) { thread_spawn_force_detached(0); });
    const StoreValues heartbeats = {{"HeartbeatTranMode", "2"}, {"HeartbeatInterval", "1"}};
    m_lib.Close();
    const int threads = ThreadCount();
    for (int cycle = 0; cycle < 120; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        thread_spawn_force_detached(cycle < 100 ? 0 : 1);
        ASSERT_TRUE(m_lib.Open());
        ASSERT_EQ(0, Start(heartbeats));
        // The message task names itself before it sends: once a result has
        // arrived, it runs under its name.
        ASSERT_TRUE(Arrives(m_ep.msg, "cycle"));
        ASSERT_EQ(1, ts::ThreadsNamed("udp_input_task"));
        ts::SendDatagram(m_ep.hostPort, "cmd");
        if (cycle % 10 == 0) {
            EXPECT_TRUE(m_ep.msg.RecvUntil("ack:cmd", 10000));
        }
        Destroy();
        EXPECT_EQ(0, ts::ThreadsNamed("udp_input_task"));
        EXPECT_EQ(0, ts::ThreadsNamed("udp_out_task"));
        m_lib.Close();
        ASSERT_EQ(threads, ThreadCount());
        ASSERT_TRUE(PortIsFree(m_ep.hostPort));
        m_ep.msg.Drain();
        m_ep.hb.Drain();
    }
}

}  // namespace
