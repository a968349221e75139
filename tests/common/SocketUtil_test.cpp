// Socket transfer utilities against real loopback peers: TCP connections on
// 127.0.0.1, Unix socket pairs and pipes. Time bounds are generous on purpose;
// each check tells a correct wait from a broken one by a wide margin.

#include "udptrans/udptrans_api.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace {

// util_send / send_with_timeout to a gone peer may raise SIGPIPE; the test
// process must see the error result instead of dying, and counts the signals.
std::atomic<int> g_nSigpipes{0};  // written by the signal handler, read by the test thread
const bool kSigpipeCounted = [] {
    struct sigaction count {};
    count.sa_handler = [](int) { g_nSigpipes.fetch_add(1); };
    return sigaction(SIGPIPE, &count, nullptr) == 0;
}();

struct Fd {
    explicit Fd(int fd = -1) : m_nFd(fd) {}
    Fd(Fd&& other) noexcept : m_nFd(std::exchange(other.m_nFd, -1)) {}
    ~Fd() { close(m_nFd); }  // close(-1) fails harmlessly
    int get() const { return m_nFd; }
    void Reset() { close(std::exchange(m_nFd, -1)); }
    int m_nFd;
};

using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A loopback TCP socket bound to a kernel-chosen port, listening unless
// `backlog` is negative; `rcvbuf` > 0 shrinks its receive buffer first.
struct Listener {
    explicit Listener(int backlog = 8, int rcvbuf = 0) {
        if (rcvbuf > 0) {
            setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        }
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(0, bind(fd.get(), Addr(), sizeof(addr)));
        EXPECT_EQ(0, getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len));
        EXPECT_TRUE(backlog < 0 || listen(fd.get(), backlog) == 0);
    }
    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&addr); }
    Fd Accept() const { return Fd(accept(fd.get(), nullptr, nullptr)); }

    Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in addr{};
};

// A connected loopback TCP pair (client, server). Small buffers make "the
// peer stopped reading" reachable with little data.
std::pair<Fd, Fd> Connected(int bufferBytes = 0) {
    const Listener l(8, bufferBytes);
    Fd c(socket(AF_INET, SOCK_STREAM, 0));
    if (bufferBytes > 0) {
        setsockopt(c.get(), SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
    }
    EXPECT_EQ(0, connect(c.get(), l.Addr(), sizeof(l.addr)));
    return {std::move(c), l.Accept()};
}

// A Unix stream socket pair, or a pipe (read end, write end).
std::pair<Fd, Fd> Pair(bool unixSockets = true) {
    int sv[2] = {-1, -1};
    EXPECT_EQ(0, unixSockets ? socketpair(AF_UNIX, SOCK_STREAM, 0, sv) : pipe(sv));
    return {Fd(sv[0]), Fd(sv[1])};
}

bool IsNonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A descriptor number that is not open, for "the wait fails". It must lie
// inside the process's descriptor table (select() ignores bits beyond it);
// `at` > 0 asks for one at or above that number.
int ClosedDescriptor(int at = 0) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const int fd = at > 0 ? fcntl(s, F_DUPFD, at) : dup(s);
    close(s);
    close(fd);
    return fd;
}

// A byte every 30 ms never lets one wait expire; only a budget shared by all
// waits ends this before the 100 bytes (3 s) are in: fewer than 100 arrive.
void ExpectRecvnBudgetShared(int fd, int peer) {
    std::atomic<bool> stop{false};  // set by the test thread, read by the trickle thread
    std::thread trickle([&stop, peer] {
        while (!stop.load() && send(peer, "t", 1, MSG_NOSIGNAL) == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    char buf[100];
    int status = 77;
    EXPECT_LT(util_recvn(fd, buf, sizeof(buf), 500, &status), 100);
    EXPECT_EQ(1, status);
    stop.store(true);
    trickle.join();
}

// Raises the open-file limit so descriptors above FD_SETSIZE can be made;
// false when the hard limit forbids it.
bool AllowHighDescriptors() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max(lim.rlim_cur, std::min<rlim_t>(1200, lim.rlim_max));
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur >= 1200;
}

Fd High(Fd low) {
    Fd high(fcntl(low.get(), F_DUPFD, 1100));
    EXPECT_GE(high.get(), FD_SETSIZE);
    return high;
}

// The outcome grid every transfer function shares. `status` 77 means the
// function has no status out-parameter or must leave it untouched.
struct Outcome {
    int ret;
    int status;
};
using Call = std::function<int(int fd, char* buf, int len, unsigned ms, int* status)>;
template <typename F>
Call NoStatus(F f) {
    return [f](int fd, char* buf, int len, unsigned ms, int*) { return f(fd, buf, len, ms); };
}
struct Transfer {
    const char* name;
    bool sends;
    bool noSigpipe;  // a gone peer is an error result, never a signal
    Call call;
    // Nothing can move within the limit (also a limit of 0); peer gone with a
    // limit; peer gone without one; null buffer or zero length; descriptor
    // -1; a descriptor number that is not open.
    Outcome atLimit, closedLimited, closedUnlimited, badArgs, badFd, unopened;
};

// clang-format off
const std::vector<Transfer> kTransfers = {
    {"util_recv", false, false, NoStatus(util_recv), {0, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}},
    {"util_send", true, false, NoStatus(util_send), {0, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}},
    {"util_recvn", false, false, util_recvn, {0, 1}, {0, 2}, {0, 2}, {-1, 77}, {-1, 77}, {0, -1}},
    {"util_sendn", true, false, util_sendn, {0, 1}, {-1, -1}, {0, -1}, {-1, 77}, {-1, 77}, {0, -1}},
    {"sendn_with_error", true, true, sendn_with_error, {0, -3}, {0, -EPIPE}, {0, -EPIPE}, {-1, 77}, {-2, 77}, {0, -EBADF}},
    {"recv_with_timeout", false, false, NoStatus(recv_with_timeout), {-3, 77}, {0, 77}, {0, 77}, {-1, 77}, {-1, 77}, {-4, 77}},
    {"send_with_timeout", true, false, NoStatus(send_with_timeout), {0, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}, {-1, 77}},
};
// clang-format on

// Runs every function through the grid; `high` puts the descriptor under test
// above FD_SETSIZE, where an fd_set cannot hold it and FD_SET would write past
// the set (caught by the sanitizers and the fortified FD_SET).
void RunGrid(bool high) {
    for (const Transfer& t : kTransfers) {
        SCOPED_TRACE(t.name);
        const int okStatus = t.atLimit.status == 77 ? 77 : 0;
        auto expect = [&](Outcome want, int fd, char* buf, int len, unsigned ms) {
            int status = 77;
            EXPECT_EQ(want.ret, t.call(fd, buf, len, ms, &status)) << "limit " << ms;
            EXPECT_EQ(want.status, status) << "limit " << ms;
        };
        auto [low, b] = Pair();
        Fd a = high ? High(std::move(low)) : std::move(low);
        char buf[5] = {'h', 'e', 'l', 'l', 'o'};

        // Complete transfers, with a limit and without one; the unlimited
        // receive waits for a late writer.
        if (t.sends) {
            expect({5, okStatus}, a.get(), buf, 5, 200);
            expect({5, okStatus}, a.get(), buf, 5, UTIL_NO_TIMEOUT);
            char got[10];
            ASSERT_EQ(10, recv(b.get(), got, 10, MSG_WAITALL));
            EXPECT_EQ(0, memcmp(got, "hellohello", 10));
            // Write until the kernel takes no more, then block again: the
            // next wait for writability runs into its limit.
            ASSERT_EQ(0, setNonBlock(a.get(), 1));
            const std::vector<char> chunk(65536, 'f');
            while (send(a.get(), chunk.data(), chunk.size(), 0) > 0) {
            }
            ASSERT_EQ(0, setNonBlock(a.get(), 0));
        } else {
            ASSERT_EQ(5, send(b.get(), "abcde", 5, 0));
            expect({5, okStatus}, a.get(), buf, 5, 200);
            EXPECT_EQ(0, memcmp(buf, "abcde", 5));
            std::thread writer([fd = b.get()] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_EQ(5, send(fd, "fghij", 5, 0));
            });
            expect({5, okStatus}, a.get(), buf, 5, UTIL_NO_TIMEOUT);
            writer.join();
            EXPECT_EQ(0, memcmp(buf, "fghij", 5));
        }

        auto start = Clock::now();
        expect(t.atLimit, a.get(), buf, 5, 200);
        EXPECT_GE(MsSince(start), 150);
        // A limit of 0 polls: a wait would hang until the test's timeout.
        expect(t.atLimit, a.get(), buf, 5, 0);

        b.Reset();
        const int sigpipes = g_nSigpipes.load();
        expect(t.closedLimited, a.get(), buf, 5, 200);
        expect(t.closedUnlimited, a.get(), buf, 5, UTIL_NO_TIMEOUT);
        if (t.noSigpipe) {
            EXPECT_EQ(sigpipes, g_nSigpipes.load());
            EXPECT_EQ(-1, send(a.get(), "abc", 3, 0));  // the handler is live
            EXPECT_EQ(sigpipes + 1, g_nSigpipes.load());
        }
        expect(t.badArgs, a.get(), nullptr, 5, 200);
        expect(t.badArgs, a.get(), buf, 0, 200);
        expect(t.badFd, -1, buf, 5, 200);
        expect(t.unopened, ClosedDescriptor(high ? 1100 : 0), buf, 5, 200);
        if (t.noSigpipe) {  // no wait to fail: the send itself reports the descriptor
            expect(t.unopened, ClosedDescriptor(high ? 1100 : 0), buf, 5, UTIL_NO_TIMEOUT);
        }
    }
}

TEST(SocketTransfer, EveryFunctionGivesItsCodeForEachOutcome) {
    ASSERT_TRUE(kSigpipeCounted);
    RunGrid(false);
}

TEST(SocketTransfer, DescriptorsAboveFdSetSizeGiveTheSameOutcomes) {
    if (!AllowHighDescriptors()) {
        GTEST_SKIP() << "open-file limit too low";
    }
    RunGrid(true);
    auto [low, b] = Pair();
    Fd a = High(std::move(low));
    ExpectRecvnBudgetShared(a.get(), b.get());

    const Listener l;
    Fd s = High(Fd(socket(AF_INET, SOCK_STREAM, 0)));
    EXPECT_EQ(0, connectWithTimeOut(s.get(), l.Addr(), 2000000));
    EXPECT_FALSE(IsNonBlocking(s.get()));
    EXPECT_GE(l.Accept().get(), 0);
}

TEST(UtilSelect, KeepsOneBudgetAcrossWaits) {
    auto [a, b] = Pair();
    constexpr long long kBudgetMs = 1900;
    timeval tv{1, 900000};
    fd_set set;
    auto wait = [&] {
        FD_ZERO(&set);
        FD_SET(a.get(), &set);
        return util_select(a.get() + 1, &set, nullptr, nullptr, &tv);
    };

    // The first wait ends early when the writer sends. Its time is charged on
    // top of what select itself took off, so the budget shrinks by more than
    // the time spent.
    std::thread writer([fd = b.get()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(1, send(fd, "x", 1, 0));
    });
    auto start = Clock::now();
    EXPECT_EQ(1, wait());
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

    // The second wait with the same timeval spends only what is left; a spent
    // budget then polls.
    start = Clock::now();
    EXPECT_EQ(0, wait());
    const long long second = MsSince(start);
    EXPECT_GE(second + 50, leftMs);
    EXPECT_EQ(0, tv.tv_sec);
    EXPECT_EQ(0, tv.tv_usec);
    EXPECT_EQ(0, wait());  // polls: a wait would hang until the test's timeout
}

TEST(UtilRecvn, CountsPartialTransfersAndSharesOneBudget) {
    for (unsigned int limit : {5000u, UTIL_NO_TIMEOUT}) {
        auto [a, b] = Pair();
        // Non-blocking: the no-limit mode has to ride over EAGAIN.
        ASSERT_EQ(0, setNonBlock(a.get(), 1));
        std::thread writer([fd = b.get()] {
            for (const char* part : {"abc", "defg", "hij"}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EXPECT_GT(send(fd, part, strlen(part), 0), 0);
            }
        });
        char buf[16] = {};
        int status = 77;
        EXPECT_EQ(10, util_recvn(a.get(), buf, 10, limit, &status)) << limit;
        writer.join();
        EXPECT_EQ(0, status);
        EXPECT_EQ(0, memcmp(buf, "abcdefghij", 10));

        // Bytes that came before the peer left are counted.
        ASSERT_EQ(6, send(b.get(), "closed", 6, 0));
        b.Reset();
        EXPECT_EQ(6, util_recvn(a.get(), buf, sizeof(buf), limit, &status));
        EXPECT_EQ(2, status);
    }
    auto [a, b] = Pair();
    char buf[20];
    int status = 77;
    ASSERT_EQ(10, send(b.get(), "0123456789", 10, 0));
    auto start = Clock::now();
    EXPECT_EQ(10, util_recvn(a.get(), buf, 20, 1000, &status));
    EXPECT_EQ(1, status);
    EXPECT_GE(MsSince(start), 750);
    // A limit of 0 still takes what is already there.
    ASSERT_EQ(6, send(b.get(), "wxyzwx", 6, 0));
    EXPECT_EQ(4, util_recvn(a.get(), buf, 4, 0, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(2, util_recvn(a.get(), buf, 4, 0, &status));
    EXPECT_EQ(1, status);
    ASSERT_EQ(3, send(b.get(), "abc", 3, 0));
    EXPECT_EQ(3, util_recvn(a.get(), buf, 3, 1000, nullptr));
    ExpectRecvnBudgetShared(a.get(), b.get());
}

// The send-everything functions on TCP with small buffers. util_sendn's
// limited mode makes a single send, so a non-blocking socket takes only part.
TEST(SendAll, LargeTransfersArriveWholeOrStopAtTheLimitWithThePartialCount) {
    std::vector<char> data(4 << 20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 131u + i / 251u) & 0xFF);
    }
    const int size = static_cast<int>(data.size());
    struct Mode {
        std::function<int(int, const char*, int, unsigned, int*)> call;
        unsigned limit;
        int status;  // at the limit
        bool nonBlocking;
    };
    for (const Mode& m :
         {Mode{util_sendn, UTIL_NO_TIMEOUT, 0, true}, Mode{sendn_with_error, 5000, 0, false},
          Mode{sendn_with_error, UTIL_NO_TIMEOUT, 0, false}}) {
        auto [c, s] = Connected(16384);
        // The no-limit mode of util_sendn has to ride over EAGAIN.
        ASSERT_EQ(0, setNonBlock(c.get(), m.nonBlocking));
        std::vector<char> got(data.size());
        std::thread reader([&got, size, fd = s.get()] {
            EXPECT_EQ(size, recv(fd, got.data(), got.size(), MSG_WAITALL));
            EXPECT_EQ(0, recv(fd, got.data(), 1, 0)) << "bytes beyond the end";
        });
        int status = 77;
        EXPECT_EQ(size, m.call(c.get(), data.data(), size, m.limit, &status)) << m.limit;
        EXPECT_EQ(0, status);
        shutdown(c.get(), SHUT_WR);
        reader.join();
        EXPECT_TRUE(got == data) << m.limit;
    }
    for (const Mode& m : {Mode{util_sendn, 1000, 1, true}, Mode{sendn_with_error, 300, -3, true}}) {
        auto [c, s] = Connected(4096);
        // Non-blocking, so each send takes what fits and the waits run the
        // clock; a blocking send would sit in the kernel for the rest.
        ASSERT_EQ(0, setNonBlock(c.get(), 1));
        int status = 77;
        const int sent = m.call(c.get(), data.data(), size, m.limit, &status);
        EXPECT_EQ(m.status, status);
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent, size);
        // What arrived is the start of the buffer, in order.
        std::vector<char> got(static_cast<size_t>(sent));
        ASSERT_EQ(sent, recv(s.get(), got.data(), got.size(), MSG_WAITALL));
        EXPECT_EQ(0, memcmp(got.data(), data.data(), got.size()));
    }
    auto [a, b] = Pair();
    EXPECT_EQ(3, sendn_with_error(a.get(), "abc", 3, 1000, nullptr));
}

TEST(RecvWithTimeout, NonSocketFailsAndASignalStartsANewWait) {
    // Readable but not a socket: the receive itself fails.
    auto [r, w] = Pair(false);
    ASSERT_EQ(1, write(w.get(), "p", 1));
    char buf[4];
    EXPECT_EQ(-2, recv_with_timeout(r.get(), buf, sizeof(buf), 200));
    EXPECT_EQ(-2, recv_with_timeout(r.get(), buf, sizeof(buf), UTIL_NO_TIMEOUT));

    // A signal about 200 ms into a 400 ms wait interrupts it (no SA_RESTART:
    // select fails with EINTR). A wait that starts anew with the whole limit
    // ends 400 ms after the signal; one that resumed with what select left
    // would end 200 ms after it, and one that gave up would not return -3.
    // (The handler's own moment is no measure: a sanitizer may run it late.)
    struct sigaction note {};
    note.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &note, &previous));
    auto [a, b] = Pair();
    bool signalledInTheWait = false;
    for (int attempt = 0; attempt < 3 && !signalledInTheWait; ++attempt) {
        const auto start = Clock::now();
        // Written by the signaller, read after join: just before and just
        // after the signal was sent.
        std::atomic<long long> before{-1}, after{-1};
        std::thread signaller([&before, &after, start, waiter = pthread_self()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            before = MsSince(start);
            pthread_kill(waiter, SIGUSR1);
            after = MsSince(start);
        });
        EXPECT_EQ(-3, recv_with_timeout(a.get(), buf, sizeof(buf), 400));
        const long long ended = MsSince(start);
        signaller.join();
        // A signal sent at the very end of the wait or after it (a
        // descheduled signaller) tells nothing: try again.
        signalledInTheWait = after + 50 < ended;
        if (signalledInTheWait) {
            EXPECT_GE(ended, before + 350) << "the wait resumed instead of starting anew";
        }
    }
    EXPECT_TRUE(signalledInTheWait);
    ASSERT_EQ(0, sigaction(SIGUSR1, &previous, nullptr));
}

TEST(SocketSwitches, NonBlockAndKeepAliveSetAndClear) {
    auto [c, s] = Connected();
    const int fd = c.get();
    const int otherFlags = fcntl(fd, F_GETFL) & ~O_NONBLOCK;
    EXPECT_EQ(0, setNonBlock(fd, 5));
    EXPECT_TRUE(IsNonBlocking(fd));
    EXPECT_EQ(0, setNonBlock(fd, 0));
    EXPECT_EQ(otherFlags, fcntl(fd, F_GETFL));
    EXPECT_EQ(-1, setNonBlock(ClosedDescriptor(), 1));

    for (int on : {7, 0}) {
        int value = -1;
        socklen_t len = sizeof(value);
        EXPECT_EQ(0, setTCPKeepAlive(fd, on));
        ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len));
        EXPECT_EQ(on ? 1 : 0, value);
    }
    EXPECT_EQ(-1, setTCPKeepAlive(ClosedDescriptor(), 1));
}

TEST(ConnectWithTimeOut, ConnectsOrRefusesAndLeavesTheDescriptorBlocking) {
    // Bound but not listening yet: the port is ours and certainly closed.
    // Loopback may refuse inside connect() (-1) or report it after the wait (-2).
    const Listener l(-1);
    Fd refused(socket(AF_INET, SOCK_STREAM, 0));
    const int rc = connectWithTimeOut(refused.get(), l.Addr(), 2000000);
    EXPECT_TRUE(rc == -2 || rc == -1) << rc;
    EXPECT_FALSE(IsNonBlocking(refused.get()));

    ASSERT_EQ(0, listen(l.fd.get(), 8));
    for (unsigned int limit : {2000000u, 0xFFFFFFFFu}) {
        Fd s(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(0, setNonBlock(s.get(), 1));  // blocking afterwards even so
        EXPECT_EQ(0, connectWithTimeOut(s.get(), l.Addr(), limit));
        EXPECT_FALSE(IsNonBlocking(s.get()));
        Fd in = l.Accept();
        ASSERT_GE(in.get(), 0);
        EXPECT_EQ(2, send(s.get(), "ok", 2, 0));
    }

    auto [r, w] = Pair(false);
    for (int bad : {-1, ClosedDescriptor(), r.get()}) {
        EXPECT_EQ(-1, connectWithTimeOut(bad, l.Addr(), 1000)) << bad;
    }
    EXPECT_FALSE(IsNonBlocking(r.get()));
}

TEST(ConnectWithTimeOut, FullBacklogRunsIntoTheLimit) {
    const Listener l(0);
    // Fill the accept queue until a handshake stays pending (its SYN dropped).
    std::vector<Fd> pending;
    bool stuck = false;
    for (int i = 0; i < 16 && !stuck; ++i) {
        pending.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const int c = pending.back().get();
        if (connect(c, l.Addr(), sizeof(l.addr)) != 0 && errno == EINPROGRESS) {
            pollfd pfd{c, POLLOUT, 0};
            stuck = (poll(&pfd, 1, 200) == 0);
        }
    }
    if (!stuck) {
        GTEST_SKIP() << "the kernel completed every pending connect";
    }
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    auto start = Clock::now();
    EXPECT_EQ(-3, connectWithTimeOut(s.get(), l.Addr(), 200000));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_FALSE(IsNonBlocking(s.get()));
}

}  // namespace
