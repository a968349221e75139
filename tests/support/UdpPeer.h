// A UDP socket of a test on this machine: a target the code under test sends
// to, a client that sends to it, or a holder that keeps a port busy; plus the
// port helpers every socket test needs (a free port, is a port free).
//
// Threads: one test thread owns each peer; nothing is shared.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

struct Datagram {
    std::string bytes;
    uint32_t fromIp = 0;  // host byte order
    uint16_t fromPort = 0;
    // When the kernel took it in: CLOCK_MONOTONIC in ms, the clock the module
    // reads; never before the previous datagram of the same peer.
    uint64_t arrivalMs = 0;
};

class UdpPeer {
public:
    // ip INADDR_ANY binds all interfaces, as the module binds; port 0 lets
    // the kernel choose.
    explicit UdpPeer(uint32_t ip = INADDR_LOOPBACK, uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Bound() const { return m_port != 0; }
    uint16_t Port() const { return m_port; }
    int Fd() const { return m_fd; }
    // Lets the port go (a holder that is done holding).
    void Close();

    // One datagram within `timeoutMs`; nothing when none came.
    std::optional<Datagram> Recv(int timeoutMs = 5000);
    // The bytes of the next datagram within `timeoutMs`, "<nothing>" when none
    // came (so that a missing datagram fails the caller's comparison).
    std::string NextBytes(int timeoutMs = 5000);
    // The same with the sender's port, as From() writes it: checks both at once.
    std::string NextFrom(int timeoutMs = 5000);
    // Reads until a datagram satisfies `match` or the deadline passes.
    std::optional<Datagram> RecvUntil(const std::function<bool(const Datagram&)>& match,
                                      int timeoutMs = 5000);
    std::optional<Datagram> RecvUntil(const std::string& bytes, int timeoutMs = 5000);
    // Everything that arrives within `ms`.
    std::vector<Datagram> Collect(int ms);
    void Drain();

    // One datagram to `ip`:`port`; true when all of it was sent.
    bool SendTo(uint16_t port, const std::string& bytes, uint32_t ip = INADDR_LOOPBACK);

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    uint64_t m_lastArrivalMs = 0;
};

// A port that was free on all interfaces a moment ago.
uint16_t FreePort();
// A free port for the module to bind itself, from below the kernel's
// ephemeral range (32768 and up), where no other test's bind to port 0 can
// take it between this check and the module's bind; each process walks a
// block of its own, so test programs running side by side do not meet.
uint16_t UnsharedPort();
// True when a UDP socket can bind `port` on all interfaces right now.
bool PortIsFree(uint16_t port);
// The local port of socket `fd`, 0 when it has none.
uint16_t BoundPort(int fd);
// One datagram to 127.0.0.1:`port` from a fresh socket.
void SendDatagram(uint16_t port, const std::string& bytes);
// Waits up to `ms` for `fd` to become readable.
bool WaitReadable(int fd, int ms = 5000);
// "`bytes` from `port`", what NextFrom gives for such a datagram.
std::string From(const std::string& bytes, uint16_t port);
// `n` bytes of a repeating pattern (zero bytes included by default): byte i is
// `first` + i * `step` modulo `mod`.
std::string Pattern(size_t n, char first = 1, int step = 7, int mod = 256);

}  // namespace ts
