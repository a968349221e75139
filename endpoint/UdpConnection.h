// udp::UdpConnection: one IPv4 UDP socket with its local and target address,
// a bounded send queue and the receive path into the communication proxy.
//
// Threads: one worker task of the engine owns the socket (Create, ReDirect,
// Close, Recv, Send); the host's threads change the configured ports and
// target through the setters and produce records (InsertSendMsg); the proxy's
// thread queues replies through the reply callback. Values that cross threads
// are atomic; m_mtxSendMsg guards the queue alone and is never held across a
// system call.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "FixedQueue.h"
#include "UdpMessage.h"

namespace udp {

class UdpConnection : public std::enable_shared_from_this<UdpConnection> {
public:
    enum ConnectionType : int32_t {
        CONNECTION_HB = 1,   // received datagrams are read and dropped
        CONNECTION_MSG = 2,  // received datagrams go to the communication proxy
    };

    static constexpr size_t kSendQueueLimit = 5;
    static constexpr int kRecvSize = 256;
#ifdef UDPTRANS_LOW_LATENCY
    static constexpr bool kWakeOnQueue = true;
#else
    static constexpr bool kWakeOnQueue = false;
#endif

    UdpConnection();
    ~UdpConnection();
    UdpConnection(const UdpConnection&) = delete;
    UdpConnection& operator=(const UdpConnection&) = delete;

    // Socket life cycle (worker task, or the engine's thread while stopped).
    int Init(unsigned short nPort, ConnectionType eType);  // 0 or -1
    int PrepareSocket();                                   // 0, -1, -2
    int RecreateSocket();                                  // 0, -1, -2, -3
    int Create();                                          // 0 or -1
    int ReDirect();                                        // 0
    int Close();                                           // -1
    int DeInit();                                          // -1

    // Configuration (any thread; takes effect at the next Create/ReDirect).
    int SetLogId(int nLogId);
    void SetTargetNewIp(unsigned int nIp);  // host byte order
    void SetTargetNewPort(unsigned short nPort);
    unsigned short GetTargetNewPort() const;
    void SetLocalPort(unsigned short nPort);
    unsigned short GetLocalPort() const;
    void SetDefaultLocalPort(unsigned short nPort);
    bool GetInited() const;
    int GetSockFd() const;

    // Send queue.
    int InsertSendMsg(const UdpMessage& msg);  // 0, -1 not inited, -2 full
    // Adds msg only while nothing waits in the queue and no record is being
    // sent: 0, -1 not inited, -2 not empty. With `sendsSeen` (a GetSendCount
    // reading) it also refuses (-2) when a datagram has left since then, so a
    // caller that decided on an older GetLastSendTime cannot add a second
    // record right behind the one that just went out.
    int InsertEmptySendMsg(const UdpMessage& msg);
    int InsertEmptySendMsg(const UdpMessage& msg, uint32_t sendsSeen);
    int Send();  // 0 empty queue, else sendto's result
    bool IsSendQueueEmpty();
    uint64_t GetLastSendTime() const;
    // Datagrams that Send has finished (sent or failed), stamp included.
    uint32_t GetSendCount() const;

    // Wake-up of the serving task (low-latency build): a descriptor that turns
    // readable when a record enters the empty send queue, for the task's wait
    // to watch beside the socket; -1 in the default build, whose task finds
    // new records at its next 1 ms poll. ClearWake empties it (worker task).
    // A wake-up that is lost or comes without a record costs at most one
    // poll: the task looks at the queue itself in every pass.
    int GetWakeFd() const {
        return m_nWakeFd;
    }
    void ClearWake();

    // Receive path (worker task). Recv reads one datagram of at most kRecvSize
    // bytes; on a CONNECTION_MSG endpoint its text goes to the communication
    // proxy with a reply callback that owns this endpoint and queues the
    // answer (at most UdpMessage::kMaxPayload bytes) for the configured target.
    int Recv();  // bytes, 0 empty datagram, <0 with errno
    // pData must be zero-terminated; nLen is only checked for sign. The
    // endpoint must be owned by a std::shared_ptr (else -1).
    int RecvProcess(char* pData, int nLen);  // 0, -1 bad arguments, -2 proxy refused

private:
    int OpenSocket();          // socket + close-on-exec; fd or -1/-2, logged
    void CloseHeldSocket();    // close m_nSockFd if open, leave -1
    void PrepareLocalAddr();   // clear the bind address, default port if none set
    bool BindLocal(int fd);    // one bind to INADDR_ANY:m_nLocalPort
    void AdoptSocket(int fd);  // take fd, put the requested target in effect
    void BuildTargetAddr();
    int QueueReply(const std::string& reply);  // the reply callback's work: 0 or -1
    // After a record was queued, outside the lock: wakes the serving task when
    // the record entered an empty queue (low-latency build only).
    void WakeServerIf(bool queuedIntoEmpty);

    // Made by the constructor, closed by the destructor, read-only between.
    int m_nWakeFd = -1;

    std::atomic<int32_t> m_nLogId{0};         // any thread (reply callback reads it)
    std::atomic<bool> m_bInited{false};       // worker writes, producers read
    ConnectionType m_eType{};                 // set by Init before the worker starts
    std::atomic<int32_t> m_nSockFd{-1};       // worker writes, host getters read
    std::atomic<uint32_t> m_nTargetNewIp{0};  // host writes, worker reads
    std::atomic<uint16_t> m_nTargetNewPort{0};
    uint32_t m_nTargetIp = 0;               // worker only
    uint16_t m_nTargetPort = 0;             // worker only
    std::atomic<uint16_t> m_nLocalPort{0};  // host writes (SetLocalPort), worker rebinds
    std::atomic<uint16_t> m_nLastLocalPort{0};
    std::atomic<uint16_t> m_nDefaultLocalPort{0};
    sockaddr_in m_stLocalAddr{};                          // worker only
    sockaddr_in m_stTargetAddr{};                         // worker only
    FixedQueue<UdpMessage, kSendQueueLimit> m_dqSendMsg;  // guarded by m_mtxSendMsg
    // A record taken off the queue whose send has not been stamped yet; for the
    // empty-queue rule it still counts as waiting. Guarded by m_mtxSendMsg.
    bool m_bSending = false;
    std::mutex m_mtxSendMsg;
    // The record Send is putting on the wire: kept here rather than on the
    // sending task's small stack. Sending worker only.
    UdpMessage m_stSending{};
    std::atomic<uint64_t> m_nLastSendTime{0};  // sending worker writes, message task reads
    // Finished sends; the sending worker raises it under m_mtxSendMsg after the
    // stamp, any thread reads it.
    std::atomic<uint32_t> m_nSendCount{0};
};

}  // namespace udp
