// udp::CUdpProcess: start and stop of the two tasks, configuration, the held
// queue, the shared socket-service pass, heartbeat and scheduled transmission.
#include "udpMsg.h"

#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "UtLog.h"
#include "algo/AppComponents.h"

namespace {
constexpr char kLogFile[] = "udpMsg";

constexpr int kMsgTaskPriority = 60;
constexpr int kHbTaskPriority = 40;
constexpr int kTaskStack = 10240;
constexpr int kPortPollSteps = 500;  // x 4 ms: a port change is confirmed within 2 s
constexpr useconds_t kPortPollStepUs = 4000;
constexpr useconds_t kStopPollUs = 10000;
constexpr useconds_t kExitPollUs = 1000;
constexpr useconds_t kMsgDisabledSleepUs = 200000;
constexpr unsigned int kHbDisabledSleepS = 1;
constexpr unsigned int kBackOffS = 1;
constexpr useconds_t kScheduledStepUs = 5000;

// Keys made once, so that the per-pass trigger queries do not allocate.
const std::string& KeyTriggerMode() {
    static const std::string key("TriggerMode");
    return key;
}
const std::string& KeyTriggerCount() {
    static const std::string key("TriggerCount");
    return key;
}
const std::string& KeyTriggerImageTime() {
    static const std::string key("TriggerImageTime");
    return key;
}

zerran_app::ITriggerSource* TriggerSource() {
    // Looked up on every use: the host may replace or withdraw the component.
    return Infra::Component::getComponentInstance<zerran_app::ITriggerSource>();
}

bool IsTransientErrno(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

// Waits up to 1 ms for fd to become readable (always asked) or writable (only
// when wantWrite), and for wakeFd (when >= 0) to become readable. Returns > 0
// with the flags set, 0 on timeout, < 0 with errno set; a wake-up alone sets
// `woken` and returns 0, like a timeout: the next pass finds the record. A
// descriptor of FD_SETSIZE or more cannot be named in an fd_set, so such a
// socket is waited for with poll.
int WaitSocket(int fd, int wakeFd, bool wantWrite, bool& readable, bool& writable, bool& woken) {
    readable = false;
    writable = false;
    woken = false;
    if (fd < FD_SETSIZE && wakeFd < FD_SETSIZE) {
        fd_set readSet;
        fd_set writeSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_SET(fd, &readSet);
        if (wakeFd >= 0) {
            FD_SET(wakeFd, &readSet);
        }
        if (wantWrite) {
            FD_SET(fd, &writeSet);
        }
        timeval timeout{0, 1000};
        const int r = select(std::max(fd, wakeFd) + 1, &readSet, &writeSet, nullptr, &timeout);
        if (r > 0) {
            readable = FD_ISSET(fd, &readSet) != 0;
            writable = FD_ISSET(fd, &writeSet) != 0;
            woken = wakeFd >= 0 && FD_ISSET(wakeFd, &readSet) != 0;
            if (!readable && !writable) {
                return 0;
            }
        }
        return r;
    }
    pollfd pfd[2] = {};
    pfd[0].fd = fd;
    pfd[0].events = static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
    pfd[1].fd = wakeFd;  // a negative descriptor is skipped by poll
    pfd[1].events = POLLIN;
    const int r = poll(pfd, wakeFd >= 0 ? 2 : 1, 1);
    if (r <= 0) {
        return r;
    }
    if ((pfd[0].revents & POLLNVAL) != 0) {
        // select reports a descriptor that is not open as EBADF; do the same.
        errno = EBADF;
        return -1;
    }
    woken = wakeFd >= 0 && (pfd[1].revents & POLLIN) != 0;
    // Error and hang-up count as readable, as select does, so that the
    // receive reports the pending error.
    readable = (pfd[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    writable = wantWrite && (pfd[0].revents & (POLLOUT | POLLERR)) != 0;
    return (readable || writable) ? 1 : 0;
}

// Whether the framework made the calling thread joinable. When it cannot be
// told, the thread is taken as detached: waiting for its end is safe either way.
bool CurrentThreadJoinable() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    int state = PTHREAD_CREATE_DETACHED;
    const bool known = pthread_attr_getdetachstate(&attr, &state) == 0;
    pthread_attr_destroy(&attr);
    return known && state == PTHREAD_CREATE_JOINABLE;
}

void* MsgTaskEntry(void* arg) {
    static_cast<udp::CUdpProcess*>(arg)->MsgTaskWorker(nullptr);
    return nullptr;
}

void* HbTaskEntry(void* arg) {
    static_cast<udp::CUdpProcess*>(arg)->HBTaskWorker(nullptr);
    return nullptr;
}

}  // namespace

namespace udp {

CUdpProcess::CUdpProcess()
    : m_pMsgConn(std::make_shared<UdpConnection>()), m_pHbConn(std::make_shared<UdpConnection>()) {}

CUdpProcess::~CUdpProcess() {
    // Heartbeat endpoint first, then the message endpoint; the held queue goes
    // with the members afterwards.
    m_pHbConn.reset();
    m_pMsgConn.reset();
}

int CUdpProcess::Init() {
    if (m_bMsgTaskStarted || m_bHbTaskStarted) {
        // Restarting a running engine: stop it first, or its threads and
        // sockets would be orphaned.
        DeInit();
    }
    m_bExit = false;
    // Results not looked at: a socket that cannot be prepared now is made by
    // its task later.
    m_pMsgConn->Init(kDefaultMsgPort, UdpConnection::CONNECTION_MSG);
    m_pHbConn->Init(kDefaultHbPort, UdpConnection::CONNECTION_HB);

    // The running flag is raised before the spawn, so that a DeInit right
    // after Init waits for a task that has not been scheduled yet.
    m_bMsgTaskRunning = true;
    if (thread_spawn_ex(&m_hMsgTask, 0, 1, kMsgTaskPriority, kTaskStack, MsgTaskEntry, this) != 0) {
        m_bMsgTaskRunning = false;
        UT_LOGE(m_nLogId, "tcp client input task creation failed!\r\n");
        return -1;
    }
    m_bMsgTaskStarted = true;

    m_bHbTaskRunning = true;
    if (thread_spawn_ex(&m_hHbTask, 0, 1, kHbTaskPriority, kTaskStack, HbTaskEntry, this) != 0) {
        m_bHbTaskRunning = false;
        UT_LOGE(m_nLogId, "tcp client input task creation failed!\r\n");
        return -2;
    }
    m_bHbTaskStarted = true;
    return 0;
}

int CUdpProcess::DeInit() {
    m_bExit = true;
    while (m_bMsgTaskRunning || m_bHbTaskRunning) {
        usleep(kStopPollUs);
    }
    // A cleared running flag is the task's last store, but its thread still
    // returns through our code. Wait until the thread has ended, so that the
    // host may free the engine and unload the module as soon as we return.
    if (m_bMsgTaskStarted) {
        AwaitTaskEnd(m_hMsgTask, m_nMsgTaskTid, m_bMsgTaskJoinable);
        m_bMsgTaskStarted = false;
    }
    if (m_bHbTaskStarted) {
        AwaitTaskEnd(m_hHbTask, m_nHbTaskTid, m_bHbTaskJoinable);
        m_bHbTaskStarted = false;
    }
    m_pMsgConn->DeInit();
    return m_pHbConn->DeInit();
}

void CUdpProcess::AwaitTaskEnd(THREAD_HANDLE handle, std::atomic<pid_t>& tid,
                               const std::atomic<bool>& joinable) {
    const pid_t id = tid.exchange(0);
    // A joinable thread must be joined, or its stack stays allocated. Whether
    // the framework made it joinable only the task itself can tell; it found
    // out at its start.
    if (joinable) {
        pthread_join(handle, nullptr);
        return;
    }
    // A detached thread cannot be joined: wait until the kernel no longer
    // knows it, which happens only once it has left for good. Signal 0 only
    // asks whether the thread of this process still exists. Thread ids are
    // handed out in a cycle, so the id is not reused by a new thread within
    // the few milliseconds this takes.
    if (id <= 0) {
        return;
    }
    const pid_t self = getpid();
    while (syscall(SYS_tgkill, self, id, 0) == 0) {
        usleep(kExitPollUs);
    }
}

int CUdpProcess::SetHostPort(UdpConnection& conn, std::atomic<bool>& recreate, unsigned short port,
                             bool wait) {
    if (!wait) {
        conn.SetLocalPort(port);
        return 0;
    }
    if (port == conn.GetLocalPort()) {
        return 0;
    }
    conn.SetLocalPort(port);
    recreate = true;
    // Only the serving task clears the request, once the socket is bound
    // again; bounded, because a disabled transport never serves it.
    int count = 0;
    while (count < kPortPollSteps) {
        ++count;
        usleep(kPortPollStepUs);
        if (!recreate) {
            break;
        }
    }
    const unsigned short bound = conn.GetLocalPort();
    if (bound == 0) {
        return kErrPortNotConfirmed;
    }
    if (count >= kPortPollSteps || bound != port) {
        return kErrPortNotConfirmed;
    }
    return 0;
}

int CUdpProcess::SetHostMsgPort(unsigned short port, bool wait) {
    return SetHostPort(*m_pMsgConn, m_bMsgRecreate, port, wait);
}

unsigned short CUdpProcess::GetHostMsgPort() {
    return m_pMsgConn->GetLocalPort();
}

void CUdpProcess::SetTargetMsgIp(unsigned int ip) {
    m_pMsgConn->SetTargetNewIp(ip);
    m_bMsgRedirect = true;
}

void CUdpProcess::SetTargetMsgPort(unsigned short port) {
    m_pMsgConn->SetTargetNewPort(port);
    m_bMsgRedirect = true;
}

unsigned short CUdpProcess::GetTargetMsgPort() {
    return m_pMsgConn->GetTargetNewPort();
}

int CUdpProcess::SetHostHbPort(unsigned short port, bool wait) {
    return SetHostPort(*m_pHbConn, m_bHbRecreate, port, wait);
}

unsigned short CUdpProcess::GetHostHbPort() {
    return m_pHbConn->GetLocalPort();
}

void CUdpProcess::SetTargetHbIp(unsigned int ip) {
    m_pHbConn->SetTargetNewIp(ip);
    m_bHbRedirect = true;
}

void CUdpProcess::SetTargetHbPort(unsigned short port) {
    m_pHbConn->SetTargetNewPort(port);
    m_bHbRedirect = true;
}

unsigned short CUdpProcess::GetTargetHbPort() {
    return m_pHbConn->GetTargetNewPort();
}

int CUdpProcess::SetLogId(int id) {
    m_nLogId = id;
    m_pMsgConn->SetLogId(id);
    m_pHbConn->SetLogId(id);
    return 0;
}

int CUdpProcess::SetProcedureName(const char* name) {
    snprintf(m_szProcedureName, sizeof(m_szProcedureName), "%s", name != nullptr ? name : "");
    return 0;
}

void CUdpProcess::SetFrameAndTrigger(int frameCount, int triggerCount, int enable) {
    m_nFrameCnt = frameCount;
    m_nTriggerCnt = triggerCount;
    m_nModuleEnable = enable;
}

void CUdpProcess::SetModuleEnable(int enable) {
    zerran_app::ITriggerSource* source = TriggerSource();
    if (source == nullptr) {
        // Without a trigger source frame processing leaves the enable value
        // alone as well; keep both fields as they are.
        return;
    }
    int count = 0;
    const int status = source->GetIntParam(KeyTriggerCount(), count);
    if (status != 0) {
        UT_LOGE(m_nLogId, "get trigger count failed\r\n");
        m_nModuleEnable = enable;
        return;
    }
    // Triggers up to now are never answered by scheduled transmission.
    m_nRecord = count;
    m_nModuleEnable = enable;
}

void CUdpProcess::SetScheduledTransEnable(int enable) {
    m_nScheduledTransEnable = enable;
}

void CUdpProcess::SetScheduledTransTime(int ms) {
    m_nScheduledTransTime = static_cast<uint32_t>(ms);
}

void CUdpProcess::SetHeartbeatTranMode(int mode) {
    m_nHeartbeatTranMode = mode;
}

void CUdpProcess::SetHeartbeatText(const char* text) {
    if (text == nullptr) {
        return;
    }
    char copy[sizeof(m_szHeartbeatText)];
    snprintf(copy, sizeof(copy), "%s", text);
    std::lock_guard<std::mutex> lock(m_mtxHeartbeatText);
    memcpy(m_szHeartbeatText, copy, sizeof(m_szHeartbeatText));
}

void CUdpProcess::SetHeartbeatInterval(unsigned long seconds) {
    m_nHeartbeatInterval = seconds;
}

void CUdpProcess::GetHeartbeatText(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    char copy[sizeof(m_szHeartbeatText)];
    {
        std::lock_guard<std::mutex> lock(m_mtxHeartbeatText);
        memcpy(copy, m_szHeartbeatText, sizeof(copy));
    }
    snprintf(buffer, size, "%s", copy);
}

size_t CUdpProcess::GetHeldCount() {
    std::lock_guard<std::mutex> lock(m_msgMutex);
    return m_msgQueue.size();
}

int CUdpProcess::InsertSendMsg(const void* data, unsigned int length) {
    if (data == nullptr && length > 0) {
        UT_LOGE(m_nLogId, "InsertSendMsg null data, len %u\r\n", length);
        return 0;
    }
    UdpMessage msg;
    memset(&msg, 0, sizeof(msg));
    const uint32_t n = std::min<uint32_t>(length, UdpMessage::kMaxPayload);
    if (n > 0) {
        memcpy(msg.szData, data, n);
    }
    msg.nLen = static_cast<int32_t>(n);
    if (m_nScheduledTransEnable == 0) {
        // A refused payload (queue full, socket not ready) is lost by design:
        // results are only worth sending while fresh.
        m_pMsgConn->InsertSendMsg(msg);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_msgMutex);
    m_msgQueue.push_back(msg);
    return 0;
}

void CUdpProcess::MsgTaskWorker(void* /*arg*/) {
    // First, so that DeInit, which waits for the running flag that is cleared
    // last, always knows how to wait for this thread's end.
    m_bMsgTaskJoinable = CurrentThreadJoinable();
    m_nMsgTaskTid = static_cast<pid_t>(syscall(SYS_gettid));
    thread_set_name("udp_input_task");
    m_bMsgTaskRunning = true;
    if (m_bExit) {
        m_bMsgTaskRunning = false;
        return;
    }
    for (;;) {
        ServeEndpoint(*m_pMsgConn, m_bMsgRecreate, m_bMsgRedirect, true);
        if (m_bExit) {
            // Last action of the task: DeInit may proceed once it is seen.
            m_bMsgTaskRunning = false;
            return;
        }
    }
}

void CUdpProcess::HBTaskWorker(void* /*arg*/) {
    m_bHbTaskJoinable = CurrentThreadJoinable();
    m_nHbTaskTid = static_cast<pid_t>(syscall(SYS_gettid));
    thread_set_name("udp_out_task");
    m_bHbTaskRunning = true;
    if (m_bExit) {
        m_bHbTaskRunning = false;
        return;
    }
    for (;;) {
        ServeEndpoint(*m_pHbConn, m_bHbRecreate, m_bHbRedirect, false);
        if (m_bExit) {
            m_bHbTaskRunning = false;
            return;
        }
    }
}

void CUdpProcess::ServeEndpoint(UdpConnection& conn, std::atomic<bool>& recreate,
                                std::atomic<bool>& redirect, bool messageRole) {
    if (m_nModuleEnable == 0) {
        if (messageRole) {
            // Nothing may reach or leave the message port while disabled.
            if (conn.GetSockFd() >= 0) {
                conn.Close();
            }
            usleep(kMsgDisabledSleepUs);
        } else {
            sleep(kHbDisabledSleepS);
        }
        return;
    }
    if (recreate) {
        const int ret = conn.Create();
        if (ret != 0) {
            UT_LOGE(m_nLogId, "Create failed, ret=%d\r\n", ret);
            // The request stays set: the next pass retries after the back-off.
            sleep(kBackOffS);
            return;
        }
        recreate = false;
    }
    if (redirect) {
        const int ret = conn.ReDirect();
        if (ret != 0) {
            UT_LOGE(m_nLogId, "ReDirect failed, ret=%d\r\n", ret);
            sleep(kBackOffS);
            return;
        }
        redirect = false;
    }
    const int fd = conn.GetSockFd();
    if (fd < 0) {
        // Closed while disabled, or never prepared: the next pass makes it.
        recreate = true;
        return;
    }
    if (messageRole) {
        DispatchQueuedMessages();
        if (m_nHeartbeatTranMode != 0) {
            HeartbeatStep();
        }
    }

    bool readable = false;
    bool writable = false;
    bool woken = false;
    const int r =
        WaitSocket(fd, conn.GetWakeFd(), !conn.IsSendQueueEmpty(), readable, writable, woken);
    if (woken) {
        // Emptied before the queue is looked at again, so a record queued
        // from now on raises a fresh wake-up, and one queued before is seen
        // by the next pass itself.
        conn.ClearWake();
    }
    if (r == 0) {
        return;
    }
    if (r < 0) {
        UT_LOGE(m_nLogId, "udp select ret %d, sockfd=%d\r\n", r, fd);
        recreate = true;
        return;
    }
    if (readable) {
        const int ret = conn.Recv();
        const int err = errno;
        if (ret < 0 && !IsTransientErrno(err)) {
            UT_LOGE(m_nLogId, "udp recvfrom ret %d, sockfd=%d\r\n", ret, fd);
            recreate = true;
            return;
        }
    }
    if (writable) {
        const int ret = conn.Send();
        const int err = errno;
        if (ret < 0 && !IsTransientErrno(err)) {
            // The datagram has left the queue already; it is not retried.
            UT_LOGE(m_nLogId, "udp sendto ret %d, sockfd=%d\r\n", ret, fd);
            recreate = true;
        }
    }
}

void CUdpProcess::DispatchQueuedMessages() {
    if (m_nScheduledTransEnable != 0 && CheckTriggerMode() && CheckTriggerCount()) {
        ProcessScheduledTrans();
        return;
    }
    {
        // Most passes find nothing held; they leave without building a local
        // queue, whose construction allocates.
        std::lock_guard<std::mutex> lock(m_msgMutex);
        if (m_msgQueue.empty()) {
            return;
        }
    }
    std::deque<UdpMessage> pending;
    {
        // A swap keeps the lock for a constant-time step however much is held.
        std::lock_guard<std::mutex> lock(m_msgMutex);
        m_msgQueue.swap(pending);
    }
    for (const UdpMessage& msg : pending) {
        m_pMsgConn->InsertSendMsg(msg);
    }
}

void CUdpProcess::HeartbeatStep() {
    const int mode = m_nHeartbeatTranMode;
    UdpConnection& conn = mode == 2 ? *m_pHbConn : *m_pMsgConn;
    // Read before the send times. In mode 2 the heartbeat task may take the
    // previous heartbeat off the queue and send it while this step still works
    // with the older time; the insertion below refuses once that send is done
    // (or while it is under way), so no second heartbeat follows right behind.
    const uint32_t sendsSeen = conn.GetSendCount();
    const uint64_t now = get_up_time();
    const uint64_t last = std::max(m_pMsgConn->GetLastSendTime(), m_pHbConn->GetLastSendTime());
    // The heartbeat task may stamp a send after `now` was read; that link is
    // anything but idle.
    const uint64_t elapsed = last > now ? 0 : (now - last) / 1000;
    if (m_nHeartbeatInterval > elapsed) {
        return;
    }
    char text[sizeof(m_szHeartbeatText)];
    {
        std::lock_guard<std::mutex> lock(m_mtxHeartbeatText);
        memcpy(text, m_szHeartbeatText, sizeof(text));
    }
    UdpMessage msg;
    memset(&msg, 0, sizeof(msg));
    snprintf(msg.szData, sizeof(msg.szData), "%s", text);
    msg.nLen = static_cast<int32_t>(strlen(msg.szData));
    // Only into an empty queue: a heartbeat never waits behind results and
    // never piles up.
    if (mode == 1 || mode == 2) {
        conn.InsertEmptySendMsg(msg, sendsSeen);
    }
}

bool CUdpProcess::CheckTriggerMode() {
    int mode = 0;
    zerran_app::ITriggerSource* source = TriggerSource();
    if (source == nullptr) {
        return false;
    }
    const int status = source->GetIntParam(KeyTriggerMode(), mode);
    if (status != 0) {
        UT_LOGE(m_nLogId, "check_trigger_mode failed ,ret:%d\r\n", status);
        return false;
    }
    return mode != 0;
}

bool CUdpProcess::CheckTriggerCount() {
    int count = 0;
    zerran_app::ITriggerSource* source = TriggerSource();
    if (source == nullptr) {
        return false;
    }
    const int status = source->GetIntParam(KeyTriggerCount(), count);
    if (status != 0) {
        UT_LOGE(m_nLogId, "check_trigger_count failed ,ret:%d\r\n", status);
        return false;
    }
    return count != 0;
}

int CUdpProcess::ProcessScheduledTrans() {
    UdpMessage msg;
    memset(&msg, 0, sizeof(msg));
    int count = 0;
    unsigned long imageTime = 0;

    zerran_app::ITriggerSource* source = TriggerSource();
    if (source == nullptr) {
        UT_LOGE(m_nLogId, "trigger source instance nullptr\n");
        return kErrNoTriggerSource;
    }
    int status = source->GetIntParam(KeyTriggerCount(), count);
    if (status != 0) {
        UT_LOGE(m_nLogId, "get trigger count failed , ret:%d\r\n", status);
        return status;
    }
    std::string text;  // a millisecond count fits the string's inline buffer
    status = source->GetStringParam(KeyTriggerImageTime(), text);
    if (status != 0) {
        UT_LOGE(m_nLogId, "get trigger image time failed , ret:%d\r\n", status);
        return status;
    }
    if (sscanf(text.c_str(), "%lu", &imageTime) != 1) {
        imageTime = 0;  // not a number: the moment counts as passed
    }
    if (m_nRecord == count) {
        usleep(kScheduledStepUs);
        return 0;
    }
    // Measured from the image time, not from the result's arrival. An image
    // time ahead of the clock wraps to a huge difference and answers at once.
    const uint64_t delay = m_nScheduledTransTime.load();
    while (get_up_time() - static_cast<uint64_t>(imageTime) < delay) {
        usleep(kScheduledStepUs);
    }
    {
        std::lock_guard<std::mutex> lock(m_msgMutex);
        if (m_msgQueue.empty()) {
            msg.nLen = 2;
            memcpy(msg.szData, "NG", 2);
        } else {
            msg = m_msgQueue.front();
            m_msgQueue.pop_front();
        }
    }
    m_pMsgConn->InsertSendMsg(msg);
    // The count read after the send: triggers that came during the wait are
    // served by this one answer. Looked up again, as the wait may have been
    // long enough for the host to withdraw the component.
    source = TriggerSource();
    if (source == nullptr) {
        UT_LOGE(m_nLogId, "trigger source instance nullptr\n");
        return kErrNoTriggerSource;
    }
    status = source->GetIntParam(KeyTriggerCount(), count);
    if (status != 0) {
        UT_LOGE(m_nLogId, "get trigger count failed , ret:%d\r\n", status);
        return status;
    }
    m_nRecord = count;
    return 0;
}

}  // namespace udp
