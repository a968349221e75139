// CDuplicateFilter: spots a datagram that repeats one of the last few from the
// same sender to the same port within 1 ms: a sender that sent a record twice,
// or a network path that duplicated it.
//
// Fixed memory: a ring of the last kRing datagrams' fingerprints (length,
// 64-bit hash, sender, port, time); the bytes themselves are not kept.
//
// Threads: one thread owns a filter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Datagram.h"

namespace wire {

class CDuplicateFilter {
public:
    static constexpr uint64_t kWindowUs = 1000;
    static constexpr size_t kRing = 32;

    // True when `d` repeats a datagram seen at most kWindowUs before it.
    bool Check(const Datagram& d);

private:
    struct Print {
        uint64_t nHash;
        uint64_t nTimeUs;
        uint32_t nLen;
        uint32_t nSrcIp;
        uint16_t nSrcPort;
        uint16_t nDstPort;
        bool bUsed;
    };

    Print m_ring[kRing] = {};
    size_t m_nNext = 0;
};

}  // namespace wire
