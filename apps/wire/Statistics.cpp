#include "Statistics.h"

#include <algorithm>

namespace wire {

void CStatistics::Add(Kind kind, size_t length, uint64_t timeUs, bool duplicate) {
    // Arrival times come from one monotonic clock in order; a datagram handed
    // over late (a held candidate) must not make the silence negative.
    timeUs = std::max(timeUs, m_nLastUs);
    const uint64_t silence = timeUs - m_nLastUs;  // from the start for the first
    m_nLongestSilenceUs = std::max(m_nLongestSilenceUs, silence);
    if (kind == Kind::kHeartbeat && m_nDatagrams != 0) {
        m_heartbeat.Add(silence);
    }
    if (kind == Kind::kResult) {
        if (m_aKind[Index(Kind::kResult)].nDatagrams == 0) {
            m_nFirstResultUs = timeUs;
        } else {
            m_gaps.Add(timeUs - m_nLastResultUs);
        }
        m_nLastResultUs = timeUs;
    }
    PerKind& k = m_aKind[Index(kind)];
    ++k.nDatagrams;
    k.nBytes += length;
    ++m_nDatagrams;
    m_nBytes += length;
    m_nDuplicates += duplicate ? 1 : 0;
    m_nLastUs = timeUs;
}

double CStatistics::Rate(uint64_t nowUs) const {
    return nowUs == 0 ? 0.0 : static_cast<double>(m_nDatagrams) * 1e6 / static_cast<double>(nowUs);
}

double CStatistics::ResultRate() const {
    const uint64_t results = Datagrams(Kind::kResult);
    if (results < 2 || m_nLastResultUs == m_nFirstResultUs) {
        return 0.0;
    }
    return static_cast<double>(results - 1) * 1e6 /
           static_cast<double>(m_nLastResultUs - m_nFirstResultUs);
}

uint64_t CStatistics::LongestSilenceUs(uint64_t nowUs) const {
    return std::max(m_nLongestSilenceUs, nowUs > m_nLastUs ? nowUs - m_nLastUs : 0);
}

double CStatistics::NgShare() const {
    const uint64_t ng = Datagrams(Kind::kNg);
    const uint64_t answered = ng + Datagrams(Kind::kResult);
    return answered == 0 ? 0.0 : static_cast<double>(ng) / static_cast<double>(answered);
}

}  // namespace wire
