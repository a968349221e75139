#include "DuplicateFilter.h"

namespace wire {

namespace {

uint64_t Fnv1a(const char* bytes, size_t length) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

bool CDuplicateFilter::Check(const Datagram& d) {
    const Print now{Fnv1a(d.pData, d.nLen),
                    d.nTimeUs,
                    static_cast<uint32_t>(d.nLen),
                    d.nSrcIp,
                    d.nSrcPort,
                    d.nDstPort,
                    true};
    bool duplicate = false;
    for (const Print& p : m_ring) {
        if (p.bUsed && p.nHash == now.nHash && p.nLen == now.nLen && p.nSrcIp == now.nSrcIp &&
            p.nSrcPort == now.nSrcPort && p.nDstPort == now.nDstPort &&
            now.nTimeUs - p.nTimeUs <= kWindowUs) {
            duplicate = true;
            break;
        }
    }
    m_ring[m_nNext] = now;
    m_nNext = (m_nNext + 1) % kRing;
    return duplicate;
}

}  // namespace wire
