// udp::UdpConnection: socket life cycle, send queue and receive path of one
// IPv4 UDP endpoint. See UdpConnection.h for the thread contract.
#include "UdpConnection.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "UtLog.h"
#include "algo/CommProxy.h"

namespace {
constexpr char kLogFile[] = "UdpConnection";

// Pause between two bind attempts while stepping upward: a port held by a
// socket that is just going away is often free again a moment later.
constexpr useconds_t kBindRetryPauseUs = 10000;

// Runs its action when it goes out of scope. Declared before a lock guard, it
// runs after the lock has been released: the wake-up of the serving task is a
// system call and must not be made under the queue's lock.
template <class F>
class WakeOnExit {
public:
    explicit WakeOnExit(F action) : m_action(action) {}
    ~WakeOnExit() { m_action(); }
    WakeOnExit(const WakeOnExit&) = delete;
    WakeOnExit& operator=(const WakeOnExit&) = delete;

private:
    F m_action;
};
}  // namespace

namespace udp {

UdpConnection::UdpConnection() {
    if (kWakeOnQueue) {
        // Made once for the endpoint's whole life, before any other thread can
        // see it, so producers read the descriptor without a lock. Without it
        // the task still finds every record at its next 1 ms poll.
        m_nWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_nWakeFd < 0) {
            UT_LOGE(m_nLogId, "eventfd failed, errno %d\r\n", errno);
        }
    }
}

// The socket is deliberately left alone: the engine closes it in DeInit, and a
// reply callback held by the host may keep this object alive long after that,
// by which time the descriptor number may belong to someone else. The wake-up
// descriptor is the endpoint's own and goes with it.
UdpConnection::~UdpConnection() {
    if (m_nWakeFd >= 0) {
        ::close(m_nWakeFd);
    }
}

int UdpConnection::Init(unsigned short nPort, ConnectionType eType) {
    m_bInited = false;
    m_eType = eType;
    // Init runs once, on an endpoint that never had a socket: nothing to close.
    m_nSockFd = -1;
    // m_nLocalPort is kept, so a port set before Init wins over nPort, which
    // only becomes the fallback default.
    m_nDefaultLocalPort = nPort;

    const int ret = PrepareSocket();
    if (ret != 0) {
        UT_LOGE(m_nLogId, "PrepareSocket failed, ret=%d\r\n", ret);
        return -1;
    }
    m_bInited = true;
    return 0;
}

int UdpConnection::OpenSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        UT_LOGE(m_nLogId, "socket failed\r\n");
        return -1;
    }
    // Close-on-exec only: the socket stays blocking, since the worker task
    // waits for readiness with select before every recvfrom and sendto.
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
        UT_LOGE(m_nLogId, "fcntl FD_CLOEXEC\n");
        ::close(fd);
        return -2;
    }
    return fd;
}

void UdpConnection::CloseHeldSocket() {
    const int fd = m_nSockFd.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

void UdpConnection::PrepareLocalAddr() {
    std::memset(&m_stLocalAddr, 0, sizeof(m_stLocalAddr));
    if (m_nLocalPort == 0) {
        // Written back so that GetLocalPort reports the port really asked for.
        m_nLocalPort = m_nDefaultLocalPort.load();
    }
}

bool UdpConnection::BindLocal(int fd) {
    makeAddrByString(AF_INET, nullptr, m_nLocalPort, &m_stLocalAddr);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&m_stLocalAddr), sizeof(m_stLocalAddr)) ==
           0;
}

void UdpConnection::AdoptSocket(int fd) {
    m_nSockFd = fd;
    m_nTargetIp = m_nTargetNewIp;
    m_nTargetPort = m_nTargetNewPort;
    // Rebuilt even for a zero target: a fresh socket must not keep sending to
    // a destination the configuration no longer names.
    BuildTargetAddr();
}

void UdpConnection::BuildTargetAddr() {
    std::memset(&m_stTargetAddr, 0, sizeof(m_stTargetAddr));
    m_stTargetAddr.sin_family = AF_INET;
    m_stTargetAddr.sin_port = htons(m_nTargetPort);
    m_stTargetAddr.sin_addr.s_addr = htonl(m_nTargetIp);
}

int UdpConnection::PrepareSocket() {
    CloseHeldSocket();
    const int fd = OpenSocket();
    if (fd < 0) {
        return fd;
    }
    PrepareLocalAddr();

    // No attempt limit: the endpoint must end up bound somewhere. Once the
    // port wraps to 0 the kernel picks a free one, which ends the loop.
    while (!BindLocal(fd)) {
        UT_LOGE(m_nLogId, "bind\n");
        m_nLocalPort = static_cast<uint16_t>(m_nLocalPort + 1);
        UT_LOGE(m_nLogId, "poll legacy error %d, local_port %d\r\n", 0,
                static_cast<int>(m_nLocalPort.load()));
        ::usleep(kBindRetryPauseUs);
    }
    AdoptSocket(fd);
    return 0;
}

int UdpConnection::RecreateSocket() {
    CloseHeldSocket();
    const int fd = OpenSocket();
    if (fd < 0) {
        return fd;
    }
    PrepareLocalAddr();

    // Exactly one attempt: the caller falls back to the previous port rather
    // than wandering away from the one that was asked for.
    if (!BindLocal(fd)) {
        UT_LOGE(m_nLogId, "bind\n");
        ::close(fd);
        return -3;
    }
    AdoptSocket(fd);
    return 0;
}

int UdpConnection::Create() {
    // Producers are refused while the socket is rebuilt, and stay refused if
    // no socket comes back.
    m_bInited = false;
    UT_LOGI(m_nLogId, "Enter udp recreate.\r\n");

    int ret = RecreateSocket();
    if (ret != 0) {
        UT_LOGI(m_nLogId, "RecreateSocket failed, ret=%d\r\n", ret);
        m_nLocalPort = m_nLastLocalPort.load();
        ret = PrepareSocket();
        if (ret != 0) {
            UT_LOGE(m_nLogId, "RecreateSocket PrepareSocket failed, ret=%d\r\n", ret);
            return -1;
        }
    }
    m_bInited = true;
    return 0;
}

int UdpConnection::ReDirect() {
    UT_LOGI(m_nLogId, "Enter udp ReDirect.\r\n");
    m_nTargetIp = m_nTargetNewIp;
    m_nTargetPort = m_nTargetNewPort;
    // A half-configured target (address or port still 0) would make every
    // sendto fail; keep sending to the previous destination until both are set.
    if (m_nTargetIp != 0 && m_nTargetPort != 0) {
        BuildTargetAddr();
    }
    return 0;
}

int UdpConnection::Close() {
    CloseHeldSocket();
    return -1;  // the descriptor value the endpoint is left with
}

int UdpConnection::DeInit() {
    const int ret = Close();
    m_bInited = false;
    return ret;
}

int UdpConnection::SetLogId(int nLogId) {
    m_nLogId = nLogId;
    return 0;
}

void UdpConnection::SetTargetNewIp(unsigned int nIp) {
    m_nTargetNewIp = nIp;
}

void UdpConnection::SetTargetNewPort(unsigned short nPort) {
    m_nTargetNewPort = nPort;
}

unsigned short UdpConnection::GetTargetNewPort() const {
    return m_nTargetNewPort;
}

void UdpConnection::SetLocalPort(unsigned short nPort) {
    m_nLastLocalPort = m_nLocalPort.load();
    m_nLocalPort = nPort;
}

unsigned short UdpConnection::GetLocalPort() const {
    return m_nLocalPort;
}

void UdpConnection::SetDefaultLocalPort(unsigned short nPort) {
    m_nDefaultLocalPort = nPort;
}

bool UdpConnection::GetInited() const {
    return m_bInited;
}

int UdpConnection::GetSockFd() const {
    return m_nSockFd;
}

int UdpConnection::InsertSendMsg(const UdpMessage& msg) {
    if (!m_bInited) {
        return -1;
    }
    bool wake = false;
    // Declared before the lock, so it runs after the unlock.
    const WakeOnExit wakeOnExit([this, &wake] { WakeServerIf(wake); });
    std::lock_guard<std::mutex> lock(m_mtxSendMsg);  // the queue only
    // An empty queue always takes the record.
    wake = m_dqSendMsg.empty();
    return m_dqSendMsg.push_back(msg) ? 0 : -2;
}

int UdpConnection::InsertEmptySendMsg(const UdpMessage& msg) {
    return InsertEmptySendMsg(msg, m_nSendCount.load());
}

int UdpConnection::InsertEmptySendMsg(const UdpMessage& msg, uint32_t sendsSeen) {
    if (!m_bInited) {
        return -1;
    }
    bool wake = false;
    // Declared before the lock, so it runs after the unlock.
    const WakeOnExit wakeOnExit([this, &wake] { WakeServerIf(wake); });
    std::lock_guard<std::mutex> lock(m_mtxSendMsg);  // the queue only
    // Only into an empty queue: a heartbeat never delays real data and at
    // most one of them ever waits. A record on its way out still counts, and
    // so does one that left after the caller looked at the send time: either
    // would let a second heartbeat follow the first within a millisecond.
    if (!m_dqSendMsg.empty() || m_bSending || m_nSendCount.load() != sendsSeen) {
        return -2;
    }
    m_dqSendMsg.push_back(msg);
    wake = true;
    return 0;
}

void UdpConnection::WakeServerIf(bool queuedIntoEmpty) {
    // Only on the empty-to-non-empty step: while records wait, the task keeps
    // the socket in its write set and needs no further nudge. A failed write
    // (counter full, descriptor missing) loses nothing but the early wake-up.
    if (kWakeOnQueue && queuedIntoEmpty && m_nWakeFd >= 0) {
        (void)::eventfd_write(m_nWakeFd, 1);
    }
}

void UdpConnection::ClearWake() {
    // Non-blocking: reads the count back to zero, or finds it zero already.
    if (m_nWakeFd >= 0) {
        eventfd_t count = 0;
        (void)::eventfd_read(m_nWakeFd, &count);
    }
}

int UdpConnection::Send() {
    {
        std::lock_guard<std::mutex> lock(m_mtxSendMsg);  // the queue only, never sendto
        if (m_dqSendMsg.empty()) {
            return 0;
        }
        m_stSending = m_dqSendMsg.front();
        m_dqSendMsg.pop_front();
        m_bSending = true;
    }

    // A record whose length lies outside the data area must not make us read
    // past it; send what the record can hold.
    const size_t len = static_cast<size_t>(
        std::clamp<int32_t>(m_stSending.nLen, 0, static_cast<int32_t>(UdpMessage::kMaxPayload)));
    // One datagram per record: UDP sends it whole or not at all, so there is
    // no partial write to resume. A failed record is not retried.
    const ssize_t ret =
        ::sendto(m_nSockFd, m_stSending.szData, len, 0,
                 reinterpret_cast<const sockaddr*>(&m_stTargetAddr), sizeof(m_stTargetAddr));
    // Taken after every attempt, failed or not; keep errno for the caller.
    const int savedErrno = errno;
    m_nLastSendTime = get_up_time();
    {
        // The stamp is in place before the record stops counting as waiting.
        std::lock_guard<std::mutex> lock(m_mtxSendMsg);
        m_bSending = false;
        m_nSendCount.fetch_add(1);
    }
    errno = savedErrno;
    return static_cast<int>(ret);
}

bool UdpConnection::IsSendQueueEmpty() {
    std::lock_guard<std::mutex> lock(m_mtxSendMsg);  // the queue only
    return m_dqSendMsg.empty();
}

uint64_t UdpConnection::GetLastSendTime() const {
    return m_nLastSendTime;
}

uint32_t UdpConnection::GetSendCount() const {
    return m_nSendCount.load();
}

int UdpConnection::Recv() {
    // One byte more than is read, so the data always ends in a zero byte and
    // can be taken as text.
    char buffer[kRecvSize + 1];
    std::memset(buffer, 0, sizeof(buffer));
    // Length 0: the sender's address is not wanted; answers go to the
    // configured target, not back to whoever sent the request.
    sockaddr_in sender{};
    socklen_t senderLen = 0;
    const ssize_t ret = ::recvfrom(m_nSockFd, buffer, kRecvSize, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &senderLen);
    if (ret <= 0) {
        return static_cast<int>(ret);
    }
    if (m_eType == CONNECTION_MSG) {
        // A refused hand-over is logged there; the datagram is not retried.
        (void)RecvProcess(buffer, static_cast<int>(ret));
    }
    return static_cast<int>(ret);
}

int UdpConnection::QueueReply(const std::string& reply) {
    UdpMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    const size_t len = std::min<size_t>(reply.size(), UdpMessage::kMaxPayload);
    std::memcpy(msg.szData, reply.data(), len);
    msg.nLen = static_cast<int32_t>(len);

    const int ret = InsertSendMsg(msg);
    if (ret != 0) {
        UT_LOGE(m_nLogId, "InsertSendMsg faild, ret %d\r\n", ret);
        return -1;
    }
    return 0;
}

int UdpConnection::RecvProcess(char* pData, int nLen) {
    if (pData == nullptr || nLen < 0) {
        return -1;
    }
    // The callback owns the endpoint: the proxy may answer after the engine
    // has let go of it, and the answer must still find a live queue.
    std::shared_ptr<UdpConnection> self = weak_from_this().lock();
    if (!self) {
        return -1;  // not shared-owned: nothing could keep it alive for a reply
    }

    int ret = 0;
    try {
        CCommProxy::MessageInfo info;  // every plain byte zero
        std::snprintf(info.szMsg, sizeof(info.szMsg), "%s", pData);
        info.nMsgLen = static_cast<int32_t>(std::strlen(pData));
        info.nLogId = m_nLogId;
        UdpConnection* const pConn = this;
        info.fnReply = [self, pConn](int, std::string reply, void*) -> int {
            return pConn->QueueReply(reply);
        };
        ret = CCommProxy::getInstance().AsynRecv(info);
    } catch (...) {
        // Running on the worker task: nothing may escape it. A record that
        // could not even be built counts as refused.
        ret = -1;
    }
    if (ret != 0) {
        UT_LOGE(m_nLogId, "Recv failed, ret %d \r\n", ret);
        return -2;
    }
    return 0;
}

}  // namespace udp
