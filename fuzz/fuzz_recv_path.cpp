// Fuzzes the receive path of a message endpoint: arbitrary datagrams arrive
// on its socket over loopback, the communication proxy hands their text to a
// handler that answers with arbitrary bytes (also taken from the input), and
// the answers go out to a receiver. Log lines are caught through the log
// callback at the most verbose level, so every formatted line is built.
//
// Checked: no crash or memory error; Recv reports what arrived (cut to 256
// bytes); the proxy sees the text up to its first zero byte, at most 127
// characters of it in szMsg and its full length in nMsgLen; every answer on
// the wire is at most 1028 bytes and is the first bytes of the handler's
// answer; the send queue never holds more than five records; received bytes
// never act as a format (a datagram such as "%n%s%s" is logged, if at all,
// as literal text).
//
// Input: byte 0 flags (bit 0: answer, bit 1: six more requests before
// sending, so that answers are refused at the full queue, bit 2: refuse in
// the proxy), byte 1 the datagram length, then the datagram, then
// the answer.
//
// Threads: libFuzzer's thread drives the endpoint as its worker task would;
// the handler runs on the proxy's thread and shares g_answer under g_mtx.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "FuzzCheck.h"
#include "UdpConnection.h"
#include "algo/CommProxy.h"
#include "udptrans/udptrans_api.h"

namespace {

std::mutex g_mtx;  // guards the four values below (fuzzer thread vs proxy thread)
std::string g_answer;
bool g_bAnswer = false;
std::string g_expectText;  // what the handler must see in szMsg
int g_nExpectLen = 0;      // and in nMsgLen
std::atomic<int> g_nHandled{0};
std::atomic<int> g_nBadRequest{0};

std::shared_ptr<udp::UdpConnection> g_conn;
int g_client = -1;
int g_receiver = -1;
sockaddr_in g_endpointAddr{};

int LogCallback(int, int, int, const char* line, int length) {
    // Built by the logging facility: must be a terminated string of `length`.
    if (line == nullptr || length < 0 || std::strlen(line) != static_cast<size_t>(length)) {
        std::abort();
    }
    return 0;
}

bool Handler(const CCommProxy::MessageInfo& request, std::string& reply) {
    g_nHandled.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_mtx);
    if (request.nMsgLen != g_nExpectLen ||
        std::strncmp(request.szMsg, g_expectText.c_str(), sizeof(request.szMsg)) != 0 ||
        request.szMsg[sizeof(request.szMsg) - 1] != '\0') {
        g_nBadRequest.fetch_add(1);
    }
    if (!g_bAnswer) {
        return false;
    }
    reply = g_answer;
    return true;
}

int BoundUdp(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    return fd;
}

bool Readable(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, ms) > 0;
}

// Sends what the endpoint holds and checks each datagram at the receiver.
void SendAll(const std::string& answer, int expected) {
    int sent = 0;
    while (!g_conn->IsSendQueueEmpty()) {
        const int r = g_conn->Send();
        Check(r >= 0, "Send failed", r);
        ++sent;
        Check(sent <= 5, "send queue held more than five records", sent);
        char buf[4096];
        Check(Readable(g_receiver, 2000), "answer never arrived");
        const ssize_t n = recv(g_receiver, buf, sizeof(buf), 0);
        Check(n >= 0 && n <= 1028, "answer longer than 1028 bytes on the wire", n);
        const size_t want = std::min<size_t>(answer.size(), 1028);
        Check(static_cast<size_t>(n) == want, "answer cut to another length", n);
        Check(std::memcmp(buf, answer.data(), want) == 0, "answer bytes changed");
    }
    Check(sent <= expected, "more answers than requests", sent);
}

void Setup() {
    log_set_priority(-1, 3);
    log_set_callbacker(3, &LogCallback);
    CCommProxy::getInstance().SetCommandHandler(&Handler);

    uint16_t rxPort = 0;
    uint16_t clientPort = 0;
    g_receiver = BoundUdp(&rxPort);
    g_client = BoundUdp(&clientPort);

    g_conn = std::make_shared<udp::UdpConnection>();
    g_conn->SetLogId(7);
    Check(g_conn->Init(0, udp::UdpConnection::CONNECTION_MSG) == 0, "endpoint Init");
    g_conn->SetTargetNewIp(INADDR_LOOPBACK);
    g_conn->SetTargetNewPort(rxPort);
    Check(g_conn->ReDirect() == 0, "endpoint ReDirect");

    socklen_t len = sizeof(g_endpointAddr);
    getsockname(g_conn->GetSockFd(), reinterpret_cast<sockaddr*>(&g_endpointAddr), &len);
    g_endpointAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];
    // Up to 300 bytes: longer than the 256 that are read.
    const size_t dgLen = std::min<size_t>(size - 2, (data[1] * 300u) / 255u);
    const std::string datagram(reinterpret_cast<const char*>(data + 2), dgLen);
    const std::string answer(reinterpret_cast<const char*>(data + 2 + dgLen), size - 2 - dgLen);

    const size_t readLen = std::min<size_t>(dgLen, 256);
    const std::string kept = datagram.substr(0, readLen);
    const std::string text = kept.substr(0, std::strlen(kept.c_str()));
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_answer = answer;
        g_bAnswer = (flags & 1u) != 0;
        g_expectText = text.substr(0, 127);
        g_nExpectLen = static_cast<int>(text.size());
    }
    const bool refuse = (flags & 4u) != 0;
    CCommProxy::getInstance().SetQueueLimit(refuse ? 0 : CCommProxy::kDefaultQueueLimit);

    const int handledBefore = g_nHandled.load();
    const ssize_t sent =
        sendto(g_client, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&g_endpointAddr), sizeof(g_endpointAddr));
    Check(sent == static_cast<ssize_t>(datagram.size()), "client sendto", sent);
    Check(Readable(g_conn->GetSockFd(), 2000), "datagram never reached the endpoint");
    const int got = g_conn->Recv();
    Check(got == static_cast<int>(readLen), "Recv reported another length", got);

    Check(CCommProxy::getInstance().WaitIdle(5000), "proxy never became idle");
    const bool handedOver = readLen > 0 && !refuse;
    Check(g_nHandled.load() - handledBefore == (handedOver ? 1 : 0), "hand-over count");
    Check(g_nBadRequest.load() == 0, "proxy saw another text or length than arrived");

    // Also straight into RecvProcess with lengths the socket never gives.
    char copy[300];
    std::memcpy(copy, kept.c_str(), kept.size() + 1);
    Check(g_conn->RecvProcess(nullptr, 5) == -1, "RecvProcess(null)");
    Check(g_conn->RecvProcess(copy, -1 - static_cast<int>(flags)) == -1, "RecvProcess(negative)");
    if (!refuse) {
        Check(g_conn->RecvProcess(copy, static_cast<int>(flags)) == 0, "RecvProcess refused");
        Check(CCommProxy::getInstance().WaitIdle(5000), "proxy never became idle");
        Check(g_nBadRequest.load() == 0, "proxy saw another text than handed over");
    }

    // More hand-overs than the send queue holds: the surplus answers are
    // refused (and logged), the queue never grows past five.
    int requests = handedOver ? 1 : 0;
    if (!refuse) {
        requests += 1;
        if ((flags & 2u) != 0) {
            for (int i = 0; i < 6; ++i) {
                Check(g_conn->RecvProcess(copy, 1) == 0, "RecvProcess refused");
                ++requests;
            }
            Check(CCommProxy::getInstance().WaitIdle(5000), "proxy never became idle");
        }
    }
    SendAll(answer, std::min(requests, 5));
    return 0;
}
