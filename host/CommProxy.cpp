// CCommProxy: worker thread "comm_proxy" that hands queued requests to the
// host's command handler and sends the answers through each record's fnReply.
#include "algo/CommProxy.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

#include "algo/Thread.h"

CCommProxy& CCommProxy::getInstance() {
    // Function-local static: built on first use, and at process exit its
    // destructor stops and joins the worker, so no std::thread is still
    // joinable when the object goes away (which would call std::terminate).
    // Hosts that unload modules call WaitIdle (or Shutdown) before exit so
    // that no callback into an unloaded object remains queued.
    static CCommProxy instance;
    return instance;
}

CCommProxy::CCommProxy() : m_thread([this] { Run(); }) {}

CCommProxy::~CCommProxy() {
    Shutdown();
    std::lock_guard<std::mutex> lock(m_mtxThread);
    // Shutdown from the worker itself cannot join; the object is going away,
    // so the thread must not stay joinable.
    if (m_thread.joinable()) {
        m_thread.detach();
    }
}

int CCommProxy::AsynRecv(const MessageInfo& info) {
    // Copied before the lock and released after it: the copy of fnReply may
    // allocate, and a refused copy's destruction may drop the last reference
    // to the sender's endpoint.
    MessageInfo copy = info;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_bStop) {
            return kErrStopped;
        }
        if (m_dqWork.size() >= m_nQueueLimit) {
            return kErrQueueFull;
        }
        m_dqWork.push_back(std::move(copy));
    }
    m_cvWork.notify_one();
    return 0;
}

void CCommProxy::SetCommandHandler(CommandHandler handler) {
    CommandHandler old;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        old = std::exchange(m_fnHandler, std::move(handler));
    }
    // `old` dies here, outside the lock: it may own host objects.
}

void CCommProxy::SetQueueLimit(size_t limit) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_nQueueLimit = limit;
}

bool CCommProxy::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mtx);
    auto idle = [this] { return m_dqWork.empty() && !m_bBusy; };
    if (timeoutMs < 0) {
        m_cvIdle.wait(lock, idle);
        return true;
    }
    return m_cvIdle.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

void CCommProxy::Shutdown() {
    std::deque<MessageInfo> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bStop = true;
        dropped.swap(m_dqWork);
    }
    m_cvWork.notify_all();
    // The dropped records (and the module callbacks they hold) are released
    // here, outside m_mtx; then idle waiters may go on.
    dropped.clear();
    m_cvIdle.notify_all();

    std::lock_guard<std::mutex> lock(m_mtxThread);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

void CCommProxy::Run() {
    thread_set_name("comm_proxy");
    for (;;) {
        MessageInfo request;
        CommandHandler handler;
        {
            std::unique_lock<std::mutex> lock(m_mtx);
            m_cvWork.wait(lock, [this] { return m_bStop || !m_dqWork.empty(); });
            if (m_bStop) {
                return;
            }
            request = std::move(m_dqWork.front());
            m_dqWork.pop_front();
            m_bBusy = true;
            handler = m_fnHandler;
        }

        // The handler and the reply callback belong to others: an exception
        // from them must not end the proxy for every other module.
        try {
            std::string reply;
            if (handler && handler(request, reply) && request.fnReply) {
                const int length = static_cast<int>(reply.size());
                request.fnReply(length, std::move(reply), nullptr);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "comm_proxy: request handling failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "comm_proxy: request handling failed\n");
        }
        // Release the module's callback before reporting idle, so WaitIdle
        // really means that nothing of a module is held any more.
        request.fnReply = nullptr;
        handler = nullptr;

        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_bBusy = false;
            idle = m_dqWork.empty();
        }
        if (idle) {
            m_cvIdle.notify_all();
        }
    }
}
