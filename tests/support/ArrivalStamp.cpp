#include "ArrivalStamp.h"

#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace ts {
namespace {

int64_t Ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

uint64_t MonoNs() {
    return static_cast<uint64_t>(Ns(CLOCK_MONOTONIC));
}

void SleepUntilNs(uint64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool EnableArrivalStamps(int fd) {
    const int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0;
}

int RecvStamped(int fd, void* buf, int size, uint64_t* arrivalNs) {
    return RecvStamped(fd, buf, size, arrivalNs, nullptr);
}

int RecvStamped(int fd, void* buf, int size, uint64_t* arrivalNs, sockaddr_in* from) {
    iovec iov{buf, static_cast<size_t>(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = from != nullptr ? sizeof(*from) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) {
        return -1;
    }
    // The kernel stamps on the real-time clock: the stamp's age, taken off the
    // monotonic now, puts it on the monotonic clock.
    const int64_t real = Ns(CLOCK_REALTIME);
    const int64_t mono = Ns(CLOCK_MONOTONIC);
    *arrivalNs = static_cast<uint64_t>(mono);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            const int64_t age = real - (static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
            *arrivalNs = static_cast<uint64_t>(mono - (age > 0 ? age : 0));
        }
    }
    return static_cast<int>(n);
}

}  // namespace ts
