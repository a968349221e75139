// CCommProxy: the application's communication proxy, one per process.
//
// Modules hand it texts that arrived from the network (AsynRecv); a worker
// thread of the proxy passes each text to the command handler that the host
// application installed and, when the handler has an answer, calls the
// record's fnReply with it. AsynRecv never waits for the handler.
//
// Threads: AsynRecv, SetCommandHandler and WaitIdle from any thread; the
// handler and fnReply run on the proxy's own thread "comm_proxy". The process
// instance stops and joins that thread at exit, so a host must not leave a
// handler blocked for ever.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "algo/AlgoExport.h"

class ALGO_API CCommProxy {
public:
    // Shared with modules in memory: the layout is fixed at 336 bytes.
    struct MessageInfo {
        char szMsg[128] = {};
        int32_t nMsgLen = 0;
        char reserved0[132] = {};
        int32_t nLogId = 0;
        char reserved1[28] = {};
        std::function<int(int, std::string, void*)> fnReply;
        char reserved2[8] = {};
    };

    // Returns true and fills `reply` when the request is to be answered.
    using CommandHandler = std::function<bool(const MessageInfo& request, std::string& reply)>;

    static constexpr size_t kDefaultQueueLimit = 64;
    static constexpr int kErrQueueFull = 1;
    static constexpr int kErrStopped = 2;

    static CCommProxy& getInstance();

    // Copies the record (fnReply included) into the work queue and returns at
    // once: 0 accepted, kErrQueueFull when the queue is at its limit,
    // kErrStopped after Shutdown. For an answered request the worker calls
    // fnReply(length of the answer, answer, nullptr).
    int AsynRecv(const MessageInfo& info);

    // Installs the handler; an empty one makes the proxy drop every request.
    void SetCommandHandler(CommandHandler handler);
    void SetQueueLimit(size_t limit);

    // Waits until the queue is empty and no request is being handled, so that
    // no callback of a module is held any more (call before unloading one).
    // True when idle within timeoutMs.
    bool WaitIdle(int timeoutMs);

    // Stops the worker; later AsynRecv calls are refused. Pending records are
    // dropped, releasing their callbacks. Waits for a request being handled.
    void Shutdown();

    CCommProxy();
    ~CCommProxy();
    CCommProxy(const CCommProxy&) = delete;
    CCommProxy& operator=(const CCommProxy&) = delete;

private:
    void Run();

    std::mutex m_mtx;  // guards everything below but m_thread
    std::condition_variable m_cvWork;
    std::condition_variable m_cvIdle;
    std::deque<MessageInfo> m_dqWork;
    CommandHandler m_fnHandler;
    size_t m_nQueueLimit = kDefaultQueueLimit;
    bool m_bBusy = false;
    bool m_bStop = false;
    std::mutex m_mtxThread;  // guards m_thread: Shutdown may come from several threads
    std::thread m_thread;    // started in the constructor, joined by Shutdown
};

// fnReply makes the record non-standard-layout, so offsetof is only
// conditionally supported; g++ computes it as the layout really is, which is
// exactly what these checks are for.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(CCommProxy::MessageInfo) == 336, "MessageInfo layout is fixed");
static_assert(offsetof(CCommProxy::MessageInfo, szMsg) == 0, "szMsg offset");
static_assert(offsetof(CCommProxy::MessageInfo, nMsgLen) == 128, "nMsgLen offset");
static_assert(offsetof(CCommProxy::MessageInfo, nLogId) == 264, "nLogId offset");
static_assert(offsetof(CCommProxy::MessageInfo, fnReply) == 296, "fnReply offset");
#pragma GCC diagnostic pop
