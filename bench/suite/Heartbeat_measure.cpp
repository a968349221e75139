// Item 4: the heartbeat period at 1 s on an idle link (mode 1, text "alive",
// no frames): 21 heartbeats, 20 periods, kernel arrival stamps. Floor: a
// thread sending on an absolute 1 s timer.
//
// Usage: Heartbeat_measure
//
// Threads: the main thread receives; the floor runs beside it and is joined.
#include <poll.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"

using namespace measure;

namespace {

constexpr int kPeriods = 20;

// Each period's deviation from 1 s, in ms.
std::vector<double> Errors(const std::vector<uint64_t>& t) {
    std::vector<double> e;
    for (size_t i = 1; i < t.size() && i <= kPeriods; ++i) {
        e.push_back(static_cast<double>(t[i] - t[i - 1]) / 1e6 - 1000.0);
    }
    return e;
}

double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) {
        sum += x;
    }
    return v.empty() ? NAN : sum / static_cast<double>(v.size());
}

std::vector<double> AbsSorted(std::vector<double> v) {
    for (double& x : v) {
        x = std::fabs(x);
    }
    return Sorted(v);
}

double Drift(const std::vector<uint64_t>& t) {
    return t.size() > kPeriods ? static_cast<double>(t[kPeriods] - t[0]) / 1e6 - 1000.0 * kPeriods
                               : NAN;
}

}  // namespace

int main() {
    Sink floorSink;
    MeasureRig rig;
    if (!rig.Start(
            {{"HeartbeatTranMode", "1"}, {"HeartbeatText", "alive"}, {"HeartbeatInterval", "1"}})) {
        return 1;
    }
    std::thread floorThread([&] {
        const Sender to(floorSink.Port());
        const uint64_t start = MonoNs();
        for (int i = 0; i <= kPeriods; ++i) {
            ts::SleepUntilNs(start + static_cast<uint64_t>(i) * 1000000000u);
            to.Send("alive", 5);
        }
    });
    std::vector<uint64_t> times[2];  // the module's, the floor's
    Sink* sinks[2] = {&rig.modSink, &floorSink};
    const uint64_t deadline = MonoNs() + (kPeriods + 8) * 1000000000ull;
    pollfd fds[2] = {{sinks[0]->Fd(), POLLIN, 0}, {sinks[1]->Fd(), POLLIN, 0}};
    char buf[256];
    while ((times[0].size() <= kPeriods || times[1].size() <= kPeriods) && MonoNs() < deadline) {
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            uint64_t at = 0;
            if ((fds[i].revents & POLLIN) != 0 &&
                sinks[i]->RecvStamped(buf, sizeof(buf), &at) >= 0) {
                times[i].push_back(at);
            }
        }
    }
    floorThread.join();
    const bool stopped = rig.mod.Stop();

    const std::vector<double> em = Errors(times[0]);
    const std::vector<double> ef = Errors(times[1]);
    const std::vector<double> am = AbsSorted(em);
    const std::vector<double> af = AbsSorted(ef);
    const char* fl = "absolute 1 s timer thread";
    Row("4", "period error mean (" + std::to_string(em.size()) + " periods)", Mean(em), "ms", fl,
        Mean(ef));
    Row("4", "period abs. error p50", Percentile(am, 50), "ms", fl, Percentile(af, 50));
    Row("4", "period abs. error max", Max(am), "ms", fl, Max(af));
    Row("4", "drift over 20 periods", Drift(times[0]), "ms", fl, Drift(times[1]));
    return stopped && em.size() == kPeriods ? 0 : 1;
}
