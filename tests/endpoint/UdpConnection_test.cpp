// udp::UdpConnection on real loopback sockets: binding and port rules, the
// send queue and what reaches the wire (with the low-latency build's wake-up
// descriptor), re-direction, and the receive path through the process-wide
// communication proxy with a recording handler.
#include "UdpConnection.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "UdpPeer.h"
#include "algo/CommProxy.h"
#include "udptrans/udptrans_api.h"

namespace {

using udp::UdpConnection;
using udp::UdpMessage;

constexpr int kLogId = 7;
constexpr unsigned int kLoopback = 0x7F000001;  // 127.0.0.1, host order
constexpr int kWaitMs = 5000;

// Message texts at `level` in capture order, with the fixed prefix (tag, id,
// module, file, line number) and an error's colour escapes checked and removed.
std::vector<std::string> LoggedTexts(int level) {
    const bool err = level == 6;
    const std::string head =
        std::string(err ? "\033[31m| Err " : "| Info") + " | 007udptrans | UdpConnection:";
    const std::string tail = err ? "\033[0m" : "";
    std::vector<std::string> out;
    const size_t body = head.size() + 6;  // after the line number and ": "
    for (const ts::LogCapture::Line& l : ts::LogCapture::Get().Lines()) {
        if (l.level != level) {
            continue;
        }
        const std::string& t = l.text;
        const bool ok = t.compare(0, head.size(), head) == 0 && t.size() >= body + tail.size() &&
                        t.compare(head.size() + 4, 2, ": ") == 0 &&
                        t.compare(t.size() - tail.size(), tail.size(), tail) == 0;
        out.push_back(ok ? t.substr(body, t.size() - body - tail.size()) : "BAD PREFIX: " + t);
    }
    return out;
}

bool Logged(int level, const std::string& text) {
    const std::vector<std::string> texts = LoggedTexts(level);
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

using Peer = ts::UdpPeer;

UdpMessage MakeMsg(const std::string& data) {
    UdpMessage msg{};
    msg.nLen = static_cast<int32_t>(data.size());
    std::memcpy(msg.szData, data.data(), data.size());
    return msg;
}

// ---- Recording proxy handler ---------------------------------------------------

struct SeenRequest {
    std::string szMsg;
    int nMsgLen;
    int nLogId;
};

// Installed in the proxy while alive: records every request, answers with
// `reply` when set, and with `keepReply` keeps a copy of the reply callback as
// a host would.
struct RecordingHandler {
    std::mutex mtx;  // guards everything below: written on the proxy's thread
    std::vector<SeenRequest> seen;
    std::optional<std::string> reply;
    std::function<int(int, std::string, void*)> kept;

    explicit RecordingHandler(bool keepReply = false, std::optional<std::string> answer = {})
        : reply(std::move(answer)) {
        CCommProxy::getInstance().SetCommandHandler(
            [this, keepReply](const CCommProxy::MessageInfo& req, std::string& out) {
                std::lock_guard<std::mutex> lock(mtx);
                seen.push_back({std::string(req.szMsg), req.nMsgLen, req.nLogId});
                if (keepReply) {
                    kept = req.fnReply;
                }
                out = reply.value_or("");
                return reply.has_value();
            });
    }
    ~RecordingHandler() { CCommProxy::getInstance().SetCommandHandler(nullptr); }
    size_t Count() {
        EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(kWaitMs));
        std::lock_guard<std::mutex> lock(mtx);
        return seen.size();
    }
    std::function<int(int, std::string, void*)> TakeKept() {
        EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(kWaitMs));
        std::lock_guard<std::mutex> lock(mtx);
        return std::move(kept);
    }
};

class UdpConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The proxy and the log state live for the whole process: start each
        // test from the same settings.
        CCommProxy& proxy = CCommProxy::getInstance();
        proxy.SetCommandHandler(nullptr);
        proxy.SetQueueLimit(CCommProxy::kDefaultQueueLimit);
        ASSERT_TRUE(proxy.WaitIdle(kWaitMs));
        log_prt_init(0, 0, nullptr);
        log_set_priority(kLogId, 8);  // nothing on stdout; the callback sees every line
        ts::LogCapture::Get().Clear();
        ts::LogCapture::Get().Install(&log_set_callbacker, 0);
    }

    void TearDown() override {
        CCommProxy::getInstance().SetQueueLimit(CCommProxy::kDefaultQueueLimit);
        EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(kWaitMs));
        ts::LogCapture::Get().Install(&log_set_callbacker, -1);
    }

    // An endpoint that is shut down when its last owner lets go (DeInit
    // twice is harmless, so a test may also shut it down itself).
    static std::shared_ptr<UdpConnection> MakeEndpoint() {
        std::shared_ptr<UdpConnection> ep(new UdpConnection, [](UdpConnection* p) {
            p->DeInit();
            delete p;
        });
        ep->SetLogId(kLogId);
        return ep;
    }

    // An endpoint bound to a free port, sending to `target` on loopback.
    std::shared_ptr<UdpConnection> ReadyEndpoint(
        UdpConnection::ConnectionType type = UdpConnection::CONNECTION_MSG) {
        auto ep = MakeEndpoint();
        Start(*ep, type);
        return ep;
    }
    void Start(UdpConnection& ep,
               UdpConnection::ConnectionType type = UdpConnection::CONNECTION_MSG) {
        ep.SetTargetNewIp(kLoopback);
        ep.SetTargetNewPort(m_target.Port());
        EXPECT_EQ(ep.Init(ts::FreePort(), type), 0);
    }

    // `bytes` sent from `peer` to the endpoint; what its Recv returns.
    static int Deliver(Peer& peer, UdpConnection& ep, const std::string& bytes) {
        EXPECT_TRUE(peer.SendTo(ep.GetLocalPort(), bytes));
        EXPECT_TRUE(ts::WaitReadable(ep.GetSockFd()));
        return ep.Recv();
    }

    // One record queued and sent; Send's result.
    static int SendOne(UdpConnection& ep, const std::string& bytes) {
        EXPECT_EQ(ep.InsertSendMsg(MakeMsg(bytes)), 0);
        return ep.Send();
    }

    Peer m_target;  // where ReadyEndpoint sends
};

// ---- Binding ---------------------------------------------------------------------

TEST_F(UdpConnectionTest, TakenPortStepsUpwardWithLogLines) {
    Peer holder(INADDR_ANY);
    ASSERT_TRUE(holder.Bound());
    const unsigned short taken = holder.Port();

    auto ep = MakeEndpoint();
    ASSERT_EQ(ep->Init(taken, UdpConnection::CONNECTION_HB), 0);
    EXPECT_TRUE(ep->GetInited());

    const std::vector<std::string> errs = LoggedTexts(6);
    ASSERT_GE(errs.size(), 2u);
    EXPECT_EQ(errs[0], "bind\n");
    EXPECT_EQ(errs[1], "poll legacy error 0, local_port " + std::to_string(taken + 1) + "\r\n");
    // Further steps are possible when the next port is busy too, but the
    // endpoint must report exactly the port it holds.
    EXPECT_GT(ep->GetLocalPort(), taken);
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), ep->GetLocalPort());
}

TEST_F(UdpConnectionTest, TakenPortFallsBackToPrevious) {
    auto ep = MakeEndpoint();
    const unsigned short first = ts::FreePort();
    ASSERT_EQ(ep->Init(first, UdpConnection::CONNECTION_MSG), 0);
    ASSERT_EQ(ep->GetLocalPort(), first);

    Peer holder(INADDR_ANY);
    ASSERT_TRUE(holder.Bound());
    ep->SetLocalPort(holder.Port());
    EXPECT_EQ(ep->Create(), 0);
    EXPECT_TRUE(ep->GetInited());
    EXPECT_EQ(ep->GetLocalPort(), first);
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), first);
    EXPECT_TRUE(Logged(4, "Enter udp recreate.\r\n"));
    EXPECT_TRUE(Logged(6, "bind\n"));
    EXPECT_TRUE(Logged(4, "RecreateSocket failed, ret=-3\r\n"));

    // Two changes before one Create: the fallback is the first of them, the
    // port the endpoint would have had if the second had never come.
    const unsigned short second = ts::FreePort();
    ep->SetLocalPort(second);
    ep->SetLocalPort(holder.Port());
    EXPECT_EQ(ep->Create(), 0);
    EXPECT_EQ(ep->GetLocalPort(), second);
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), second);

    // A free requested port is taken as asked.
    const unsigned short third = ts::FreePort();
    ep->SetLocalPort(third);
    EXPECT_EQ(ep->Create(), 0);
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), third);
}

TEST_F(UdpConnectionTest, PortSetBeforeInitWinsAndZeroMeansDefault) {
    const unsigned short defaultPort = ts::FreePort();
    const unsigned short chosen = ts::FreePort();
    ASSERT_NE(defaultPort, chosen);

    auto ep = MakeEndpoint();
    ep->SetLocalPort(chosen);
    ASSERT_EQ(ep->Init(defaultPort, UdpConnection::CONNECTION_MSG), 0);
    EXPECT_EQ(ep->GetLocalPort(), chosen);
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), chosen);

    ep->SetLocalPort(0);
    EXPECT_EQ(ep->Create(), 0);
    EXPECT_EQ(ep->GetLocalPort(), defaultPort);  // written back, not left at 0
    EXPECT_EQ(ts::BoundPort(ep->GetSockFd()), defaultPort);
}

TEST_F(UdpConnectionTest, CloseKeepsQueuedRecordsForTheNextSocketAndDeInitIsRepeatable) {
    auto ep = MakeEndpoint();
    EXPECT_EQ(ep->Close(), -1);  // no socket yet: nothing happens
    EXPECT_EQ(ep->GetSockFd(), -1);
    Start(*ep);
    ASSERT_GE(ep->GetSockFd(), 0);

    // Closed while disabled: records are still taken and leave after Create.
    EXPECT_EQ(ep->Close(), -1);
    EXPECT_EQ(ep->GetSockFd(), -1);
    EXPECT_TRUE(ep->GetInited());
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("kept")), 0);
    ASSERT_EQ(ep->Create(), 0);
    EXPECT_EQ(ep->Send(), 4);
    EXPECT_EQ(m_target.NextBytes(), "kept");

    EXPECT_EQ(ep->DeInit(), -1);
    EXPECT_FALSE(ep->GetInited());
    EXPECT_EQ(ep->GetSockFd(), -1);
    EXPECT_EQ(ep->DeInit(), -1);  // twice is harmless
}

// ---- Sending ---------------------------------------------------------------------

TEST_F(UdpConnectionTest, SendPutsExactBytesOnTheWire) {
    auto ep = ReadyEndpoint();
    const std::string big = ts::Pattern(UdpMessage::kMaxPayload);  // zero bytes inside too
    for (const std::string& payload : {std::string(), std::string("hello"), big}) {
        const uint64_t before = get_up_time();
        ASSERT_EQ(ep->InsertSendMsg(MakeMsg(payload)), 0);
        EXPECT_EQ(ep->Send(), static_cast<int>(payload.size()));
        EXPECT_GE(ep->GetLastSendTime(), before);
        EXPECT_EQ(m_target.NextBytes(), payload) << payload.size();
        EXPECT_TRUE(ep->IsSendQueueEmpty());
    }
}

TEST_F(UdpConnectionTest, RecordsLeaveInAcceptanceOrderAcrossProducers) {
    auto ep = ReadyEndpoint();
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 40;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&ep, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                const UdpMessage msg = MakeMsg(std::to_string(p) + ":" + std::to_string(i));
                while (ep->InsertSendMsg(msg) == -2) {
                    std::this_thread::yield();  // full: the consumer drains it
                }
            }
        });
    }

    std::vector<int> next(kProducers, 0);
    for (int received = 0; received < kProducers * kPerProducer;) {
        if (ep->IsSendQueueEmpty()) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_GT(ep->Send(), 0);
        const std::string got = m_target.NextBytes();
        const size_t colon = got.find(':');
        ASSERT_NE(colon, std::string::npos);
        const int p = std::stoi(got.substr(0, colon));
        ASSERT_EQ(std::stoi(got.substr(colon + 1)), next[static_cast<size_t>(p)]++) << got;
        ++received;
    }
    for (std::thread& t : producers) {
        t.join();
    }
    EXPECT_TRUE(ep->IsSendQueueEmpty());
}

// The queue's limits, and the low-latency build's wake-up descriptor: readable
// exactly when a record entered the empty queue and nobody has cleared it since.
TEST_F(UdpConnectionTest, FullQueueRefusesSixthRecordAndOnlyTheEmptyQueueWakes) {
    auto ep = MakeEndpoint();
    const int fd = ep->GetWakeFd();
    EXPECT_EQ(UdpConnection::kWakeOnQueue, fd >= 0);  // else the plain 1 ms poll, no descriptor
    // Whether it is readable now; then cleared, as the task clears it.
    auto woken = [&] {
        const bool readable = fd >= 0 && ts::WaitReadable(fd, 0);
        ep->ClearWake();
        return readable;
    };
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("x")), -1);  // before Init
    EXPECT_EQ(ep->InsertEmptySendMsg(MakeMsg("x")), -1);
    EXPECT_FALSE(woken()) << "a refused record must not wake the task";
    Start(*ep);
    EXPECT_FALSE(woken());

    // Empty queue: Send does nothing and the send time stays.
    EXPECT_EQ(ep->Send(), 0);
    EXPECT_EQ(ep->GetLastSendTime(), 0u);

    // The heartbeat form goes only into an empty queue, and only once.
    EXPECT_EQ(ep->InsertEmptySendMsg(MakeMsg("hb")), 0);
    EXPECT_EQ(UdpConnection::kWakeOnQueue, woken()) << "a heartbeat enters an empty queue";
    EXPECT_EQ(ep->InsertEmptySendMsg(MakeMsg("hb2")), -2);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(ep->InsertSendMsg(MakeMsg("m" + std::to_string(i))), 0);
    }
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("refused")), -2);
    EXPECT_EQ(ep->InsertEmptySendMsg(MakeMsg("hb3")), -2);
    EXPECT_FALSE(woken()) << "records behind a waiting one need no wake-up";

    ASSERT_EQ(ep->Send(), 2);
    EXPECT_NE(ep->GetLastSendTime(), 0u);
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("m5")), 0);  // room again after one Send

    while (!ep->IsSendQueueEmpty()) {
        ASSERT_GT(ep->Send(), 0);
    }
    EXPECT_FALSE(woken()) << "sending never wakes";
    for (const char* expected : {"hb", "m1", "m2", "m3", "m4", "m5"}) {
        EXPECT_EQ(m_target.NextBytes(), expected);
    }
    EXPECT_FALSE(m_target.Recv(50));
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("r")), 0);
    EXPECT_EQ(UdpConnection::kWakeOnQueue, woken()) << "empty-to-non-empty must wake";
    EXPECT_FALSE(woken()) << "cleared, and clearing again is harmless";

    ep->DeInit();
    EXPECT_EQ(ep->InsertSendMsg(MakeMsg("late")), -1);
    EXPECT_EQ(ep->InsertEmptySendMsg(MakeMsg("late")), -1);
}

TEST_F(UdpConnectionTest, UnsetTargetFailsSendAndDropsRecord) {
    auto ep = MakeEndpoint();  // target never configured: 0.0.0.0 port 0
    ASSERT_EQ(ep->Init(ts::FreePort(), UdpConnection::CONNECTION_MSG), 0);
    ASSERT_EQ(ep->InsertSendMsg(MakeMsg("lost")), 0);

    const uint64_t before = get_up_time();
    EXPECT_LT(ep->Send(), 0);
    EXPECT_GE(ep->GetLastSendTime(), before);  // moved although nothing left
    EXPECT_TRUE(ep->IsSendQueueEmpty());       // not put back for a retry
}

TEST_F(UdpConnectionTest, ReDirectWithZeroAddressOrPortKeepsDestination) {
    Peer second;
    auto ep = ReadyEndpoint();
    ep->SetTargetNewPort(0);
    EXPECT_EQ(ep->ReDirect(), 0);
    EXPECT_EQ(ep->GetTargetNewPort(), 0);
    ASSERT_EQ(SendOne(*ep, "a"), 1);
    EXPECT_EQ(m_target.NextBytes(), "a");

    ep->SetTargetNewIp(0);
    ep->SetTargetNewPort(second.Port());
    EXPECT_EQ(ep->ReDirect(), 0);
    ASSERT_EQ(SendOne(*ep, "b"), 1);
    EXPECT_EQ(m_target.NextBytes(), "b");

    ep->SetTargetNewIp(kLoopback);
    EXPECT_EQ(ep->ReDirect(), 0);
    ASSERT_EQ(SendOne(*ep, "c"), 1);
    EXPECT_EQ(second.NextBytes(), "c");
    EXPECT_FALSE(m_target.Recv(50));
    EXPECT_EQ(LoggedTexts(4), std::vector<std::string>(3, "Enter udp ReDirect.\r\n"));
}

// ---- Receiving -------------------------------------------------------------------

TEST_F(UdpConnectionTest, MessageEndpointHandsTextToProxyAndHeartbeatEndpointDropsIt) {
    RecordingHandler handler;
    auto ep = ReadyEndpoint();
    const std::string longText = ts::Pattern(300, 'A', 1, 26);
    EXPECT_EQ(Deliver(m_target, *ep, longText), 256);
    EXPECT_EQ(Deliver(m_target, *ep, std::string("ab\0cd", 5)), 5);
    EXPECT_EQ(Deliver(m_target, *ep, std::string()), 0);
    auto hb = ReadyEndpoint(UdpConnection::CONNECTION_HB);
    EXPECT_EQ(Deliver(m_target, *hb, "ping"), 4);

    // Neither the empty datagram nor the heartbeat endpoint's is handed over.
    ASSERT_EQ(handler.Count(), 2u);
    std::lock_guard<std::mutex> lock(handler.mtx);
    EXPECT_EQ(handler.seen[0].szMsg, longText.substr(0, 127));
    EXPECT_EQ(handler.seen[0].nMsgLen, 256);
    EXPECT_EQ(handler.seen[0].nLogId, kLogId);
    EXPECT_EQ(handler.seen[1].szMsg, "ab");
    EXPECT_EQ(handler.seen[1].nMsgLen, 2);
}

TEST_F(UdpConnectionTest, RefusedHandOverIsLoggedAndReported) {
    RecordingHandler handler;
    auto ep = ReadyEndpoint();
    char text[] = "status?";
    EXPECT_EQ(ep->RecvProcess(nullptr, 3), -1);
    EXPECT_EQ(ep->RecvProcess(text, -1), -1);

    CCommProxy::getInstance().SetQueueLimit(0);  // the proxy takes nothing
    EXPECT_EQ(ep->RecvProcess(text, 7), -2);
    EXPECT_TRUE(
        Logged(6, "Recv failed, ret " + std::to_string(CCommProxy::kErrQueueFull) + " \r\n"));

    // Through Recv the byte count is still reported.
    EXPECT_EQ(Deliver(m_target, *ep, "again"), 5);
    EXPECT_EQ(handler.Count(), 0u);
    EXPECT_EQ(LoggedTexts(6).size(), 2u);
}

TEST_F(UdpConnectionTest, LongReplyIsCutAndSentToConfiguredTarget) {
    RecordingHandler handler(false, ts::Pattern(2000, 'a', 1, 26));
    Peer requester;
    auto ep = ReadyEndpoint();
    ASSERT_EQ(Deliver(requester, *ep, "get"), 3);
    ASSERT_EQ(handler.Count(), 1u);

    ASSERT_FALSE(ep->IsSendQueueEmpty());
    EXPECT_EQ(ep->Send(), 1028);
    EXPECT_TRUE(ep->IsSendQueueEmpty());  // one datagram, not two
    EXPECT_EQ(m_target.NextBytes(), handler.reply->substr(0, 1028));
    EXPECT_FALSE(requester.Recv(50));  // answers never go back to the sender
}

// The host keeps the reply callback; it queues an answer only while there is
// room and the endpoint runs, and it keeps the endpoint alive until released.
TEST_F(UdpConnectionTest, HeldReplyIsRefusedWhenFullOrShutDownAndKeepsEndpointAlive) {
    RecordingHandler handler(true);
    auto ep = ReadyEndpoint();
    const std::weak_ptr<UdpConnection> watch = ep;
    char text[] = "q";
    ASSERT_EQ(ep->RecvProcess(text, 1), 0);
    std::function<int(int, std::string, void*)> reply = handler.TakeKept();
    ASSERT_TRUE(reply);

    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ep->InsertSendMsg(MakeMsg("r" + std::to_string(i))), 0);
    }
    EXPECT_EQ(reply(6, "answer", nullptr), -1);
    EXPECT_TRUE(Logged(6, "InsertSendMsg faild, ret -2\r\n"));
    int sent = 0;
    for (; !ep->IsSendQueueEmpty(); ++sent) {
        ASSERT_EQ(ep->Send(), 2);  // only the five "rN" records, unchanged
    }
    EXPECT_EQ(sent, 5);
    EXPECT_EQ(reply(6, "answer", nullptr), 0);  // room again

    // The owner shuts the endpoint down and lets go; the host still holds a
    // callback, so the object must survive and refuse the late answer.
    ep->DeInit();
    ep.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(reply(4, "late", nullptr), -1);
    EXPECT_TRUE(Logged(6, "InsertSendMsg faild, ret -1\r\n"));

    std::function<int(int, std::string, void*)> copy = reply;  // copies share ownership
    reply = nullptr;
    EXPECT_FALSE(watch.expired());
    copy = nullptr;
    EXPECT_TRUE(watch.expired());
}

}  // namespace
