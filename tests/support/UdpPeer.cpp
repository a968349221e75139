#include "UdpPeer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "ArrivalStamp.h"

namespace ts {
namespace {

sockaddr_in Address(uint32_t ip, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(ip);
    addr.sin_port = htons(port);
    return addr;
}

}  // namespace

UdpPeer::UdpPeer(uint32_t ip, uint16_t port) : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    // Every datagram carries the kernel's arrival stamp: a test thread that
    // got to the socket late must not make two datagrams look closer
    // together than they were.
    EnableArrivalStamps(m_fd);
    sockaddr_in addr = Address(ip, port);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        m_port = BoundPort(m_fd);
    }
}

UdpPeer::~UdpPeer() {
    Close();
}

void UdpPeer::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

std::optional<Datagram> UdpPeer::Recv(int timeoutMs) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) {
        return std::nullopt;
    }
    char buffer[4096];
    sockaddr_in from{};
    uint64_t arrivalNs = 0;
    const int n = RecvStamped(m_fd, buffer, sizeof(buffer), &arrivalNs, &from);
    if (n < 0) {
        return std::nullopt;
    }
    // The stamp is put together from two clocks read a moment apart, so it
    // can come out a little before the previous one; datagrams are read in
    // the order the kernel took them in, so it never really is.
    m_lastArrivalMs = std::max(m_lastArrivalMs, (arrivalNs + 500000u) / 1000000u);
    return Datagram{std::string(buffer, static_cast<size_t>(n)), ntohl(from.sin_addr.s_addr),
                    ntohs(from.sin_port), m_lastArrivalMs};
}

std::string UdpPeer::NextBytes(int timeoutMs) {
    std::optional<Datagram> d = Recv(timeoutMs);
    return d ? d->bytes : "<nothing>";
}

std::string UdpPeer::NextFrom(int timeoutMs) {
    std::optional<Datagram> d = Recv(timeoutMs);
    return d ? From(d->bytes, d->fromPort) : "<nothing>";
}

std::string From(const std::string& bytes, uint16_t port) {
    return "'" + bytes + "' from " + std::to_string(port);
}

std::optional<Datagram> UdpPeer::RecvUntil(const std::function<bool(const Datagram&)>& match,
                                           int timeoutMs) {
    const uint64_t end = MonoNs() + static_cast<uint64_t>(std::max(timeoutMs, 0)) * 1000000u;
    for (uint64_t now = MonoNs(); now < end; now = MonoNs()) {
        std::optional<Datagram> d = Recv(static_cast<int>((end - now + 999999u) / 1000000u));
        if (d && match(*d)) {
            return d;
        }
    }
    return std::nullopt;
}

std::optional<Datagram> UdpPeer::RecvUntil(const std::string& bytes, int timeoutMs) {
    return RecvUntil([&bytes](const Datagram& d) { return d.bytes == bytes; }, timeoutMs);
}

std::vector<Datagram> UdpPeer::Collect(int ms) {
    std::vector<Datagram> all;
    RecvUntil(
        [&all](const Datagram& d) {
            all.push_back(d);
            return false;
        },
        ms);
    return all;
}

void UdpPeer::Drain() {
    while (Recv(0)) {
    }
}

bool UdpPeer::SendTo(uint16_t port, const std::string& bytes, uint32_t ip) {
    const sockaddr_in addr = Address(ip, port);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
                  sizeof(addr)) == static_cast<ssize_t>(bytes.size());
}

uint16_t FreePort() {
    return UdpPeer(INADDR_ANY).Port();
}

uint16_t UnsharedPort() {
    constexpr unsigned kFirst = 10000;
    constexpr unsigned kCount = 20000;  // 10000..29999
    static std::atomic<unsigned> next{0};
    const unsigned block = (static_cast<unsigned>(getpid()) % 1000u) * 20u;
    for (unsigned tries = 0; tries < kCount; ++tries) {
        const auto port = static_cast<uint16_t>(kFirst + (block + next++) % kCount);
        if (PortIsFree(port)) {
            return port;
        }
    }
    return FreePort();
}

bool PortIsFree(uint16_t port) {
    return UdpPeer(INADDR_ANY, port).Bound();
}

uint16_t BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

void SendDatagram(uint16_t port, const std::string& bytes) {
    UdpPeer(INADDR_ANY).SendTo(port, bytes);
}

bool WaitReadable(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, ms) == 1;
}

std::string Pattern(size_t n, char first, int step, int mod) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char>(first + static_cast<int>(i) * step % mod);
    }
    return out;
}

}  // namespace ts
