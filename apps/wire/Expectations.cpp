#include "Expectations.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace wire {

namespace {

constexpr double kRateTolerance = 0.10;

std::string Format(const char* format, double a, double b, double c = 0) {
    char line[256];
    std::snprintf(line, sizeof(line), format, a, b, c);
    return line;
}

double Ms(uint64_t us) {
    return static_cast<double>(us) / 1000.0;
}

}  // namespace

double HeartbeatToleranceMs(double seconds) {
    return std::max(100.0, seconds * 1000.0 * 0.10);
}

std::string Judge(const Expectations& expect, const CStatistics& figures, uint64_t nowUs) {
    if (expect.dHeartbeatS > 0) {
        const double wanted = expect.dHeartbeatS * 1000.0;
        const double tolerance = HeartbeatToleranceMs(expect.dHeartbeatS);
        const CHistogram& periods = figures.HeartbeatPeriods();
        if (periods.Count() != 0 && Ms(periods.Min()) < wanted - tolerance) {
            return Format("heartbeat %.1f ms after the previous datagram, expected every %.0f ms",
                          Ms(periods.Min()), wanted);
        }
        const double silence = Ms(figures.LongestSilenceUs(nowUs));
        if (silence > wanted + tolerance) {
            return Format("no datagram for %.1f ms, a heartbeat was expected every %.0f ms",
                          silence, wanted);
        }
    }
    const uint64_t results = figures.Datagrams(Kind::kResult);
    if (expect.dRate > 0) {
        if (results < 2) {
            return Format("%.0f result(s), too few for a rate (expected %.1f/s)",
                          static_cast<double>(results), expect.dRate);
        }
        const double rate = figures.ResultRate();
        if (std::fabs(rate - expect.dRate) > expect.dRate * kRateTolerance) {
            return Format("results at %.2f/s, expected %.2f/s within 10 %%", rate, expect.dRate);
        }
    }
    if (expect.dMaxGapMs > 0) {
        if (results < 2) {
            return Format("%.0f result(s), no gap between results to judge (--max-gap %.0f ms)",
                          static_cast<double>(results), expect.dMaxGapMs);
        }
        const double gap = Ms(figures.ResultGaps().Max());
        if (gap > expect.dMaxGapMs) {
            return Format("largest gap between results %.1f ms, more than --max-gap %.0f ms", gap,
                          expect.dMaxGapMs);
        }
    }
    return std::string();
}

}  // namespace wire
