#include "Report.h"

#include <algorithm>
#include <cmath>

#include "TextEscape.h"

namespace monitor {

namespace {

using wire::Kind;

constexpr Kind kKinds[] = {Kind::kResult, Kind::kHeartbeat, Kind::kNg, Kind::kAnswer};

double Ms(uint64_t us) {
    return static_cast<double>(us) / 1000.0;
}

// The worst distance of a heartbeat period from the expected interval, ms;
// negative when there is nothing to compare.
double WorstHeartbeatErrorMs(const wire::CStatistics& figures, const wire::Expectations& expect) {
    const wire::CHistogram& periods = figures.HeartbeatPeriods();
    if (expect.dHeartbeatS <= 0 || periods.Count() == 0) {
        return -1;
    }
    const double wanted = expect.dHeartbeatS * 1000.0;
    return std::max(std::fabs(Ms(periods.Min()) - wanted), std::fabs(Ms(periods.Max()) - wanted));
}

std::string JsonText(const std::string& raw) {
    const std::string escaped = apps::EscapeText(raw.data(), raw.size());
    std::string quoted(escaped.size() * 2 + 1, '\0');
    quoted.resize(apps::JsonQuoteTo(escaped.data(), escaped.size(), &quoted[0], quoted.size()));
    return "\"" + quoted + "\"";
}

}  // namespace

void WriteFiguresText(FILE* out, const wire::CStatistics& f, const ReportContext& c) {
    std::fprintf(out, "udptrans-monitor: figures after %.3f s\n", Ms(c.nNowUs) / 1000.0);
    for (Kind kind : kKinds) {
        std::fprintf(out, "  %-10s %10llu datagrams %12llu bytes\n", wire::KindName(kind),
                     static_cast<unsigned long long>(f.Datagrams(kind)),
                     static_cast<unsigned long long>(f.Bytes(kind)));
    }
    std::fprintf(out, "  %-10s %10llu datagrams %12llu bytes  %.1f/s, results %.2f/s\n", "total",
                 static_cast<unsigned long long>(f.Datagrams()),
                 static_cast<unsigned long long>(f.Bytes()), f.Rate(c.nNowUs), f.ResultRate());
    const wire::CHistogram& gaps = f.ResultGaps();
    if (gaps.Count() == 0) {
        std::fprintf(out, "  result gaps: none (fewer than two results)\n");
    } else {
        std::fprintf(out, "  result gaps: p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
                     Ms(gaps.Percentile(0.5)), Ms(gaps.Percentile(0.99)), Ms(gaps.Max()));
    }
    const wire::CHistogram& periods = f.HeartbeatPeriods();
    const std::string text = apps::EscapeText(c.strHeartbeat.data(), c.strHeartbeat.size());
    std::fprintf(out, "  heartbeat: %s", c.bHeartbeatKnown ? "\"" : "text not known yet");
    if (c.bHeartbeatKnown) {
        std::fprintf(out, "%s\"%s", text.c_str(), c.bHeartbeatLearned ? " (learned)" : "");
    }
    if (periods.Count() != 0) {
        std::fprintf(out, ", period mean %.1f ms (min %.1f, max %.1f)", Ms(periods.Mean()),
                     Ms(periods.Min()), Ms(periods.Max()));
    }
    const double worst = WorstHeartbeatErrorMs(f, c.expect);
    if (worst >= 0) {
        std::fprintf(out, ", worst error %.1f ms against %g s", worst, c.expect.dHeartbeatS);
    }
    std::fprintf(out, "\n  duplicates within 1 ms: %llu\n",
                 static_cast<unsigned long long>(f.Duplicates()));
    std::fprintf(out, "  NG share of the answers to triggers: %.1f %%\n", f.NgShare() * 100.0);
    std::fprintf(out, "  dropped by the kernel: %llu, cut to the buffer: %llu\n",
                 static_cast<unsigned long long>(c.nKernelDrops),
                 static_cast<unsigned long long>(f.Truncated()));
}

void WriteFiguresJson(FILE* out, const char* type, const wire::CStatistics& f,
                      const ReportContext& c, int status, const std::string& reason) {
    std::fprintf(out, "{\"type\":\"%s\",\"elapsed_s\":%.6f,\"kinds\":{", type,
                 Ms(c.nNowUs) / 1000.0);
    for (Kind kind : kKinds) {
        std::fprintf(out, "%s\"%s\":{\"datagrams\":%llu,\"bytes\":%llu}",
                     kind == Kind::kResult ? "" : ",", wire::KindName(kind),
                     static_cast<unsigned long long>(f.Datagrams(kind)),
                     static_cast<unsigned long long>(f.Bytes(kind)));
    }
    std::fprintf(out, "},\"datagrams\":%llu,\"bytes\":%llu,\"rate\":%.3f,\"result_rate\":%.3f,",
                 static_cast<unsigned long long>(f.Datagrams()),
                 static_cast<unsigned long long>(f.Bytes()), f.Rate(c.nNowUs), f.ResultRate());
    const wire::CHistogram& gaps = f.ResultGaps();
    std::fprintf(out, "\"result_gaps_ms\":{\"count\":%llu",
                 static_cast<unsigned long long>(gaps.Count()));
    if (gaps.Count() != 0) {
        std::fprintf(out, ",\"p50\":%.3f,\"p99\":%.3f,\"max\":%.3f", Ms(gaps.Percentile(0.5)),
                     Ms(gaps.Percentile(0.99)), Ms(gaps.Max()));
    }
    const wire::CHistogram& periods = f.HeartbeatPeriods();
    std::fprintf(out, "},\"heartbeat\":{\"text\":%s,\"learned\":%s,\"periods\":%llu",
                 c.bHeartbeatKnown ? JsonText(c.strHeartbeat).c_str() : "null",
                 c.bHeartbeatLearned ? "true" : "false",
                 static_cast<unsigned long long>(periods.Count()));
    if (periods.Count() != 0) {
        std::fprintf(out, ",\"period_mean_ms\":%.3f,\"period_min_ms\":%.3f,\"period_max_ms\":%.3f",
                     Ms(periods.Mean()), Ms(periods.Min()), Ms(periods.Max()));
    }
    const double worst = WorstHeartbeatErrorMs(f, c.expect);
    if (worst >= 0) {
        std::fprintf(out, ",\"expected_s\":%g,\"worst_error_ms\":%.3f", c.expect.dHeartbeatS,
                     worst);
    }
    std::fprintf(out,
                 "},\"duplicates\":%llu,\"ng_share\":%.6f,\"kernel_drops\":%llu,"
                 "\"truncated\":%llu",
                 static_cast<unsigned long long>(f.Duplicates()), f.NgShare(),
                 static_cast<unsigned long long>(c.nKernelDrops),
                 static_cast<unsigned long long>(f.Truncated()));
    if (status >= 0) {
        std::fprintf(out, ",\"status\":%d,\"reason\":%s", status,
                     reason.empty() ? "null" : JsonText(reason).c_str());
    }
    std::fprintf(out, "}\n");
}

}  // namespace monitor
