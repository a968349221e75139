#include "SocketSet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace wire {

namespace {

// Enough for a few hundred milliseconds of a fast camera while the printer
// writes to a slow terminal. Without the privilege to force it the kernel's
// ceiling (net.core.rmem_max) applies.
constexpr int kReceiveBuffer = 8 << 20;

}  // namespace

uint64_t MonotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

CSocketSet::CSocketSet(uint64_t startUs) : m_nStartUs(startUs), m_pBuffer(new char[kMaxDatagram]) {}

CSocketSet::~CSocketSet() {
    for (const Socket& s : m_vecSocket) {
        close(s.nFd);
    }
}

int CSocketSet::Add(const Address& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return errno;
    }
    const int on = 1;
    // A larger buffer and the extra ancillary data are improvements, not
    // requirements: a kernel that refuses them still delivers datagrams.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof(kReceiveBuffer));
    }
    (void)setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
    (void)setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address.nIp);
    local.sin_port = htons(address.nPort);
    socklen_t length = sizeof(local);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    m_vecSocket.push_back(Socket{fd, Address{address.nIp, ntohs(local.sin_port)}, 0});
    m_vecPoll.assign(m_vecSocket.size() + 1, pollfd{-1, POLLIN, 0});
    for (size_t i = 0; i < m_vecSocket.size(); ++i) {
        m_vecPoll[i].fd = m_vecSocket[i].nFd;
    }
    return 0;
}

bool CSocketSet::Wait(int timeoutMs, int wakeFd) {
    if (m_vecPoll.empty()) {
        m_vecPoll.assign(1, pollfd{-1, POLLIN, 0});
    }
    pollfd& wake = m_vecPoll.back();
    wake.fd = wakeFd;
    for (pollfd& p : m_vecPoll) {
        p.revents = 0;
    }
    if (poll(m_vecPoll.data(), m_vecPoll.size(), timeoutMs) <= 0) {
        return false;  // timeout, or EINTR from a signal whose handler wakes us anyway
    }
    return wakeFd >= 0 && (wake.revents & POLLIN) != 0;
}

size_t CSocketSet::Drain(Sink& sink, size_t budget) {
    size_t total = 0;
    for (size_t i = 0; i < m_vecSocket.size(); ++i) {
        if ((m_vecPoll[i].revents & (POLLIN | POLLERR)) == 0) {
            continue;
        }
        Socket& s = m_vecSocket[i];
        for (size_t n = 0; n < budget; ++n) {
            sockaddr_in from{};
            iovec io{m_pBuffer.get(), kMaxDatagram};
            alignas(cmsghdr) char
                control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(uint32_t))];
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof(from);
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            const ssize_t got = recvmsg(s.nFd, &message, MSG_DONTWAIT);
            if (got < 0) {
                break;  // EAGAIN: drained. A pending socket error is read and cleared here too.
            }
            Datagram d;
            d.nTimeUs = MonotonicUs() - m_nStartUs;
            d.pData = m_pBuffer.get();
            d.nLen = static_cast<size_t>(got);
            d.bTruncated = (message.msg_flags & MSG_TRUNC) != 0;
            d.nSrcIp = ntohl(from.sin_addr.s_addr);
            d.nSrcPort = ntohs(from.sin_port);
            d.nDstIp = s.local.nIp;
            d.nDstPort = s.local.nPort;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    __builtin_memcpy(&info, CMSG_DATA(c), sizeof(info));
                    d.nDstIp = ntohl(info.ipi_addr.s_addr);
                } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    __builtin_memcpy(&s.nDrops, CMSG_DATA(c), sizeof(s.nDrops));
                }
            }
            sink.OnDatagram(d);
            ++total;
        }
    }
    return total;
}

int CSocketSet::SendTo(size_t index, const Address& to, const char* bytes, size_t length) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(to.nIp);
    target.sin_port = htons(to.nPort);
    const ssize_t sent = sendto(m_vecSocket[index].nFd, bytes, length, 0,
                                reinterpret_cast<sockaddr*>(&target), sizeof(target));
    if (sent < 0) {
        return errno;
    }
    return static_cast<size_t>(sent) == length ? 0 : EMSGSIZE;
}

uint64_t CSocketSet::KernelDrops() const {
    uint64_t drops = 0;
    for (const Socket& s : m_vecSocket) {
        drops += s.nDrops;
    }
    return drops;
}

}  // namespace wire
