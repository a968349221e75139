// CStatistics: the live figures of a receiving run in fixed memory, however
// long it runs: datagrams and bytes per kind, the gaps between results, the
// heartbeat period, duplicates and the longest silence.
//
// The heartbeat period is measured the way the camera times it: from the
// previous datagram of any kind, since a heartbeat is due only after the
// link has been idle for the interval.
//
// Threads: one thread owns the figures; a copy is a plain value (a few tens
// of kilobytes), made for a report, never per datagram.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Datagram.h"
#include "Histogram.h"

namespace wire {

class CStatistics {
public:
    // One datagram, in arrival order. `timeUs` since the start of the run.
    void Add(Kind kind, size_t length, uint64_t timeUs, bool duplicate);
    void AddTruncated() { ++m_nTruncated; }

    uint64_t Datagrams(Kind kind) const { return m_aKind[Index(kind)].nDatagrams; }
    uint64_t Bytes(Kind kind) const { return m_aKind[Index(kind)].nBytes; }
    uint64_t Datagrams() const { return m_nDatagrams; }
    uint64_t Bytes() const { return m_nBytes; }
    uint64_t Duplicates() const { return m_nDuplicates; }
    uint64_t Truncated() const { return m_nTruncated; }
    bool Any() const { return m_nDatagrams != 0; }
    uint64_t LastUs() const { return m_nLastUs; }

    // Datagrams per second over `nowUs` since the start; 0 before any time passed.
    double Rate(uint64_t nowUs) const;
    // Results per second from the first result to the last; 0 with fewer than two.
    double ResultRate() const;
    // Gaps between consecutive results, microseconds.
    const CHistogram& ResultGaps() const { return m_gaps; }
    // For each heartbeat, the time since the previous datagram of any kind.
    const CHistogram& HeartbeatPeriods() const { return m_heartbeat; }
    // The longest time without any datagram, the silence up to `nowUs`
    // included (from the start when nothing came).
    uint64_t LongestSilenceUs(uint64_t nowUs) const;
    // "NG" among the answers to triggers (NG and results), 0..1; 0 when none.
    double NgShare() const;

private:
    struct PerKind {
        uint64_t nDatagrams;
        uint64_t nBytes;
    };
    static size_t Index(Kind kind) { return static_cast<size_t>(kind); }

    PerKind m_aKind[kKindCount] = {};
    uint64_t m_nDatagrams = 0;
    uint64_t m_nBytes = 0;
    uint64_t m_nDuplicates = 0;
    uint64_t m_nTruncated = 0;
    uint64_t m_nLastUs = 0;  // arrival of the latest datagram, 0 before the first
    uint64_t m_nLongestSilenceUs = 0;
    uint64_t m_nFirstResultUs = 0;
    uint64_t m_nLastResultUs = 0;
    CHistogram m_gaps;
    CHistogram m_heartbeat;
};

}  // namespace wire
