// Socket transfer utilities of the exported runtime library: timed waits,
// single and complete transfers, the non-blocking and keep-alive switches and a
// connect with a time limit.
//
// Thread contract: every function is reentrant. It touches only its arguments
// and the calling thread's errno, keeps no state, allocates nothing and logs
// nothing (a caller may use these from inside its own log sink). Two threads may
// use different descriptors freely; one descriptor shared by two threads at
// once is the caller's business.
//
// Results are reported by return values and output statuses; errno is left as
// the failing system call set it.
//
// Descriptors at or above FD_SETSIZE: an fd_set cannot hold them, and FD_SET on
// such a number would write past the set. The time-limited modes and
// connectWithTimeOut therefore wait for these descriptors with ppoll() instead
// of select(), with the same readiness rules as select() (hang-up and error
// count as readable, error as writable) and the same time-budget bookkeeping,
// so a process with many open files keeps working. util_select itself takes the
// caller's sets unchanged: sizing them for nfds is the caller's job.

#include "udptrans/udptrans_api.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

enum class Direction { kRead, kWrite };

// Outcome of one wait for one descriptor, in the terms the transfer loops use.
enum class Wait {
    kFailed,    // the wait call failed; errno tells why (EINTR included)
    kTimedOut,  // the limit ran out
    kReady,     // the descriptor is in the returned set
    kNotReady,  // the wait returned without this descriptor: wait again
};

// Whether the wait should keep one time budget across calls (util_select
// semantics, used by the util_ family) or is a plain select() whose limit the
// caller sets afresh before every wait.
enum class Budget { kShared, kPlain };

timeval MsToTimeval(unsigned int limitMs) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limitMs / 1000u);
    tv.tv_usec = static_cast<suseconds_t>((limitMs % 1000u) * 1000u);
    return tv;
}

// Charges `elapsedMs` to a budget that select() has already reduced to the time
// remaining. Whole seconds and the millisecond rest are taken from their own
// members, each clamped at 0, without borrowing between them: a wait that ends
// early is thereby charged twice, which only ever shortens the budget, never
// extends it past what the caller granted.
void ChargeElapsed(timeval* tv, int32_t elapsedMs) {
    if (elapsedMs > 0) {
        const time_t seconds = static_cast<time_t>(elapsedMs / 1000);
        const suseconds_t micros = static_cast<suseconds_t>((elapsedMs % 1000) * 1000);
        tv->tv_sec = (tv->tv_sec - seconds > 0) ? tv->tv_sec - seconds : 0;
        tv->tv_usec = (tv->tv_usec > micros) ? tv->tv_usec - micros : 0;
    } else if (elapsedMs < 0) {
        // The tick went backwards only if the caller's view of time is broken;
        // end the budget rather than wait on a nonsense value.
        tv->tv_sec = 0;
        tv->tv_usec = 0;
    }
}

// ppoll() stand-in for a descriptor that an fd_set cannot hold. With a shared
// budget it leaves `tv` exactly as util_select would: first reduced to the time
// remaining, as Linux select() does, then charged the elapsed ticks.
Wait PollWait(int fd, Direction dir, timeval* tv, Budget budget) {
    pollfd pfd{};
    pfd.fd = fd;
    pfd.events = (dir == Direction::kRead) ? POLLIN : POLLOUT;

    timespec ts{};
    timespec* limit = nullptr;
    if (tv != nullptr) {
        ts.tv_sec = tv->tv_sec > 0 ? tv->tv_sec : 0;
        ts.tv_nsec = tv->tv_usec > 0 ? static_cast<long>(tv->tv_usec) * 1000L : 0;
        limit = &ts;
    }

    const unsigned int start = (budget == Budget::kShared) ? get_time_tick() : 0u;
    const int rc = ppoll(&pfd, 1, limit, nullptr);
    const int savedErrno = errno;
    if (tv != nullptr && budget == Budget::kShared) {
        const int32_t elapsed = static_cast<int32_t>(get_time_tick() - start);
        const int64_t leftUs = static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec -
                               (elapsed > 0 ? static_cast<int64_t>(elapsed) * 1000 : 0);
        tv->tv_sec = leftUs > 0 ? static_cast<time_t>(leftUs / 1000000) : 0;
        tv->tv_usec = leftUs > 0 ? static_cast<suseconds_t>(leftUs % 1000000) : 0;
        ChargeElapsed(tv, elapsed);
    }
    errno = savedErrno;

    if (rc < 0) {
        return Wait::kFailed;
    }
    if (rc == 0) {
        return Wait::kTimedOut;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
        // select() refuses a closed descriptor with EBADF; keep that answer.
        errno = EBADF;
        return Wait::kFailed;
    }
    // The sets select() reports a descriptor in, so both paths agree.
    const short readySet =
        (dir == Direction::kRead)
            ? static_cast<short>(POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR)
            : static_cast<short>(POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR);
    return (pfd.revents & readySet) != 0 ? Wait::kReady : Wait::kNotReady;
}

// One wait for one descriptor. The set is cleared and filled before every wait
// because select() overwrites it with the result.
Wait WaitFor(int fd, Direction dir, timeval* tv, Budget budget) {
    if (fd >= FD_SETSIZE) {
        return PollWait(fd, dir, tv, budget);
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    fd_set* readSet = (dir == Direction::kRead) ? &set : nullptr;
    fd_set* writeSet = (dir == Direction::kWrite) ? &set : nullptr;
    const int rc = (budget == Budget::kShared) ? util_select(fd + 1, readSet, writeSet, nullptr, tv)
                                               : select(fd + 1, readSet, writeSet, nullptr, tv);
    if (rc < 0) {
        return Wait::kFailed;
    }
    if (rc == 0) {
        return Wait::kTimedOut;
    }
    return FD_ISSET(fd, &set) ? Wait::kReady : Wait::kNotReady;
}

// Waits until fd is ready, waiting again after EINTR and after a return that
// does not name fd. Without `running` the limit is set afresh from limitMs for
// every wait; with it (util_recvn) one limit is spent across all waits.
Wait WaitReady(int fd, Direction dir, unsigned int limitMs, Budget budget,
               timeval* running = nullptr) {
    for (;;) {
        timeval fresh = MsToTimeval(limitMs);
        const Wait w = WaitFor(fd, dir, running != nullptr ? running : &fresh, budget);
        if (w == Wait::kNotReady || (w == Wait::kFailed && errno == EINTR)) {
            continue;
        }
        return w;
    }
}

bool BadTransferArgs(int fd, const void* buffer, int length) {
    return length <= 0 || fd < 0 || buffer == nullptr;
}

void SetOut(int* out, int value) {
    if (out != nullptr) {
        *out = value;
    }
}

}  // namespace

extern "C" {

int util_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                struct timeval* timeout) {
    if (timeout == nullptr) {
        return select(nfds, readfds, writefds, exceptfds, nullptr);
    }
    const unsigned int start = get_time_tick();
    const int rc = select(nfds, readfds, writefds, exceptfds, timeout);
    const int savedErrno = errno;
    // Signed difference so a wrap of the 32-bit tick between the reads is harmless.
    ChargeElapsed(timeout, static_cast<int32_t>(get_time_tick() - start));
    errno = savedErrno;
    return rc;
}

int util_recv(int fd, char* buffer, int length, unsigned int timeout_ms) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    const size_t size = static_cast<size_t>(length);
    if (timeout_ms == UTIL_NO_TIMEOUT) {
        for (;;) {
            const ssize_t n = recv(fd, buffer, size, 0);
            if (n > 0) {
                return static_cast<int>(n);
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // 0 is the peer's orderly close: without a limit 0 would read as
            // "timed out", so it is reported as a failure.
            return -1;
        }
    }
    const Wait w = WaitReady(fd, Direction::kRead, timeout_ms, Budget::kShared);
    if (w != Wait::kReady) {
        return w == Wait::kTimedOut ? 0 : -1;
    }
    const ssize_t n = recv(fd, buffer, size, 0);
    // Readable yet nothing read means the peer closed; 0 is taken by "timed out".
    return n > 0 ? static_cast<int>(n) : -1;
}

int util_send(int fd, const char* buffer, int length, unsigned int timeout_ms) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    const size_t size = static_cast<size_t>(length);
    if (timeout_ms == UTIL_NO_TIMEOUT) {
        for (;;) {
            // errno is cleared so that a stale EINTR cannot turn a 0 return
            // into a spin, and put back when send did not fail: the caller sees
            // errno as the system calls left it.
            const int callerErrno = errno;
            errno = 0;
            const ssize_t n = send(fd, buffer, size, 0);
            if (n <= 0 && errno == EINTR) {
                continue;
            }
            if (n >= 0) {
                errno = callerErrno;
            }
            return n < 0 ? -1 : static_cast<int>(n);
        }
    }
    const Wait w = WaitReady(fd, Direction::kWrite, timeout_ms, Budget::kShared);
    if (w != Wait::kReady) {
        return w == Wait::kTimedOut ? 0 : -1;
    }
    const ssize_t n = send(fd, buffer, size, 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int util_recvn(int fd, char* buffer, int length, unsigned int timeout_ms, int* status) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    int done = 0;
    if (timeout_ms == UTIL_NO_TIMEOUT) {
        while (done < length) {
            const ssize_t n = recv(fd, buffer + done, static_cast<size_t>(length - done), 0);
            if (n > 0) {
                done += static_cast<int>(n);
            } else if (n == 0) {
                SetOut(status, 2);
                return done;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                // A non-blocking descriptor is polled without pause: the caller
                // asked for no limit and gets the bytes as soon as they come.
                continue;
            } else {
                SetOut(status, -1);
                return done;
            }
        }
        SetOut(status, 0);
        return done;
    }

    // Set once: the limit covers the whole transfer, each wait spends from it.
    timeval tv = MsToTimeval(timeout_ms);
    while (done < length) {
        const Wait w = WaitReady(fd, Direction::kRead, timeout_ms, Budget::kShared, &tv);
        if (w != Wait::kReady) {
            SetOut(status, w == Wait::kTimedOut ? 1 : -1);
            return done;
        }
        const ssize_t n = recv(fd, buffer + done, static_cast<size_t>(length - done), 0);
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n == 0) {
            SetOut(status, 2);
            return done;
        } else {
            // After a wait said readable a failure is real, not a retry case.
            SetOut(status, -1);
            return done;
        }
    }
    SetOut(status, 0);
    return done;
}

// With a limit this is one wait and one send of the whole buffer; the caller
// reads the count from the result. Status then: 0 every byte went, 1 the send
// took only part of the buffer (the caller continues from the count, as after a
// limit), -1 the send failed (the result is -1 too) or the wait failed (the
// result is 0).
int util_sendn(int fd, const char* buffer, int length, unsigned int timeout_ms, int* status) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    if (timeout_ms == UTIL_NO_TIMEOUT) {
        int done = 0;
        while (done < length) {
            const ssize_t n = send(fd, buffer + done, static_cast<size_t>(length - done), 0);
            if (n > 0) {
                done += static_cast<int>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                continue;
            } else {
                // A send that moves nothing with bytes pending cannot make
                // progress either: report it rather than spin.
                SetOut(status, -1);
                return done;
            }
        }
        SetOut(status, 0);
        return done;
    }

    const Wait w = WaitReady(fd, Direction::kWrite, timeout_ms, Budget::kShared);
    if (w != Wait::kReady) {
        SetOut(status, w == Wait::kTimedOut ? 1 : -1);
        return 0;
    }
    const ssize_t n = send(fd, buffer, static_cast<size_t>(length), 0);
    if (n < 0) {
        SetOut(status, -1);
        return -1;
    }
    SetOut(status, n == length ? 0 : 1);
    return static_cast<int>(n);
}

// MSG_NOSIGNAL: a peer that has gone must show up as -EPIPE in `error`, not as
// SIGPIPE killing the caller's process.
int sendn_with_error(int fd, const char* buffer, int length, unsigned int timeout_ms, int* error) {
    if (buffer == nullptr || length <= 0) {
        return -1;
    }
    if (fd < 0) {
        return -2;
    }
    int done = 0;
    const bool limited = (timeout_ms != UTIL_NO_TIMEOUT);
    while (done < length) {
        if (limited) {
            const Wait w = WaitReady(fd, Direction::kWrite, timeout_ms, Budget::kPlain);
            if (w != Wait::kReady) {
                SetOut(error, w == Wait::kTimedOut ? -3 : -errno);
                return done;
            }
        }
        const ssize_t n = send(fd, buffer + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (!limited && n < 0 && errno == EINTR) {
            continue;
        }
        // A send that moves nothing with bytes pending is a dead end; it has no
        // errno of its own, so it is reported as an I/O error.
        SetOut(error, n < 0 ? -errno : -EIO);
        return done;
    }
    SetOut(error, 0);
    return done;
}

int recv_with_timeout(int fd, void* buffer, int length, unsigned int timeout_ms) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    const size_t size = static_cast<size_t>(length);
    const bool limited = (timeout_ms != UTIL_NO_TIMEOUT);
    for (;;) {
        if (limited) {
            const Wait w = WaitReady(fd, Direction::kRead, timeout_ms, Budget::kPlain);
            if (w != Wait::kReady) {
                return w == Wait::kTimedOut ? -3 : -4;
            }
        }
        const ssize_t n = recv(fd, buffer, size, 0);
        if (n >= 0) {
            return static_cast<int>(n);  // 0: the peer closed
        }
        if (errno == EINTR) {
            continue;
        }
        return -2;
    }
}

int send_with_timeout(int fd, const void* buffer, int length, unsigned int timeout_ms) {
    if (BadTransferArgs(fd, buffer, length)) {
        return -1;
    }
    const size_t size = static_cast<size_t>(length);
    const bool limited = (timeout_ms != UTIL_NO_TIMEOUT);
    for (;;) {
        if (limited) {
            const Wait w = WaitReady(fd, Direction::kWrite, timeout_ms, Budget::kPlain);
            if (w != Wait::kReady) {
                return w == Wait::kTimedOut ? 0 : -1;
            }
        }
        const ssize_t n = send(fd, buffer, size, 0);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (!limited && n < 0 && errno == EINTR) {
            continue;
        }
        // 0 is taken by "timed out", so a send that moved nothing is a failure.
        return -1;
    }
}

int setNonBlock(int fd, int on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    const int wanted = (on != 0) ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) < 0 ? -1 : 0;
}

// Result: 0 connected; -1 bad descriptor, mode switch failed or connect refused
// at once; -2 the connection failed (SO_ERROR set); -3 the limit ran out or the
// wait failed; -4 blocking mode could not be restored. The descriptor is
// blocking afterwards whatever it was before, once the first switch worked.
// timeout_us 0xFFFFFFFF waits without a limit, as UTIL_NO_TIMEOUT does for the
// millisecond functions.
int connectWithTimeOut(int fd, const struct sockaddr* address, unsigned int timeout_us) {
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) < 0) {
        return -1;
    }

    int result = 0;
    if (connect(fd, address, static_cast<socklen_t>(sizeof(sockaddr_in))) == 0) {
        result = 0;
    } else if (errno != EINPROGRESS) {
        result = -1;
    } else {
        timeval tv{};
        timeval* limit = nullptr;
        if (timeout_us != UTIL_NO_TIMEOUT) {
            tv.tv_sec = static_cast<time_t>(timeout_us / 1000000u);
            tv.tv_usec = static_cast<suseconds_t>(timeout_us % 1000000u);
            limit = &tv;
        }
        const Wait w = WaitFor(fd, Direction::kWrite, limit, Budget::kPlain);
        if (w == Wait::kTimedOut || w == Wait::kFailed) {
            result = -3;
        } else {
            int soError = 0;
            socklen_t len = sizeof(soError);
            // A failing query cannot confirm the connection, so it counts as failed.
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0 || soError != 0) {
                result = -2;
            }
        }
    }

    const int savedErrno = errno;
    int off = 0;
    if (ioctl(fd, FIONBIO, &off) < 0) {
        return -4;
    }
    // The caller wants the cause of a failed connect, not the restore's.
    errno = savedErrno;
    return result;
}

int setTCPKeepAlive(int fd, int on) {
    const int value = (on != 0) ? 1 : 0;
    return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof(value));
}

}  // extern "C"
