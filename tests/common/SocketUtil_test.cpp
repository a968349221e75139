// Socket transfer utilities against real loopback peers: TCP connections on
// 127.0.0.1, Unix socket pairs and pipes. Time bounds are generous on purpose;
// each check tells a correct wait from a broken one by a wide margin.

#include "udptrans/udptrans_api.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace {

// util_send / send_with_timeout to a gone peer would raise SIGPIPE; the test
// process must see the error result instead of dying.
const bool kSigpipeIgnored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

class Fd {
public:
    explicit Fd(int fd = -1) : m_nFd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_nFd(std::exchange(other.m_nFd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_nFd, -1));
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_nFd; }
    void Reset(int fd = -1) {
        if (m_nFd >= 0) {
            close(m_nFd);
        }
        m_nFd = fd;
    }

private:
    int m_nFd;
};

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

unsigned short PortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

// A TCP listener on 127.0.0.1 with a kernel-chosen port.
Fd Listener(int backlog = 8, int rcvbuf = 0) {
    Fd l(socket(AF_INET, SOCK_STREAM, 0));
    if (rcvbuf > 0) {
        setsockopt(l.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    }
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(0, bind(l.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    EXPECT_EQ(0, listen(l.get(), backlog));
    return l;
}

struct TcpPair {
    Fd client;
    Fd server;
};

// A connected loopback TCP pair. Small buffers make "the peer stopped reading"
// reachable with little data.
TcpPair Connected(int bufferBytes = 0) {
    Fd l = Listener(8, bufferBytes);
    TcpPair p;
    p.client.Reset(socket(AF_INET, SOCK_STREAM, 0));
    if (bufferBytes > 0) {
        setsockopt(p.client.get(), SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
    }
    sockaddr_in a = Loopback(PortOf(l.get()));
    EXPECT_EQ(0, connect(p.client.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    p.server.Reset(accept(l.get(), nullptr, nullptr));
    EXPECT_GE(p.server.get(), 0);
    return p;
}

std::pair<Fd, Fd> UnixPair() {
    int sv[2] = {-1, -1};
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    return {Fd(sv[0]), Fd(sv[1])};
}

bool IsNonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// Writes until the kernel takes no more, then leaves the descriptor blocking:
// the next wait for writability runs into its limit.
void FillSendBuffer(int fd) {
    ASSERT_EQ(0, setNonBlock(fd, 1));
    std::vector<char> chunk(65536, 'f');
    while (send(fd, chunk.data(), chunk.size(), 0) > 0) {
    }
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
    ASSERT_EQ(0, setNonBlock(fd, 0));
}

// A descriptor number that is not open, for "the wait fails". It must lie
// inside the process's descriptor table: select() ignores set bits beyond it
// instead of failing with EBADF. Nothing else opens descriptors meanwhile.
int ClosedDescriptor() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    close(fd);
    return fd;
}

// Reads everything the peer sends until it closes.
std::vector<char> ReadAll(int fd) {
    std::vector<char> got;
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return got;
        }
        got.insert(got.end(), buf, buf + n);
    }
}

std::vector<char> Pattern(size_t size) {
    std::vector<char> v(size);
    for (size_t i = 0; i < size; ++i) {
        v[i] = static_cast<char>((i * 131u + i / 251u) & 0xFF);
    }
    return v;
}

// Sends one byte every `gapMs` until stopped: a peer that never lets a
// per-wait limit expire.
class Trickle {
public:
    Trickle(int fd, int gapMs)
        : m_thread([this, fd, gapMs] {
              while (!m_bStop.load()) {
                  if (send(fd, "t", 1, MSG_NOSIGNAL) != 1) {
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
              }
          }) {}
    ~Trickle() {
        m_bStop.store(true);
        m_thread.join();
    }

private:
    std::atomic<bool> m_bStop{false};  // set by the test thread, read by the trickle thread
    std::thread m_thread;
};

TEST(UtilSelect, KeepsOneBudgetAcrossWaits) {
    auto [a, b] = UnixPair();
    constexpr long long kBudgetMs = 1900;
    timeval tv{1, 900000};
    fd_set set;

    // The first wait ends early when the writer sends. Its time is charged on
    // top of what select itself took off, so the budget shrinks by more than
    // the time spent.
    std::thread writer([fd = b.get()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(1, send(fd, "x", 1, 0));
    });
    FD_ZERO(&set);
    FD_SET(a.get(), &set);
    auto start = Clock::now();
    EXPECT_EQ(1, util_select(a.get() + 1, &set, nullptr, nullptr, &tv));
    const long long first = MsSince(start);
    writer.join();
    EXPECT_TRUE(FD_ISSET(a.get(), &set));
    const long long leftMs = tv.tv_sec * 1000LL + tv.tv_usec / 1000;
    EXPECT_LE(leftMs, kBudgetMs - first + 5) << "first wait " << first << " ms";
    if (first < 700) {  // a writer delayed that long blurs the double charge
        EXPECT_LT(leftMs, kBudgetMs - first - 100) << "first wait " << first << " ms";
    }
    char c;
    ASSERT_EQ(1, recv(a.get(), &c, 1, 0));

    // The second wait with the same timeval spends only what is left.
    FD_ZERO(&set);
    FD_SET(a.get(), &set);
    start = Clock::now();
    EXPECT_EQ(0, util_select(a.get() + 1, &set, nullptr, nullptr, &tv));
    const long long second = MsSince(start);
    EXPECT_LT(second, leftMs + 250);
    EXPECT_GE(second + 50, leftMs);
    EXPECT_EQ(0, tv.tv_sec);
    EXPECT_EQ(0, tv.tv_usec);

    // A spent budget polls: no data means 0 at once.
    FD_ZERO(&set);
    FD_SET(a.get(), &set);
    start = Clock::now();
    EXPECT_EQ(0, util_select(a.get() + 1, &set, nullptr, nullptr, &tv));
    EXPECT_LT(MsSince(start), 1000);
}

TEST(UtilRecv, ReturnsWaitingBytesOrZeroAtTheLimit) {
    auto [a, b] = UnixPair();
    char buf[16] = {};

    ASSERT_EQ(5, send(b.get(), "hello", 5, 0));
    EXPECT_EQ(5, util_recv(a.get(), buf, sizeof(buf), 200));
    EXPECT_EQ(0, memcmp(buf, "hello", 5));

    auto start = Clock::now();
    EXPECT_EQ(0, util_recv(a.get(), buf, sizeof(buf), 200));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 5000);

    start = Clock::now();
    EXPECT_EQ(0, util_recv(a.get(), buf, sizeof(buf), 0));
    EXPECT_LT(MsSince(start), 1000);

    // No limit: blocks until a late writer delivers.
    std::thread writer([fd = b.get()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(3, send(fd, "abc", 3, 0));
    });
    EXPECT_EQ(3, util_recv(a.get(), buf, sizeof(buf), UTIL_NO_TIMEOUT));
    writer.join();
}

TEST(UtilRecv, ClosedPeerAndBadArgumentsGiveMinusOne) {
    char buf[8];
    {
        auto [a, b] = UnixPair();
        b.Reset();
        EXPECT_EQ(-1, util_recv(a.get(), buf, sizeof(buf), 200));
        EXPECT_EQ(-1, util_recv(a.get(), buf, sizeof(buf), UTIL_NO_TIMEOUT));
    }
    auto [a, b] = UnixPair();
    EXPECT_EQ(-1, util_recv(a.get(), buf, 0, 200));
    EXPECT_EQ(-1, util_recv(-1, buf, sizeof(buf), 200));
    EXPECT_EQ(-1, util_recv(a.get(), nullptr, sizeof(buf), 200));
    EXPECT_EQ(-1, util_recv(ClosedDescriptor(), buf, sizeof(buf), 200));
}

TEST(UtilSend, SendsOrReturnsZeroAtLimitAndFailsOnGonePeer) {
    auto [a, b] = UnixPair();
    EXPECT_EQ(4, util_send(a.get(), "ping", 4, 200));
    EXPECT_EQ(4, util_send(a.get(), "pong", 4, UTIL_NO_TIMEOUT));
    char buf[8];
    ASSERT_EQ(8, recv(b.get(), buf, 8, MSG_WAITALL));
    EXPECT_EQ(0, memcmp(buf, "pingpong", 8));

    FillSendBuffer(a.get());
    auto start = Clock::now();
    EXPECT_EQ(0, util_send(a.get(), "more", 4, 200));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(0, util_send(a.get(), "more", 4, 0));

    b.Reset();
    EXPECT_EQ(-1, util_send(a.get(), "gone", 4, 200));
    EXPECT_EQ(-1, util_send(a.get(), "gone", 4, UTIL_NO_TIMEOUT));
    EXPECT_EQ(-1, util_send(a.get(), "x", 0, 200));
    EXPECT_EQ(-1, util_send(-1, "x", 1, 200));
    EXPECT_EQ(-1, util_send(a.get(), nullptr, 1, 200));
}

TEST(UtilRecvn, CollectsEveryByteAcrossSeveralArrivals) {
    for (unsigned int limit : {5000u, UTIL_NO_TIMEOUT}) {
        auto [a, b] = UnixPair();
        // Non-blocking: the no-limit mode has to ride over EAGAIN.
        ASSERT_EQ(0, setNonBlock(a.get(), 1));
        std::thread writer([fd = b.get()] {
            for (const char* part : {"abc", "defg", "hij"}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EXPECT_GT(send(fd, part, strlen(part), 0), 0);
            }
        });
        char buf[10] = {};
        int status = 77;
        EXPECT_EQ(10, util_recvn(a.get(), buf, 10, limit, &status)) << limit;
        writer.join();
        EXPECT_EQ(0, status);
        EXPECT_EQ(0, memcmp(buf, "abcdefghij", 10));
    }
}

TEST(UtilRecvn, LimitCoversTheWholeTransferAndKeepsThePartialCount) {
    char buf[100];
    int status = 77;
    {
        auto [a, b] = UnixPair();
        ASSERT_EQ(10, send(b.get(), "0123456789", 10, 0));
        auto start = Clock::now();
        EXPECT_EQ(10, util_recvn(a.get(), buf, 20, 1000, &status));
        EXPECT_EQ(1, status);
        EXPECT_GE(MsSince(start), 750);
        EXPECT_LT(MsSince(start), 5000);

        // Limit 0 still takes what is already there.
        ASSERT_EQ(4, send(b.get(), "wxyz", 4, 0));
        EXPECT_EQ(4, util_recvn(a.get(), buf, 4, 0, &status));
        EXPECT_EQ(0, status);
        ASSERT_EQ(2, send(b.get(), "wx", 2, 0));
        EXPECT_EQ(2, util_recvn(a.get(), buf, 4, 0, &status));
        EXPECT_EQ(1, status);
    }
    // A byte every 30 ms never lets one wait expire; only a budget shared by
    // all waits ends this before the 100 bytes (3 s) are in.
    auto [a, b] = UnixPair();
    Trickle trickle(b.get(), 30);
    auto start = Clock::now();
    const int got = util_recvn(a.get(), buf, sizeof(buf), 500, &status);
    EXPECT_EQ(1, status);
    EXPECT_LT(got, 100);
    EXPECT_LT(MsSince(start), 2000);
}

TEST(UtilRecvn, ClosedPeerGivesStatusTwoAndBadArgumentsLeaveStatus) {
    char buf[16];
    for (unsigned int limit : {1000u, UTIL_NO_TIMEOUT}) {
        auto [a, b] = UnixPair();
        ASSERT_EQ(6, send(b.get(), "closed", 6, 0));
        b.Reset();
        int status = 77;
        EXPECT_EQ(6, util_recvn(a.get(), buf, sizeof(buf), limit, &status));
        EXPECT_EQ(2, status);
    }
    auto [a, b] = UnixPair();
    ASSERT_EQ(3, send(b.get(), "abc", 3, 0));
    EXPECT_EQ(3, util_recvn(a.get(), buf, 3, 1000, nullptr));
    int status = 77;
    EXPECT_EQ(-1, util_recvn(a.get(), buf, 0, 1000, &status));
    EXPECT_EQ(-1, util_recvn(-1, buf, 3, 1000, &status));
    EXPECT_EQ(-1, util_recvn(a.get(), nullptr, 3, 1000, &status));
    EXPECT_EQ(77, status);
    EXPECT_EQ(0, util_recvn(ClosedDescriptor(), buf, 3, 1000, &status));
    EXPECT_EQ(-1, status);
}

TEST(UtilSendn, NoLimitSendsEverythingInOrderOnNonBlockingSocket) {
    TcpPair p = Connected();
    ASSERT_EQ(0, setNonBlock(p.client.get(), 1));
    const std::vector<char> data = Pattern(4 << 20);
    std::vector<char> got;
    std::thread reader([&] { got = ReadAll(p.server.get()); });
    int status = 77;
    EXPECT_EQ(static_cast<int>(data.size()),
              util_sendn(p.client.get(), data.data(), static_cast<int>(data.size()),
                         UTIL_NO_TIMEOUT, &status));
    EXPECT_EQ(0, status);
    shutdown(p.client.get(), SHUT_WR);
    reader.join();
    EXPECT_TRUE(got == data);
}

TEST(UtilSendn, LimitedModeMakesOneSendFromTheStart) {
    int status = 77;
    {
        auto [a, b] = UnixPair();
        EXPECT_EQ(5, util_sendn(a.get(), "whole", 5, 1000, &status));
        EXPECT_EQ(0, status);

        FillSendBuffer(a.get());
        auto start = Clock::now();
        EXPECT_EQ(0, util_sendn(a.get(), "late", 4, 200, &status));
        EXPECT_EQ(1, status);
        EXPECT_GE(MsSince(start), 150);
        EXPECT_LT(MsSince(start), 5000);
        status = 77;
        EXPECT_EQ(0, util_sendn(a.get(), "late", 4, 0, &status));
        EXPECT_EQ(1, status);

        b.Reset();
        EXPECT_EQ(-1, util_sendn(a.get(), "gone", 4, 200, &status));
        EXPECT_EQ(-1, status);
        status = 77;
        EXPECT_EQ(0, util_sendn(a.get(), "gone", 4, UTIL_NO_TIMEOUT, &status));
        EXPECT_EQ(-1, status);
    }
    // Non-blocking with small buffers: the single send takes only part.
    TcpPair p = Connected(4096);
    ASSERT_EQ(0, setNonBlock(p.client.get(), 1));
    const std::vector<char> data = Pattern(8 << 20);
    const int sent =
        util_sendn(p.client.get(), data.data(), static_cast<int>(data.size()), 1000, &status);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(data.size()));
    EXPECT_EQ(1, status);

    status = 77;
    EXPECT_EQ(0, util_sendn(ClosedDescriptor(), "x", 1, 200, &status));
    EXPECT_EQ(-1, status);
    status = 77;
    EXPECT_EQ(-1, util_sendn(p.client.get(), "x", 0, 200, &status));
    EXPECT_EQ(-1, util_sendn(-1, "x", 1, 200, &status));
    EXPECT_EQ(-1, util_sendn(p.client.get(), nullptr, 1, 200, &status));
    EXPECT_EQ(77, status);
}

TEST(SendnWithError, CompletesALargeTransferAcrossManyWaits) {
    for (unsigned int limit : {5000u, UTIL_NO_TIMEOUT}) {
        TcpPair p = Connected(16384);
        const std::vector<char> data = Pattern(2 << 20);
        std::vector<char> got;
        std::thread reader([&] { got = ReadAll(p.server.get()); });
        int error = 77;
        EXPECT_EQ(static_cast<int>(data.size()),
                  sendn_with_error(p.client.get(), data.data(), static_cast<int>(data.size()),
                                   limit, &error));
        EXPECT_EQ(0, error);
        shutdown(p.client.get(), SHUT_WR);
        reader.join();
        EXPECT_TRUE(got == data) << limit;
    }
    // Without an error pointer the count is all the caller gets.
    auto [a, b] = UnixPair();
    EXPECT_EQ(3, sendn_with_error(a.get(), "abc", 3, 1000, nullptr));
}

TEST(SendnWithError, LimitReportsMinusThreeWithThePartialCount) {
    TcpPair p = Connected(4096);
    // Non-blocking, so each send takes what fits and the waits run the clock;
    // a blocking send would sit in the kernel for the rest of the buffer.
    ASSERT_EQ(0, setNonBlock(p.client.get(), 1));
    const std::vector<char> data = Pattern(8 << 20);
    int error = 77;
    auto start = Clock::now();
    const int sent =
        sendn_with_error(p.client.get(), data.data(), static_cast<int>(data.size()), 300, &error);
    EXPECT_EQ(-3, error);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(data.size()));
    EXPECT_GE(MsSince(start), 250);
    EXPECT_LT(MsSince(start), 5000);
    // What arrived is the start of the buffer, in order.
    std::vector<char> got(static_cast<size_t>(sent));
    ASSERT_EQ(sent, recv(p.server.get(), got.data(), got.size(), MSG_WAITALL));
    EXPECT_EQ(0, memcmp(got.data(), data.data(), got.size()));
}

std::atomic<int> g_nSigpipes{0};  // written by the signal handler, read by the test thread
void CountSigpipe(int) {
    g_nSigpipes.fetch_add(1);
}

TEST(SendnWithError, GonePeerIsAnErrorNotASignal) {
    ASSERT_TRUE(kSigpipeIgnored);
    struct sigaction count {};
    count.sa_handler = CountSigpipe;
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGPIPE, &count, &previous));

    auto [a, b] = UnixPair();
    b.Reset();
    int error = 77;
    EXPECT_EQ(0, sendn_with_error(a.get(), "abc", 3, 1000, &error));
    EXPECT_EQ(-EPIPE, error);
    error = 77;
    EXPECT_EQ(0, sendn_with_error(a.get(), "abc", 3, UTIL_NO_TIMEOUT, &error));
    EXPECT_EQ(-EPIPE, error);
    EXPECT_EQ(0, g_nSigpipes.load());
    // The handler is live: a plain send does raise the signal.
    EXPECT_EQ(-1, send(a.get(), "abc", 3, 0));
    EXPECT_EQ(1, g_nSigpipes.load());

    ASSERT_EQ(0, sigaction(SIGPIPE, &previous, nullptr));
}

TEST(SendnWithError, ZeroLimitBadArgumentsAndBadDescriptor) {
    auto [a, b] = UnixPair();
    int error = 77;
    // Limit 0 on a full buffer: nothing can go, the limit is reached at once.
    FillSendBuffer(a.get());
    EXPECT_EQ(0, sendn_with_error(a.get(), "abc", 3, 0, &error));
    EXPECT_EQ(-3, error);
    error = 77;
    EXPECT_EQ(-1, sendn_with_error(a.get(), nullptr, 3, 1000, &error));
    EXPECT_EQ(-1, sendn_with_error(a.get(), "abc", 0, 1000, &error));
    EXPECT_EQ(-2, sendn_with_error(-1, "abc", 3, 1000, &error));
    EXPECT_EQ(77, error);
    EXPECT_EQ(0, sendn_with_error(ClosedDescriptor(), "abc", 3, 1000, &error));
    EXPECT_EQ(-EBADF, error);
    error = 77;
    EXPECT_EQ(0, sendn_with_error(ClosedDescriptor(), "abc", 3, UTIL_NO_TIMEOUT, &error));
    EXPECT_EQ(-EBADF, error);
}

TEST(RecvWithTimeout, EachOutcomeHasItsOwnCode) {
    char buf[16];
    {
        auto [a, b] = UnixPair();
        ASSERT_EQ(2, send(b.get(), "hi", 2, 0));
        EXPECT_EQ(2, recv_with_timeout(a.get(), buf, sizeof(buf), 200));
        auto start = Clock::now();
        EXPECT_EQ(-3, recv_with_timeout(a.get(), buf, sizeof(buf), 200));
        EXPECT_GE(MsSince(start), 150);
        EXPECT_LT(MsSince(start), 5000);
        EXPECT_EQ(-3, recv_with_timeout(a.get(), buf, sizeof(buf), 0));
        b.Reset();
        EXPECT_EQ(0, recv_with_timeout(a.get(), buf, sizeof(buf), 200));
        EXPECT_EQ(0, recv_with_timeout(a.get(), buf, sizeof(buf), UTIL_NO_TIMEOUT));
    }
    // Readable but not a socket: the receive itself fails.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    Fd r(fds[0]), w(fds[1]);
    ASSERT_EQ(1, write(w.get(), "p", 1));
    EXPECT_EQ(-2, recv_with_timeout(r.get(), buf, sizeof(buf), 200));
    EXPECT_EQ(-2, recv_with_timeout(r.get(), buf, sizeof(buf), UTIL_NO_TIMEOUT));

    EXPECT_EQ(-4, recv_with_timeout(ClosedDescriptor(), buf, sizeof(buf), 200));
    EXPECT_EQ(-1, recv_with_timeout(r.get(), nullptr, 1, 200));
    EXPECT_EQ(-1, recv_with_timeout(r.get(), buf, 0, 200));
    EXPECT_EQ(-1, recv_with_timeout(-1, buf, 1, 200));
}

void NoteSignal(int) {}

TEST(RecvWithTimeout, SignalDuringTheWaitStartsANewWait) {
    struct sigaction note {};
    note.sa_handler = NoteSignal;  // no SA_RESTART: select fails with EINTR
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &note, &previous));

    auto [a, b] = UnixPair();
    const pthread_t waiter = pthread_self();
    std::thread signaller([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGUSR1);
    });
    char buf[4];
    auto start = Clock::now();
    EXPECT_EQ(-3, recv_with_timeout(a.get(), buf, sizeof(buf), 400));
    EXPECT_GE(MsSince(start), 350);
    signaller.join();
    ASSERT_EQ(0, sigaction(SIGUSR1, &previous, nullptr));
}

TEST(SendWithTimeout, SendsOrReturnsZeroAtLimitUnlikeRecv) {
    auto [a, b] = UnixPair();
    EXPECT_EQ(3, send_with_timeout(a.get(), "abc", 3, 200));
    EXPECT_EQ(3, send_with_timeout(a.get(), "def", 3, UTIL_NO_TIMEOUT));
    char buf[6];
    ASSERT_EQ(6, recv(b.get(), buf, 6, MSG_WAITALL));
    EXPECT_EQ(0, memcmp(buf, "abcdef", 6));

    FillSendBuffer(a.get());
    auto start = Clock::now();
    EXPECT_EQ(0, send_with_timeout(a.get(), "x", 1, 200));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(0, send_with_timeout(a.get(), "x", 1, 0));

    b.Reset();
    EXPECT_EQ(-1, send_with_timeout(a.get(), "x", 1, 200));
    EXPECT_EQ(-1, send_with_timeout(a.get(), "x", 1, UTIL_NO_TIMEOUT));
    EXPECT_EQ(-1, send_with_timeout(ClosedDescriptor(), "x", 1, 200));
    EXPECT_EQ(-1, send_with_timeout(a.get(), nullptr, 1, 200));
    EXPECT_EQ(-1, send_with_timeout(a.get(), "x", 0, 200));
    EXPECT_EQ(-1, send_with_timeout(-1, "x", 1, 200));
}

TEST(SocketSwitches, NonBlockAndKeepAliveSetAndClear) {
    TcpPair p = Connected();
    const int fd = p.client.get();
    const int otherFlags = fcntl(fd, F_GETFL) & ~O_NONBLOCK;
    EXPECT_EQ(0, setNonBlock(fd, 5));
    EXPECT_TRUE(IsNonBlocking(fd));
    EXPECT_EQ(0, setNonBlock(fd, 0));
    EXPECT_FALSE(IsNonBlocking(fd));
    EXPECT_EQ(otherFlags, fcntl(fd, F_GETFL));
    EXPECT_EQ(-1, setNonBlock(ClosedDescriptor(), 1));

    int value = -1;
    socklen_t len = sizeof(value);
    EXPECT_EQ(0, setTCPKeepAlive(fd, 7));
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len));
    EXPECT_EQ(1, value);
    EXPECT_EQ(0, setTCPKeepAlive(fd, 0));
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len));
    EXPECT_EQ(0, value);
    EXPECT_EQ(-1, setTCPKeepAlive(ClosedDescriptor(), 1));
}

TEST(ConnectWithTimeOut, ConnectsAndLeavesTheDescriptorBlocking) {
    Fd l = Listener();
    const sockaddr_in a = Loopback(PortOf(l.get()));
    for (unsigned int limit : {2000000u, 0xFFFFFFFFu}) {
        Fd s(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(0, setNonBlock(s.get(), 1));  // blocking afterwards even so
        EXPECT_EQ(0, connectWithTimeOut(s.get(), reinterpret_cast<const sockaddr*>(&a), limit));
        EXPECT_FALSE(IsNonBlocking(s.get()));
        Fd in(accept(l.get(), nullptr, nullptr));
        ASSERT_GE(in.get(), 0);
        EXPECT_EQ(2, send(s.get(), "ok", 2, 0));
    }
}

TEST(ConnectWithTimeOut, RefusedPortFailsAndLeavesTheDescriptorBlocking) {
    // Bound but not listening: the port is ours and certainly closed.
    Fd holder(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    a = Loopback(PortOf(holder.get()));

    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    const int rc = connectWithTimeOut(s.get(), reinterpret_cast<const sockaddr*>(&a), 2000000);
    // Loopback may refuse inside connect() (-1) or report it after the wait (-2).
    EXPECT_TRUE(rc == -2 || rc == -1) << rc;
    EXPECT_FALSE(IsNonBlocking(s.get()));
}

TEST(ConnectWithTimeOut, FullBacklogRunsIntoTheLimit) {
    Fd l = Listener(0);
    const sockaddr_in a = Loopback(PortOf(l.get()));
    // Fill the accept queue until a handshake stays pending (its SYN dropped).
    std::vector<Fd> pending;
    bool stuck = false;
    for (int i = 0; i < 16 && !stuck; ++i) {
        Fd c(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const int rc = connect(c.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd pfd{c.get(), POLLOUT, 0};
            stuck = (poll(&pfd, 1, 200) == 0);
        }
        pending.push_back(std::move(c));
    }
    if (!stuck) {
        GTEST_SKIP() << "the kernel completed every pending connect";
    }

    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    auto start = Clock::now();
    EXPECT_EQ(-3, connectWithTimeOut(s.get(), reinterpret_cast<const sockaddr*>(&a), 200000));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_FALSE(IsNonBlocking(s.get()));
}

TEST(ConnectWithTimeOut, BadDescriptorAndNonSocket) {
    const sockaddr_in a = Loopback(9);
    EXPECT_EQ(-1, connectWithTimeOut(-1, reinterpret_cast<const sockaddr*>(&a), 1000));
    EXPECT_EQ(-1,
              connectWithTimeOut(ClosedDescriptor(), reinterpret_cast<const sockaddr*>(&a), 1000));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    Fd r(fds[0]), w(fds[1]);
    EXPECT_EQ(-1, connectWithTimeOut(r.get(), reinterpret_cast<const sockaddr*>(&a), 1000));
    EXPECT_FALSE(IsNonBlocking(r.get()));
}

// Descriptors an fd_set cannot hold are waited for with poll; FD_SET on them
// would write past the set (caught by the sanitizers and the fortified FD_SET).
class HighDescriptor : public ::testing::Test {
protected:
    void SetUp() override {
        rlimit lim{};
        ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
        if (lim.rlim_cur < 1200) {
            if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1200) {
                GTEST_SKIP() << "open-file limit too low: " << lim.rlim_max;
            }
            lim.rlim_cur = 1200;
            ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
        }
    }
    static Fd High(Fd low) {
        Fd high(fcntl(low.get(), F_DUPFD, 1100));
        EXPECT_GE(high.get(), FD_SETSIZE);
        return high;
    }
};

TEST_F(HighDescriptor, TimedTransfersStillWorkAboveFdSetSize) {
    auto [lowA, b] = UnixPair();
    Fd a = High(std::move(lowA));
    char buf[100];
    int status = 77;

    ASSERT_EQ(3, send(b.get(), "abc", 3, 0));
    EXPECT_EQ(3, util_recv(a.get(), buf, sizeof(buf), 200));
    auto start = Clock::now();
    EXPECT_EQ(0, util_recv(a.get(), buf, sizeof(buf), 200));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_EQ(-3, recv_with_timeout(a.get(), buf, sizeof(buf), 0));

    EXPECT_EQ(4, util_sendn(a.get(), "abcd", 4, 200, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(4, sendn_with_error(a.get(), "efgh", 4, 200, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(2, send_with_timeout(a.get(), "ij", 2, 200));
    EXPECT_EQ(10, util_recvn(b.get(), buf, 10, 1000, &status));
    EXPECT_EQ(0, memcmp(buf, "abcdefghij", 10));

    {
        // The shared budget holds on this path too.
        Trickle trickle(b.get(), 30);
        start = Clock::now();
        EXPECT_LT(util_recvn(a.get(), buf, sizeof(buf), 500, &status), 100);
        EXPECT_EQ(1, status);
        EXPECT_LT(MsSince(start), 2000);
    }

    FillSendBuffer(a.get());
    start = Clock::now();
    EXPECT_EQ(0, send_with_timeout(a.get(), "x", 1, 200));
    EXPECT_GE(MsSince(start), 150);

    b.Reset();
    while (util_recv(a.get(), buf, sizeof(buf), 0) > 0) {
    }
    EXPECT_EQ(0, recv_with_timeout(a.get(), buf, sizeof(buf), 200));

    // A closed high number fails the wait like select's EBADF.
    const int gone = a.get();
    a.Reset();
    EXPECT_EQ(-4, recv_with_timeout(gone, buf, sizeof(buf), 200));
}

TEST_F(HighDescriptor, ConnectWithTimeOutAboveFdSetSize) {
    Fd l = Listener();
    const sockaddr_in a = Loopback(PortOf(l.get()));
    Fd s = High(Fd(socket(AF_INET, SOCK_STREAM, 0)));
    EXPECT_EQ(0, connectWithTimeOut(s.get(), reinterpret_cast<const sockaddr*>(&a), 2000000));
    EXPECT_FALSE(IsNonBlocking(s.get()));
    Fd in(accept(l.get(), nullptr, nullptr));
    EXPECT_GE(in.get(), 0);
}

}  // namespace
