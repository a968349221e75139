// udp::CUdpProcess: the transport engine of the module.
//
// Owns the message endpoint (results, command answers) and the heartbeat
// endpoint, the two worker tasks that serve them ("udp_input_task",
// "udp_out_task"), the held queue of scheduled transmission, and the
// heartbeat and trigger logic.
//
// Threads: the host's thread constructs, configures (setters), feeds
// (InsertSendMsg, SetFrameAndTrigger), starts (Init), stops (DeInit) and
// destroys the engine. The tasks read the settings on every pass. Every value
// that crosses threads is atomic; the heartbeat text is exchanged whole under
// its own lock; m_msgMutex guards the held queue for one step. No lock is held
// across a socket call, a component query or another lock. After DeInit
// returns, no code of the engine runs on any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "algo/Thread.h"
#include "UdpConnection.h"
#include "UdpMessage.h"

namespace udp {

class CUdpProcess {
public:
    static constexpr unsigned short kDefaultMsgPort = 8192;
    static constexpr unsigned short kDefaultHbPort = 8193;
    static constexpr int kErrPortNotConfirmed = -5;  // -EIO
    static constexpr int kErrNoTriggerSource = static_cast<int>(0xE000000Au);

    CUdpProcess();
    ~CUdpProcess();
    CUdpProcess(const CUdpProcess&) = delete;
    CUdpProcess& operator=(const CUdpProcess&) = delete;

    int Init();    // 0, -1 message task not started, -2 heartbeat task not started
    int DeInit();  // result of the heartbeat endpoint's DeInit (-1)

    int SetHostMsgPort(unsigned short port, bool wait);  // 0 or -5
    unsigned short GetHostMsgPort();
    void SetTargetMsgIp(unsigned int ip);  // host byte order
    void SetTargetMsgPort(unsigned short port);
    unsigned short GetTargetMsgPort();
    int SetHostHbPort(unsigned short port, bool wait);  // 0 or -5
    unsigned short GetHostHbPort();
    void SetTargetHbIp(unsigned int ip);
    void SetTargetHbPort(unsigned short port);
    unsigned short GetTargetHbPort();

    int SetLogId(int id);
    int SetProcedureName(const char* name);
    void SetFrameAndTrigger(int frameCount, int triggerCount, int enable);
    void SetModuleEnable(int enable);
    void SetScheduledTransEnable(int enable);
    void SetScheduledTransTime(int ms);
    void SetHeartbeatTranMode(int mode);
    void SetHeartbeatText(const char* text);
    void SetHeartbeatInterval(unsigned long seconds);

    int InsertSendMsg(const void* data, unsigned int length);  // always 0

    // Task bodies and their steps (the tasks' own thread).
    void MsgTaskWorker(void* arg);
    void DispatchQueuedMessages();
    void HBTaskWorker(void* arg);
    bool CheckTriggerMode();
    bool CheckTriggerCount();
    int ProcessScheduledTrans();

    // Read by frame processing; written by the message task and SetModuleEnable.
    std::atomic<int32_t> m_nRecord{-1};

    // Read-only views of the state, for tests (any thread).
    int GetModuleEnable() const { return m_nModuleEnable.load(); }
    // Copies the heartbeat text (NUL-terminated, at most size - 1 characters).
    void GetHeartbeatText(char* buffer, size_t size);
    size_t GetHeldCount();  // payloads waiting in the held queue
    bool IsMsgTaskRunning() const { return m_bMsgTaskRunning.load(); }
    bool IsHbTaskRunning() const { return m_bHbTaskRunning.load(); }
    // The endpoints' wake-up descriptors (-1 in the default build), for tests
    // that provoke lost and spurious wake-ups.
    int GetMsgWakeFd() const { return m_pMsgConn->GetWakeFd(); }
    int GetHbWakeFd() const { return m_pHbConn->GetWakeFd(); }

private:
    // One pass of the socket service that both tasks run on their endpoint;
    // the message role adds dispatch and the heartbeat step and closes its
    // socket while disabled. The caller does the stop check.
    void ServeEndpoint(UdpConnection& conn, std::atomic<bool>& recreate,
                       std::atomic<bool>& redirect, bool messageRole);
    void HeartbeatStep();  // message task
    int SetHostPort(UdpConnection& conn, std::atomic<bool>& recreate, unsigned short port,
                    bool wait);
    // Returns once the task's thread has ended: joined when it is joinable,
    // else waited for by its kernel thread id (host's thread).
    static void AwaitTaskEnd(THREAD_HANDLE handle, std::atomic<pid_t>& tid,
                             const std::atomic<bool>& joinable);

    // Requests and handshakes: the host's thread sets, the serving task
    // clears (requests) or the task sets/clears (running flags).
    std::atomic<bool> m_bExit{false};
    std::atomic<bool> m_bMsgTaskRunning{false};
    std::atomic<bool> m_bHbTaskRunning{false};
    std::atomic<bool> m_bMsgRecreate{false};
    std::atomic<bool> m_bMsgRedirect{false};
    std::atomic<bool> m_bHbRecreate{false};
    std::atomic<bool> m_bHbRedirect{false};
    // Settings: written by the host's thread, read by the tasks.
    std::atomic<int32_t> m_nLogId{0};
    std::atomic<int32_t> m_nFrameCnt{0};
    std::atomic<int32_t> m_nTriggerCnt{0};
    std::atomic<int32_t> m_nModuleEnable{0};
    std::atomic<int32_t> m_nScheduledTransEnable{0};
    std::atomic<uint32_t> m_nScheduledTransTime{0};  // milliseconds
    char m_szProcedureName[128] = {};                // host's thread only
    std::atomic<int32_t> m_nHeartbeatTranMode{0};
    std::atomic<uint64_t> m_nHeartbeatInterval{0};  // seconds
    char m_szHeartbeatText[33] = {};  // guarded by m_mtxHeartbeatText (setter vs message task)
    std::mutex m_mtxHeartbeatText;    // held for one copy of the text only
    // Host's thread only: filled by Init; DeInit joins a task through its
    // handle only when the framework made the thread joinable.
    THREAD_HANDLE m_hMsgTask{};
    THREAD_HANDLE m_hHbTask{};
    bool m_bMsgTaskStarted = false;
    bool m_bHbTaskStarted = false;
    // How DeInit waits for each task's thread to end: each task writes its
    // own as its first action, DeInit reads them once the running flags are
    // down. The kernel thread id serves for a detached thread.
    std::atomic<bool> m_bMsgTaskJoinable{false};
    std::atomic<bool> m_bHbTaskJoinable{false};
    std::atomic<pid_t> m_nMsgTaskTid{0};
    std::atomic<pid_t> m_nHbTaskTid{0};
    std::deque<UdpMessage> m_msgQueue;  // held queue, oldest first; guarded by m_msgMutex
    std::mutex m_msgMutex;              // held for one append, swap or removal
    // Made in the constructor, never replaced, so any thread may use them.
    std::shared_ptr<UdpConnection> m_pMsgConn;
    std::shared_ptr<UdpConnection> m_pHbConn;
};

}  // namespace udp
