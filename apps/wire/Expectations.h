// What an acceptance run expects of a camera's output, and the judgement of a
// run's figures against it: met, or the one-line reason why not.
//
//   heartbeat  every datagram of the heartbeat comes the interval after the
//              previous datagram, within 10 % (at least 100 ms) either way,
//              and the link is never silent for longer than that
//   rate       results per second within 10 % of the rate expected
//   max gap    no gap between two consecutive results longer than this
//
// Threads: plain values and a pure function.
#pragma once

#include <cstdint>
#include <string>

#include "Statistics.h"

namespace wire {

struct Expectations {
    double dHeartbeatS = 0;  // 0: no expectation
    double dRate = 0;        // results per second; 0: none
    double dMaxGapMs = 0;    // 0: none

    bool Any() const { return dHeartbeatS > 0 || dRate > 0 || dMaxGapMs > 0; }
};

// The tolerance of a heartbeat against an interval of `seconds`.
double HeartbeatToleranceMs(double seconds);

// Empty when `figures` up to `nowUs` meet `expect`; otherwise the first
// broken expectation in words, on one line.
std::string Judge(const Expectations& expect, const CStatistics& figures, uint64_t nowUs);

}  // namespace wire
