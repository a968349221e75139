// Fuzzes the socket transfer utilities over their argument space on real
// sockets: a connected local stream pair (also reached through a descriptor
// above FD_SETSIZE), a TCP loopback connection, an unbound UDP socket,
// /dev/null, a closed descriptor, -1 and a descriptor beyond the process
// limit; lengths from -2 to about 5000 (buffers always exactly `length` bytes,
// so any overrun shows under AddressSanitizer) and time limits of 0, a few
// milliseconds or none.
//
// Checked: no crash or memory error; results and output statuses stay in
// their documented ranges; bytes that are reported received are the bytes
// the peer wrote, in order; bytes reported sent arrive at the peer unchanged.
// Calls without a time limit are only made where they cannot block for ever.
//
// Input: groups of four bytes: function, descriptor and limit, length, bytes
// the peer writes first.
//
// Threads: libFuzzer's one thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "udptrans/udptrans_api.h"

namespace {

constexpr int kHighFd = 1500;    // above FD_SETSIZE, below the raised limit
constexpr int kClosedFd = 1900;  // never open
constexpr int kBeyondLimit = 70000;

struct Sockets {
    int a = -1;       // local stream socket under test
    int b = -1;       // its peer
    int tcp = -1;     // TCP client under test
    int server = -1;  // its peer
    int udp = -1;     // unbound UDP socket
    int devnull = -1;
    int listener = -1;
    sockaddr_in listenAddr{};
    sockaddr_in closedAddr{};  // a loopback port nobody listens on
};

Sockets g_s;

void SetBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
}

size_t DrainInto(int fd, std::vector<char>* out) {
    char buf[8192];
    size_t total = 0;
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) {
            return total;
        }
        total += static_cast<size_t>(n);
        if (out != nullptr) {
            out->insert(out->end(), buf, buf + n);
        }
    }
}

// Bytes a TCP side still holds in its send queue (the peer's window held
// them back) would reach the next call as if the peer had just written them:
// drain both sides until neither has anything left to deliver.
void DrainTcpPair() {
    for (int round = 0; round < 1000; ++round) {
        DrainInto(g_s.tcp, nullptr);
        DrainInto(g_s.server, nullptr);
        int toServer = 0;
        int toClient = 0;
        if (ioctl(g_s.tcp, SIOCOUTQ, &toServer) != 0 ||
            ioctl(g_s.server, SIOCOUTQ, &toClient) != 0) {
            return;
        }
        if (toServer == 0 && toClient == 0) {
            // Everything sent was acknowledged, so it sits in the receive
            // queues that this last pass empties.
            DrainInto(g_s.tcp, nullptr);
            DrainInto(g_s.server, nullptr);
            return;
        }
        pollfd pfd[2] = {{g_s.tcp, POLLIN, 0}, {g_s.server, POLLIN, 0}};
        poll(pfd, 2, 1);
    }
    Fail("TCP send queues never emptied");
}

void Reset() {
    SetBlocking(g_s.a);
    SetBlocking(g_s.tcp);
    dup2(g_s.a, kHighFd);
    for (int fd : {g_s.a, g_s.b, g_s.udp}) {
        DrainInto(fd, nullptr);
    }
    DrainTcpPair();
}

void Setup() {
    signal(SIGPIPE, SIG_IGN);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 4096) {
        lim.rlim_cur = 4096;
        if (lim.rlim_max < 4096) {
            lim.rlim_max = 4096;
        }
        Check(setrlimit(RLIMIT_NOFILE, &lim) == 0, "cannot raise the descriptor limit", errno);
    }
    int pair[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair", errno);
    g_s.a = pair[0];
    g_s.b = pair[1];

    g_s.listener = socket(AF_INET, SOCK_STREAM, 0);
    g_s.listenAddr.sin_family = AF_INET;
    g_s.listenAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(g_s.listenAddr);
    Check(bind(g_s.listener, reinterpret_cast<sockaddr*>(&g_s.listenAddr), len) == 0, "bind");
    getsockname(g_s.listener, reinterpret_cast<sockaddr*>(&g_s.listenAddr), &len);
    listen(g_s.listener, 64);
    // Connections made by connectWithTimeOut are taken off without waiting.
    fcntl(g_s.listener, F_SETFL, fcntl(g_s.listener, F_GETFL) | O_NONBLOCK);
    g_s.tcp = socket(AF_INET, SOCK_STREAM, 0);
    Check(connect(g_s.tcp, reinterpret_cast<sockaddr*>(&g_s.listenAddr), len) == 0, "connect");
    g_s.server = accept(g_s.listener, nullptr, nullptr);
    Check(g_s.server >= 0, "accept", errno);

    // A port that was free a moment ago: connects to it are refused at once.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    g_s.closedAddr = g_s.listenAddr;
    g_s.closedAddr.sin_port = 0;
    bind(probe, reinterpret_cast<sockaddr*>(&g_s.closedAddr), len);
    getsockname(probe, reinterpret_cast<sockaddr*>(&g_s.closedAddr), &len);
    close(probe);

    g_s.udp = socket(AF_INET, SOCK_DGRAM, 0);
    g_s.devnull = open("/dev/null", O_RDWR);
    close(kClosedFd);
}

enum FdKind { kStream, kStreamHigh, kNegative, kClosed, kDevNull, kUdp, kTcp, kBeyond };

int FdOf(int kind) {
    switch (kind) {
        case kStream:
            return g_s.a;
        case kStreamHigh:
            return kHighFd;
        case kNegative:
            return -1;
        case kClosed:
            return kClosedFd;
        case kDevNull:
            return g_s.devnull;
        case kUdp:
            return g_s.udp;
        case kTcp:
            return g_s.tcp;
        default:
            return kBeyondLimit;
    }
}

int PeerOf(int kind) {
    if (kind == kStream || kind == kStreamHigh) {
        return g_s.b;
    }
    return kind == kTcp ? g_s.server : -1;
}

// Bytes the peer wrote before the call; the call may receive a prefix.
std::vector<char> g_written;

void Prefill(int kind, size_t count, uint8_t seed) {
    g_written.clear();
    const int peer = PeerOf(kind);
    if (peer < 0 || count == 0) {
        return;
    }
    g_written.resize(count);
    for (size_t i = 0; i < count; ++i) {
        g_written[i] = static_cast<char>((seed + i * 13u) & 0xFF);
    }
    const ssize_t n = send(peer, g_written.data(), count, MSG_DONTWAIT);
    g_written.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (kind == kTcp && !g_written.empty()) {
        // Loopback TCP delivers at once in practice; wait briefly to be sure.
        pollfd pfd{g_s.tcp, POLLIN, 0};
        poll(&pfd, 1, 100);
    }
}

void CheckReceived(const char* buffer, int got) {
    if (got <= 0) {
        return;
    }
    Check(static_cast<size_t>(got) <= g_written.size(), "received more than the peer wrote", got);
    Check(std::memcmp(buffer, g_written.data(), static_cast<size_t>(got)) == 0,
          "received bytes differ from what the peer wrote", got);
}

void CheckSent(int kind, const char* buffer, int sent) {
    if (sent <= 0 || (kind != kStream && kind != kStreamHigh)) {
        return;
    }
    std::vector<char> got;
    DrainInto(g_s.b, &got);
    Check(got.size() == static_cast<size_t>(sent), "peer got another count than reported sent",
          sent);
    Check(std::memcmp(got.data(), buffer, got.size()) == 0, "peer got other bytes than sent");
}

unsigned int LimitOf(uint8_t code) {
    switch (code & 3u) {
        case 0:
            return 0;
        case 1:
            return 1u + (code >> 2) % 10u;
        case 2:
            return 20;
        default:
            return UTIL_NO_TIMEOUT;
    }
}

// A receive without a limit must find what it needs already there, or fail
// at once; anything else would block the fuzzer for ever.
bool ReceiveMayBlock(int kind, size_t needed) {
    switch (kind) {
        case kStream:
        case kStreamHigh:
        case kTcp:
            return g_written.size() < needed;
        case kUdp:
            return true;
        default:
            return false;
    }
}

void RunOne(uint8_t func, uint8_t fdAndLimit, uint8_t lengthCode, uint8_t prefill) {
    const int kind = fdAndLimit & 7u;
    const int fd = FdOf(kind);
    unsigned int limit = LimitOf(fdAndLimit >> 3);
    const int length = static_cast<int>((static_cast<unsigned>(lengthCode) * 19u) % 5000u) - 2;
    const size_t bufSize = length > 0 ? static_cast<size_t>(length) : 1;
    const int most = length > 0 ? length : 0;  // no result may exceed it
    std::vector<char> buffer(bufSize);
    char* buf = length > 0 ? buffer.data() : (prefill & 1u ? nullptr : buffer.data());
    for (size_t i = 0; i < bufSize; ++i) {
        buffer[i] = static_cast<char>((i * 7u + prefill) & 0xFF);
    }
    Prefill(kind, static_cast<size_t>(prefill) * 23u, prefill);
    int status = 12345;

    switch (func % 12u) {
        case 0: {
            if (limit == UTIL_NO_TIMEOUT && ReceiveMayBlock(kind, 1)) {
                limit = 0;
            }
            const int r = util_recv(fd, buf, length, limit);
            Check(r >= -1 && r <= most, "util_recv result", r);
            CheckReceived(buf, r);
            break;
        }
        case 1: {
            const int r = util_send(fd, buf, length, limit);
            Check(r >= -1 && r <= most, "util_send result", r);
            CheckSent(kind, buf, r);
            break;
        }
        case 2: {
            if (limit == UTIL_NO_TIMEOUT && ReceiveMayBlock(kind, bufSize)) {
                limit = 1;
            }
            const int r = util_recvn(fd, buf, length, limit, &status);
            Check(r >= -1 && r <= most, "util_recvn result", r);
            if (r >= 0) {
                Check(status == 0 || status == 1 || status == 2 || status == -1,
                      "util_recvn status", status);
                Check(status != 0 || r == length, "util_recvn complete but short", r);
            }
            CheckReceived(buf, r);
            break;
        }
        case 3: {
            const int r = util_sendn(fd, buf, length, limit, (prefill & 2u) ? nullptr : &status);
            Check(r >= -1 && r <= most, "util_sendn result", r);
            CheckSent(kind, buf, r);
            break;
        }
        case 4: {
            int error = 12345;
            const int r =
                sendn_with_error(fd, buf, length, limit, (prefill & 2u) ? nullptr : &error);
            Check(r >= -2 && r <= most, "sendn_with_error result", r);
            if (r >= 0 && !(prefill & 2u)) {
                Check(error <= 0, "sendn_with_error error", error);
                Check(error != 0 || r == length, "sendn_with_error complete but short", r);
            }
            CheckSent(kind, buf, r);
            break;
        }
        case 5: {
            if (limit == UTIL_NO_TIMEOUT && ReceiveMayBlock(kind, 1)) {
                limit = 0;
            }
            const int r = recv_with_timeout(fd, buf, length, limit);
            Check(r >= -4 && r <= most, "recv_with_timeout result", r);
            CheckReceived(buf, r);
            break;
        }
        case 6: {
            const int r = send_with_timeout(fd, buf, length, limit);
            Check(r >= -1 && r <= most, "send_with_timeout result", r);
            CheckSent(kind, buf, r);
            break;
        }
        case 7: {
            const int r = setNonBlock(fd, prefill & 1u);
            Check(r == 0 || r == -1, "setNonBlock result", r);
            break;
        }
        case 8: {
            const int r = setTCPKeepAlive(fd, prefill & 1u);
            Check(r == 0 || r == -1, "setTCPKeepAlive result", r);
            break;
        }
        case 9: {
            // A fresh TCP socket (or the descriptor under test) connecting to
            // the listener, a closed port or a wrong family.
            const bool fresh = (prefill & 4u) != 0;
            const int target = fresh ? socket(AF_INET, SOCK_STREAM, 0) : fd;
            const sockaddr_in* addr = (prefill & 8u) ? &g_s.closedAddr : &g_s.listenAddr;
            const unsigned int us =
                (fdAndLimit >> 3) == 31 ? 0xFFFFFFFFu : (fdAndLimit >> 3) * 1000u;
            const int r = connectWithTimeOut(target, reinterpret_cast<const sockaddr*>(addr), us);
            Check(r >= -4 && r <= 0, "connectWithTimeOut result", r);
            if (fresh) {
                if (r == 0) {
                    Check((fcntl(target, F_GETFL) & O_NONBLOCK) == 0,
                          "connected descriptor left non-blocking");
                }
                close(target);
                const int accepted = accept(g_s.listener, nullptr, nullptr);
                if (accepted >= 0) {
                    close(accepted);
                }
            }
            break;
        }
        case 10: {
            if (fd < 0 || fd >= FD_SETSIZE) {
                break;
            }
            fd_set rd;
            fd_set wr;
            FD_ZERO(&rd);
            FD_ZERO(&wr);
            FD_SET(fd, &rd);
            FD_SET(fd, &wr);
            timeval tv{0, static_cast<suseconds_t>(limit == UTIL_NO_TIMEOUT ? 0 : limit * 1000)};
            const int r = util_select(fd + 1, (prefill & 1u) ? &rd : nullptr,
                                      (prefill & 2u) ? &wr : nullptr, nullptr, &tv);
            Check(r >= -1 && r <= 2, "util_select result", r);
            Check(tv.tv_sec >= 0 && tv.tv_usec >= 0 && tv.tv_usec < 1000000,
                  "util_select left a broken time limit");
            break;
        }
        default: {
            // Read what a peer sent through the high descriptor, with a limit.
            const int r =
                util_recvn(kHighFd, buf, length, limit == UTIL_NO_TIMEOUT ? 2 : limit, &status);
            Check(r >= -1 && r <= most, "util_recvn (high fd) result", r);
            if (kind == kStream || kind == kStreamHigh) {
                CheckReceived(buf, r);
            }
            break;
        }
    }
    Reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    Reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 4 <= size && i < 4 * 16; i += 4) {
        RunOne(data[i], data[i + 1], data[i + 2], data[i + 3]);
    }
    return 0;
}
