// The communication proxy: queueing, replies on its own thread, idling.
#include "algo/CommProxy.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A gate the handler waits at until the test opens it.
class Latch {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bOpen = true;
        m_cv.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_cv.wait(lock, [this] { return m_bOpen; });
    }

private:
    std::mutex m_mtx;  // guards m_bOpen
    std::condition_variable m_cv;
    bool m_bOpen = false;
};

template <class Pred>
bool WaitUntil(Pred pred) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

CCommProxy::MessageInfo Request(const char* text) {
    CCommProxy::MessageInfo info;
    std::snprintf(info.szMsg, sizeof(info.szMsg), "%s", text);
    info.nMsgLen = static_cast<int32_t>(std::strlen(text));
    info.nLogId = 12;
    return info;
}

TEST(CommProxyTest, MessageInfoLayoutIsTheSharedOne) {
    CCommProxy::MessageInfo info;
    const auto base = reinterpret_cast<uintptr_t>(&info);
    EXPECT_EQ(sizeof(info), 336u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&info.nMsgLen) - base, 128u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&info.nLogId) - base, 264u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&info.fnReply) - base, 296u);
    EXPECT_EQ(sizeof(info.fnReply), 32u);
}

TEST(CommProxyTest, ReplyComesFromTheProxyThreadNotTheCaller) {
    CCommProxy proxy;
    proxy.SetCommandHandler([](const CCommProxy::MessageInfo& request, std::string& reply) {
        reply = std::string("ACK ") + std::string(request.szMsg, request.nMsgLen);
        return true;
    });

    std::mutex mtx;  // guards the three values below
    std::string replyText;
    std::thread::id replyThread;
    char replyThreadName[16] = {};
    std::atomic<bool> replied{false};

    CCommProxy::MessageInfo info = Request("PING");
    info.fnReply = [&](int length, std::string text, void*) {
        std::lock_guard<std::mutex> lock(mtx);
        EXPECT_EQ(length, static_cast<int>(text.size()));
        replyText = std::move(text);
        replyThread = std::this_thread::get_id();
        pthread_getname_np(pthread_self(), replyThreadName, sizeof(replyThreadName));
        replied.store(true);
        return 0;
    };
    ASSERT_EQ(proxy.AsynRecv(info), 0);
    ASSERT_TRUE(WaitUntil([&] { return replied.load(); }));
    std::lock_guard<std::mutex> lock(mtx);
    EXPECT_EQ(replyText, "ACK PING");
    EXPECT_NE(replyThread, std::this_thread::get_id());
    EXPECT_STREQ(replyThreadName, "comm_proxy");
}

TEST(CommProxyTest, FullQueueRefusesTheRecordBeyondItsLimit) {
    CCommProxy proxy;
    proxy.SetQueueLimit(5);
    Latch gate;
    std::atomic<int> handled{0};
    std::atomic<bool> entered{false};
    proxy.SetCommandHandler([&](const CCommProxy::MessageInfo&, std::string&) {
        entered.store(true);
        gate.Wait();
        handled.fetch_add(1);
        return false;
    });

    ASSERT_EQ(proxy.AsynRecv(Request("first")), 0);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));  // worker holds it
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(proxy.AsynRecv(Request("queued")), 0) << i;
    }
    EXPECT_EQ(proxy.AsynRecv(Request("sixth")), CCommProxy::kErrQueueFull);
    EXPECT_FALSE(proxy.WaitIdle(20));  // cannot be idle while the handler waits

    gate.Open();
    ASSERT_TRUE(proxy.WaitIdle(5000));
    EXPECT_EQ(handled.load(), 6);
}

TEST(CommProxyTest, WaitIdleMeansNoCallbackIsHeldAnyMore) {
    CCommProxy proxy;
    proxy.SetCommandHandler([](const CCommProxy::MessageInfo&, std::string& reply) {
        reply = "ok";
        return true;
    });
    auto owner = std::make_shared<int>(0);
    std::atomic<int> replies{0};
    for (int i = 0; i < 20; ++i) {
        CCommProxy::MessageInfo info = Request("x");
        info.fnReply = [owner, &replies](int, std::string, void*) {
            replies.fetch_add(1);
            return 0;
        };
        ASSERT_EQ(proxy.AsynRecv(info), 0);
    }
    ASSERT_TRUE(proxy.WaitIdle(5000));
    EXPECT_EQ(replies.load(), 20);
    EXPECT_EQ(owner.use_count(), 1);
}

TEST(CommProxyTest, ShutdownDropsPendingRecordsAndRefusesNewOnes) {
    CCommProxy proxy;
    Latch gate;
    std::atomic<bool> entered{false};
    proxy.SetCommandHandler([&](const CCommProxy::MessageInfo&, std::string&) {
        entered.store(true);
        gate.Wait();
        return false;
    });
    auto owner = std::make_shared<int>(0);
    CCommProxy::MessageInfo info = Request("x");
    info.fnReply = [owner](int, std::string, void*) { return 0; };
    ASSERT_EQ(proxy.AsynRecv(info), 0);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    ASSERT_EQ(proxy.AsynRecv(info), 0);
    ASSERT_EQ(proxy.AsynRecv(info), 0);
    info.fnReply = nullptr;

    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.Open();
    });
    proxy.Shutdown();  // waits for the request being handled
    opener.join();
    EXPECT_EQ(owner.use_count(), 1);
    EXPECT_EQ(proxy.AsynRecv(Request("late")), CCommProxy::kErrStopped);
    EXPECT_TRUE(proxy.WaitIdle(0));
    proxy.Shutdown();  // a second call is harmless
}

TEST(CommProxyTest, FailingHandlerDoesNotStopTheProxy) {
    CCommProxy proxy;
    std::atomic<int> calls{0};
    proxy.SetCommandHandler([&](const CCommProxy::MessageInfo&, std::string&) -> bool {
        if (calls.fetch_add(1) == 0) {
            throw std::runtime_error("handler broke");
        }
        return false;
    });
    ASSERT_EQ(proxy.AsynRecv(Request("a")), 0);
    ASSERT_EQ(proxy.AsynRecv(Request("b")), 0);
    ASSERT_TRUE(proxy.WaitIdle(5000));
    EXPECT_EQ(calls.load(), 2);

    // Without a handler requests are taken and dropped.
    proxy.SetCommandHandler(nullptr);
    ASSERT_EQ(proxy.AsynRecv(Request("c")), 0);
    EXPECT_TRUE(proxy.WaitIdle(5000));
}

TEST(CommProxyTest, ProcessHasOneInstance) {
    EXPECT_EQ(&CCommProxy::getInstance(), &CCommProxy::getInstance());
    EXPECT_TRUE(CCommProxy::getInstance().WaitIdle(5000));
}

}  // namespace
