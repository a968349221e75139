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

#include <atomic>
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
    static constexpr int kErrPortNotConfirmed = -5;      // -EIO
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

private:
    // ... the engine's fields; see the implementation.
};

}  // namespace udp
