// The communication proxy: queueing, replies on its own thread, idling.
#include "algo/CommProxy.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "Wait.h"

namespace {

CCommProxy::MessageInfo Request(const char* text) {
    CCommProxy::MessageInfo info;
    std::snprintf(info.szMsg, sizeof(info.szMsg), "%s", text);
    info.nMsgLen = static_cast<int32_t>(std::strlen(text));
    info.nLogId = 12;
    return info;
}

// A proxy whose handler can be made to stop inside a request until the test
// opens the gate, so that the worker is known to be busy.
class CommProxyTest : public testing::Test {
protected:
    void HoldRequestsAtTheGate() {
        m_proxy.SetCommandHandler([this](const CCommProxy::MessageInfo&, std::string&) {
            m_entered.store(true);
            m_opened.wait();
            m_handled.fetch_add(1);
            return false;
        });
    }

    std::promise<void> m_gate;
    std::shared_future<void> m_opened = m_gate.get_future().share();
    std::atomic<bool> m_entered{false};
    std::atomic<int> m_handled{0};
    CCommProxy m_proxy;  // declared last: its worker is joined before the gate goes
};

TEST_F(CommProxyTest, RepliesComeFromTheProxyThreadAndWaitIdleReleasesEveryCallback) {
    m_proxy.SetCommandHandler([](const CCommProxy::MessageInfo& request, std::string& reply) {
        reply = std::string("ACK ") + std::string(request.szMsg, request.nMsgLen);
        return true;
    });
    std::mutex mtx;  // guards the reply record below, written on the proxy's thread
    std::string lastText;
    bool onCaller = false;
    char threadName[16] = {};
    int replies = 0;
    auto owner = std::make_shared<int>(0);
    for (int i = 0; i < 20; ++i) {
        CCommProxy::MessageInfo info = Request(("PING" + std::to_string(i)).c_str());
        info.fnReply = [&, owner, caller = std::this_thread::get_id()](int length, std::string text,
                                                                       void*) {
            std::lock_guard<std::mutex> lock(mtx);
            EXPECT_EQ(length, static_cast<int>(text.size()));
            lastText = std::move(text);
            onCaller = onCaller || std::this_thread::get_id() == caller;
            pthread_getname_np(pthread_self(), threadName, sizeof(threadName));
            ++replies;
            return 0;
        };
        ASSERT_EQ(m_proxy.AsynRecv(info), 0);  // returns at once, the copy is queued
    }
    ASSERT_TRUE(m_proxy.WaitIdle(5000));
    EXPECT_EQ(owner.use_count(), 1);  // no callback held once idle
    std::lock_guard<std::mutex> lock(mtx);
    EXPECT_EQ(replies, 20);
    EXPECT_EQ(lastText, "ACK PING19");
    EXPECT_FALSE(onCaller);
    EXPECT_STREQ(threadName, "comm_proxy");
}

TEST_F(CommProxyTest, FullQueueRefusesTheRecordBeyondItsLimit) {
    m_proxy.SetQueueLimit(5);
    HoldRequestsAtTheGate();
    ASSERT_EQ(m_proxy.AsynRecv(Request("first")), 0);
    ASSERT_TRUE(ts::WaitFor([&] { return m_entered.load(); }));  // worker holds it
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(m_proxy.AsynRecv(Request("queued")), 0) << i;
    }
    EXPECT_EQ(m_proxy.AsynRecv(Request("sixth")), CCommProxy::kErrQueueFull);
    EXPECT_FALSE(m_proxy.WaitIdle(20));  // cannot be idle while the handler waits

    m_gate.set_value();
    ASSERT_TRUE(m_proxy.WaitIdle(5000));
    EXPECT_EQ(m_handled.load(), 6);
}

TEST_F(CommProxyTest, ShutdownDropsPendingRecordsAndRefusesNewOnes) {
    HoldRequestsAtTheGate();
    auto owner = std::make_shared<int>(0);
    CCommProxy::MessageInfo info = Request("x");
    info.fnReply = [owner](int, std::string, void*) { return 0; };
    ASSERT_EQ(m_proxy.AsynRecv(info), 0);
    ASSERT_TRUE(ts::WaitFor([&] { return m_entered.load(); }));
    ASSERT_EQ(m_proxy.AsynRecv(info), 0);
    ASSERT_EQ(m_proxy.AsynRecv(info), 0);
    info.fnReply = nullptr;

    // Shutdown waits for the request being handled; the gate opens only once
    // it has begun, so the two pending records are known to be dropped.
    std::thread stopper([&] { m_proxy.Shutdown(); });
    EXPECT_TRUE(
        ts::WaitFor([&] { return m_proxy.AsynRecv(Request("late")) == CCommProxy::kErrStopped; }));
    m_gate.set_value();
    stopper.join();
    EXPECT_EQ(m_handled.load(), 1);
    EXPECT_EQ(owner.use_count(), 1);
    EXPECT_TRUE(m_proxy.WaitIdle(0));
    m_proxy.Shutdown();  // a second call is harmless
}

TEST_F(CommProxyTest, ThrowingOrMissingHandlerDoesNotStopTheProxy) {
    std::atomic<int> calls{0};
    m_proxy.SetCommandHandler([&](const CCommProxy::MessageInfo&, std::string&) -> bool {
        if (calls.fetch_add(1) == 0) {
            throw std::runtime_error("handler broke");
        }
        return false;
    });
    ASSERT_EQ(m_proxy.AsynRecv(Request("a")), 0);
    ASSERT_EQ(m_proxy.AsynRecv(Request("b")), 0);
    ASSERT_TRUE(m_proxy.WaitIdle(5000));
    EXPECT_EQ(calls.load(), 2);

    m_proxy.SetCommandHandler(nullptr);  // requests are then taken and dropped
    ASSERT_EQ(m_proxy.AsynRecv(Request("c")), 0);
    EXPECT_TRUE(m_proxy.WaitIdle(5000));
}

}  // namespace
