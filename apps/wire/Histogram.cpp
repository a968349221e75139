#include "Histogram.h"

#include <algorithm>
#include <cmath>

namespace wire {

size_t CHistogram::BucketOf(uint64_t value) {
    if (value < kSub) {
        return static_cast<size_t>(value);
    }
    const unsigned top = 63u - static_cast<unsigned>(__builtin_clzll(value));  // >= kSubBits
    const unsigned shift = top - kSubBits;
    const size_t sub = static_cast<size_t>((value >> shift) & (kSub - 1));
    return kSub + shift * kSub + sub;
}

uint64_t CHistogram::LowerBound(size_t index) {
    if (index < kSub) {
        return index;
    }
    const size_t shift = (index - kSub) / kSub;
    const uint64_t sub = (index - kSub) % kSub;
    return (kSub + sub) << shift;
}

void CHistogram::Add(uint64_t value) {
    ++m_aBucket[BucketOf(value)];
    ++m_nCount;
    m_nSum += value;
    m_nMin = std::min(m_nMin, value);
    m_nMax = std::max(m_nMax, value);
}

uint64_t CHistogram::Percentile(double p) const {
    if (m_nCount == 0) {
        return 0;
    }
    const double wanted = std::ceil(std::clamp(p, 0.0, 1.0) * static_cast<double>(m_nCount));
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += m_aBucket[i];
        if (seen >= rank) {
            // The middle of the bucket, but never outside what was seen.
            const uint64_t low = LowerBound(i);
            const uint64_t high = i + 1 < kBuckets ? LowerBound(i + 1) - 1 : UINT64_MAX;
            const uint64_t middle = low + (high - low) / 2;
            return std::clamp(middle, Min(), m_nMax);
        }
    }
    return m_nMax;
}

}  // namespace wire
