// CHistogram: a distribution of non-negative values (microseconds here) in
// fixed memory, for percentiles of a run of any length.
//
// Log-linear buckets: values below 32 exactly, above that 32 buckets per
// power of two, so a percentile is within about 3 % of the true value. The
// minimum, maximum and sum are exact.
//
// Threads: one thread owns a histogram; copies are plain values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

class CHistogram {
public:
    static constexpr unsigned kSubBits = 5;
    static constexpr size_t kSub = size_t{1} << kSubBits;
    static constexpr size_t kBuckets = kSub + (64 - kSubBits) * kSub;

    void Add(uint64_t value);
    uint64_t Count() const { return m_nCount; }
    uint64_t Min() const { return m_nCount ? m_nMin : 0; }
    uint64_t Max() const { return m_nMax; }
    double Mean() const { return m_nCount ? static_cast<double>(m_nSum) / m_nCount : 0.0; }
    // The value below which a share `p` (0..1) of the values lies; 0 when empty.
    uint64_t Percentile(double p) const;

    static size_t BucketOf(uint64_t value);
    // The smallest value of bucket `index`.
    static uint64_t LowerBound(size_t index);

private:
    uint64_t m_aBucket[kBuckets] = {};
    uint64_t m_nCount = 0;
    uint64_t m_nSum = 0;
    uint64_t m_nMin = UINT64_MAX;
    uint64_t m_nMax = 0;
};

}  // namespace wire
