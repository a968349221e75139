// The figures of the receiving side: percentiles of the fixed-memory
// histogram against exact ones, the heartbeat period from the previous
// datagram of any kind, silences, and the judgement of the expectations.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Expectations.h"
#include "Histogram.h"
#include "Statistics.h"

namespace {

using wire::CHistogram;
using wire::CStatistics;
using wire::Kind;

TEST(Histogram, PercentilesStayWithinThreePercentOfTheExactValues) {
    std::mt19937_64 random(19);
    struct Shape {
        const char* name;
        std::function<uint64_t()> draw;
    };
    std::exponential_distribution<double> exponential(1.0 / 10000.0);
    std::uniform_int_distribution<uint64_t> wide(0, uint64_t{1} << 40);
    const Shape shapes[] = {
        {"10 ms apart with jitter", [&] { return 10000 + random() % 500; }},
        {"exponential", [&] { return static_cast<uint64_t>(exponential(random)); }},
        {"wide", [&] { return wide(random); }},
        {"small exact values", [&] { return random() % 32; }},
    };
    for (const Shape& shape : shapes) {
        CHistogram histogram;
        std::vector<uint64_t> values(20001);
        for (uint64_t& v : values) {
            v = shape.draw();
            histogram.Add(v);
        }
        std::sort(values.begin(), values.end());
        EXPECT_EQ(histogram.Count(), values.size());
        EXPECT_EQ(histogram.Min(), values.front()) << shape.name;
        EXPECT_EQ(histogram.Max(), values.back()) << shape.name;
        for (double p : {0.0, 0.5, 0.9, 0.99, 0.999, 1.0}) {
            const size_t rank =
                std::max<size_t>(1, static_cast<size_t>(std::ceil(p * values.size())));
            const double exact = static_cast<double>(values[rank - 1]);
            const double got = static_cast<double>(histogram.Percentile(p));
            EXPECT_NEAR(got, exact, std::max(1.0, exact * 0.032)) << shape.name << " p" << p;
        }
    }
    // Every bucket index maps back into its own range, up to the largest value.
    for (uint64_t v : {uint64_t{0}, uint64_t{31}, uint64_t{32}, uint64_t{33}, uint64_t{1000003},
                       UINT64_MAX / 3, UINT64_MAX}) {
        const size_t index = CHistogram::BucketOf(v);
        ASSERT_LT(index, CHistogram::kBuckets);
        EXPECT_LE(CHistogram::LowerBound(index), v);
        if (index + 1 < CHistogram::kBuckets) {
            EXPECT_GT(CHistogram::LowerBound(index + 1), v);
        }
    }
    EXPECT_EQ(CHistogram().Percentile(0.5), 0u);
}

TEST(Statistics, CountsGapsHeartbeatPeriodsAndSilences) {
    CStatistics s;
    // Results every 10 ms from 0.5 s, one 50 ms gap, then the link idle and
    // a heartbeat 2 s after the last result and another 2 s after that.
    uint64_t t = 500000;
    for (int i = 0; i < 10; ++i) {
        s.Add(Kind::kResult, 24, t, i == 3);
        t += i == 5 ? 50000 : 10000;
    }
    const uint64_t lastResult = t - 10000;
    s.Add(Kind::kNg, 2, lastResult + 5000, false);
    s.Add(Kind::kHeartbeat, 9, lastResult + 5000 + 2000000, false);
    s.Add(Kind::kHeartbeat, 9, lastResult + 5000 + 4000000, false);

    EXPECT_EQ(s.Datagrams(), 13u);
    EXPECT_EQ(s.Datagrams(Kind::kResult), 10u);
    EXPECT_EQ(s.Bytes(Kind::kResult), 240u);
    EXPECT_EQ(s.Bytes(), 240u + 2 + 18);
    EXPECT_EQ(s.Duplicates(), 1u);
    EXPECT_EQ(s.ResultGaps().Count(), 9u);
    EXPECT_EQ(s.ResultGaps().Max(), 50000u);
    EXPECT_NEAR(static_cast<double>(s.ResultGaps().Percentile(0.5)), 10000.0, 320.0);
    // 9 intervals over 130 ms.
    EXPECT_NEAR(s.ResultRate(), 9.0 / 0.130, 1e-6);
    // Periods are counted from the previous datagram of any kind (the NG),
    // as the camera times its heartbeat.
    EXPECT_EQ(s.HeartbeatPeriods().Count(), 2u);
    EXPECT_EQ(s.HeartbeatPeriods().Min(), 2000000u);
    EXPECT_EQ(s.HeartbeatPeriods().Max(), 2000000u);
    EXPECT_NEAR(s.NgShare(), 1.0 / 11.0, 1e-9);
    // The longest silence so far, then one still going on at the end.
    EXPECT_EQ(s.LongestSilenceUs(s.LastUs()), 2000000u);
    EXPECT_EQ(s.LongestSilenceUs(s.LastUs() + 3000000), 3000000u);

    // Before anything arrived: the silence is the whole run, no rates.
    CStatistics empty;
    EXPECT_EQ(empty.LongestSilenceUs(700000), 700000u);
    EXPECT_EQ(empty.ResultRate(), 0.0);
    EXPECT_EQ(empty.NgShare(), 0.0);
    EXPECT_EQ(empty.Rate(0), 0.0);
}

TEST(Expectations, JudgeNamesTheFirstBrokenExpectation) {
    // Heartbeats 1 s apart on an idle link after results at 100/s with one
    // 80 ms gap; `early` adds a heartbeat 600 ms after a result.
    auto run = [](bool early) {
        CStatistics s;
        uint64_t t = 100000;
        for (int i = 0; i < 100; ++i) {
            s.Add(Kind::kResult, 10, t, false);
            t += i == 50 ? 80000 : 10000;
        }
        t -= 10000;
        if (early) {
            s.Add(Kind::kHeartbeat, 2, t + 600000, false);
            t += 600000;
        }
        for (int beat = 0; beat < 3; ++beat) {
            t += 1000000 + static_cast<uint64_t>(beat) * 30000;  // up to 60 ms late
            s.Add(Kind::kHeartbeat, 2, t, false);
        }
        return s;
    };
    const CStatistics good = run(false);
    const uint64_t end = good.LastUs() + 500000;
    struct Case {
        wire::Expectations expect;
        bool early;
        uint64_t nowUs;
        const char* reason;  // "" when met
    };
    const Case cases[] = {
        {{1, 0, 0}, false, end, ""},
        {{1, 0, 0}, true, end, "heartbeat 600.0 ms after the previous datagram"},
        {{1, 0, 0}, false, good.LastUs() + 1200000, "no datagram for 1200.0 ms"},
        {{2, 0, 0}, false, end, "heartbeat 1000.0 ms after"},
        {{0.5, 0, 0}, false, end, "no datagram for 10"},
        {{0, 93, 0}, false, end, ""},
        {{0, 50, 0}, false, end, "results at 93."},
        {{0, 0, 80.5}, false, end, ""},
        {{0, 0, 79}, false, end, "largest gap between results 80.0 ms"},
        {{1, 93, 80.5}, false, end, ""},
    };
    for (const Case& c : cases) {
        const CStatistics s = c.early ? run(true) : good;
        const std::string reason = wire::Judge(c.expect, s, c.nowUs);
        if (*c.reason == '\0') {
            EXPECT_EQ(reason, "") << c.expect.dHeartbeatS << " " << c.expect.dRate;
        } else {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
            EXPECT_EQ(reason.find('\n'), std::string::npos);
        }
    }
    // Too few results to judge a rate or a gap is a broken expectation, not a pass.
    CStatistics one;
    one.Add(Kind::kResult, 1, 1000, false);
    EXPECT_NE(wire::Judge({0, 10, 0}, one, 2000).find("too few"), std::string::npos);
    EXPECT_NE(wire::Judge({0, 0, 10}, one, 2000).find("no gap"), std::string::npos);
}

}  // namespace
