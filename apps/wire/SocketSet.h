// CSocketSet: the UDP sockets a receiving tool listens on, read in batches
// without allocation.
//
// Every socket is non-blocking, close-on-exec, with a large receive buffer
// and with the kernel's per-socket drop counter switched on, so a receiver
// that falls behind says so instead of losing datagrams silently. Datagrams
// are read with the address they were sent to (a socket bound to 0.0.0.0
// learns it per datagram).
//
// Threads: Add before the first Wait; after that one thread owns the set
// (Wait, Drain, SendTo). KernelDrops may be read from that thread only.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Address.h"
#include "Datagram.h"

namespace wire {

class CSocketSet {
public:
    // Large enough for any UDP datagram over IPv4, so nothing is cut.
    static constexpr size_t kMaxDatagram = 65536;

    class Sink {
    public:
        virtual void OnDatagram(const Datagram& datagram) = 0;

    protected:
        ~Sink() = default;
    };

    // `startUs`: the monotonic reading (MonotonicUs) that times count from.
    explicit CSocketSet(uint64_t startUs);
    ~CSocketSet();
    CSocketSet(const CSocketSet&) = delete;
    CSocketSet& operator=(const CSocketSet&) = delete;

    // Binds a socket on `address` (port 0: the kernel chooses). 0, or the
    // errno of the failed call.
    int Add(const Address& address);
    size_t Size() const { return m_vecSocket.size(); }
    // The address socket `index` is bound to (with the port the kernel chose).
    Address Local(size_t index) const { return m_vecSocket[index].local; }

    // Waits up to `timeoutMs` for a socket or `wakeFd` (-1: none) to become
    // readable. Returns true when `wakeFd` is readable. EINTR is a wake-up
    // without anything ready.
    bool Wait(int timeoutMs, int wakeFd);

    // Reads what the last Wait found waiting, at most `budget` datagrams per
    // socket so that one busy port cannot starve the others, handing each to
    // `sink`. Returns the number read.
    size_t Drain(Sink& sink, size_t budget = 256);

    // One datagram from socket `index` to `to`. 0, or the errno.
    int SendTo(size_t index, const Address& to, const char* bytes, size_t length);

    // Datagrams the kernel dropped on our sockets because their receive
    // buffers were full, since they were opened.
    uint64_t KernelDrops() const;

private:
    struct Socket {
        int nFd;
        Address local;
        uint32_t nDrops;  // the kernel's cumulative counter as last reported
    };

    const uint64_t m_nStartUs;
    std::vector<Socket> m_vecSocket;
    std::vector<pollfd> m_vecPoll;  // one per socket, then the wake descriptor
    std::unique_ptr<char[]> m_pBuffer;
};

// Microseconds of CLOCK_MONOTONIC.
uint64_t MonotonicUs();

}  // namespace wire
