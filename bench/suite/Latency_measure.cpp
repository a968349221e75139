// Item 2: frame-to-datagram latency and loss through Process, paced at one
// rate, beside its floor: a thread calling sendto directly at the same rate,
// at the same time. A sequence number and a monotonic stamp lead each 1 KiB
// payload; the receiver takes the kernel's arrival stamp.
//
// Usage: Latency_measure <out dir> <seconds> <rate> [low-latency build's .so]
// Rows and notes on stdout; the distributions go to
// <out dir>/latency_{module,floor}_[lowlat_]<rate>.dat.
//
// Threads: the main thread drives the module; the floor, the collector and
// the sampler of other real-time threads run beside it and are joined.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "ProcessInfo.h"
#include "ThreadUsage.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"

using namespace measure;

namespace {

// Other processes' real-time threads, sampled while a round runs: the most
// seen at once and the first few names.
class RealtimeSampler {
public:
    RealtimeSampler()
        : m_thread([this] {
              while (m_run.load()) {
                  const std::vector<std::string> rt = ts::OtherRealtimeThreads();
                  if (rt.size() > m_most) {
                      m_most = rt.size();
                      m_names.clear();
                      for (size_t k = 0; k < rt.size() && k < 4; ++k) {
                          m_names += (k != 0 ? " " : "") + rt[k];
                      }
                  }
                  usleep(250000);
              }
          }) {}
    // Ends the sampling; then the figures may be read.
    void Join() {
        m_run.store(false);
        m_thread.join();
    }
    std::string Text() const {
        return std::to_string(m_most) + (m_most != 0 ? " (" + m_names + ")" : "");
    }

private:
    std::atomic<bool> m_run{true};
    size_t m_most = 0;  // sampler thread until Join, then the caller
    std::string m_names;
    std::thread m_thread;
};

// Losses in runs of consecutive frames: a queue overflow behind a held-off
// task loses runs that follow late survivors; a refusing or failing endpoint
// loses runs without them.
void LossRuns(const std::vector<uint8_t>& seen, int* runs, int* longest) {
    int run = 0;
    for (uint8_t got : seen) {
        run = got != 0 ? 0 : run + 1;
        *runs += run == 1 ? 1 : 0;
        *longest = std::max(*longest, run);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!Enough(argc, argv, 3, "<out dir> <seconds> <rate> [low-latency build's .so]")) {
        return 2;
    }
    const std::string outDir = argv[1];
    const int seconds = IntArg(argc, argv, 2, 20);
    const int rate = IntArg(argc, argv, 3, 100);
    const Build build = BuildArg(argc, argv, 4);

    Sink floorSink;
    MeasureRig rig;
    if (!rig.Start({}, build.soPath)) {
        return 1;
    }
    // Datagrams that reach the module's own port: nobody of this run sends
    // there, so any count comes from another process on the machine.
    std::atomic<uint64_t> incoming{0};
    CCommProxy::getInstance().SetCommandHandler(
        [&incoming](const CCommProxy::MessageInfo&, std::string&) {
            incoming.fetch_add(1);
            return false;
        });
    LatencyCollector collector({&rig.modSink, &floorSink});
    std::thread rx([&collector] { collector.Run(); });

    zerran_app::CFrame frame(1, 1, Payload());
    uint8_t* payload = FramePayload(frame);
    CAbstractUserModule* m = rig.Module();
    // Warm-up: the socket and the queue's first storage.
    for (int i = 0; i < 20; ++i) {
        m->Process(frame.Input(), frame.Output());
        usleep(2000);
    }

    const uint32_t count = static_cast<uint32_t>(rate * seconds);
    collector.Begin(count);
    usleep(100000);
    const uint64_t incoming0 = incoming.load();
    const long drops0 = ts::UdpCounter("RcvbufErrors");
    const long sndbuf0 = ts::UdpCounter("SndbufErrors");
    const long noports0 = ts::UdpCounter("NoPorts");
    const uint64_t start = MonoNs() + 20000000u;
    PaceStats floorPace;
    std::thread floorThread([&] {
        const Sender sender(floorSink.Port());
        char buf[kPayload];
        std::memset(buf, 0x5a, sizeof(buf));
        floorPace = Paced(start, rate, count, [&](uint32_t seq) {
            const Stamp st{kMagic, seq, MonoNs()};
            std::memcpy(buf, &st, sizeof(st));
            sender.Send(buf, sizeof(buf));
        });
    });
    RealtimeSampler sampler;
    int failed = 0;
    const PaceStats modPace = Paced(start, rate, count, [&](uint32_t seq) {
        frame.SetCounters(static_cast<int>(seq), static_cast<int>(seq));
        const Stamp st{kMagic, seq, MonoNs()};
        std::memcpy(payload, &st, sizeof(st));
        failed += m->Process(frame.Input(), frame.Output()) != 0 ? 1 : 0;
    });
    floorThread.join();
    sampler.Join();
    usleep(300000);  // stragglers
    const long drops = ts::UdpCounter("RcvbufErrors") - drops0;
    const long sndbuf = ts::UdpCounter("SndbufErrors") - sndbuf0;
    const long noports = ts::UdpCounter("NoPorts") - noports0;
    collector.Stop();
    rx.join();
    CCommProxy::getInstance().SetCommandHandler(nullptr);

    const std::vector<double> lm = Sorted(collector.Latencies(0));
    const std::vector<double> lf = Sorted(collector.Latencies(1));
    const std::string tag = build.label.empty() ? "" : "lowlat_";
    WriteCdf(outDir + "/latency_module_" + tag + std::to_string(rate) + ".dat", lm);
    WriteCdf(outDir + "/latency_floor_" + tag + std::to_string(rate) + ".dat", lf);
    const std::string at =
        " @" + std::to_string(rate) + "/s" + (build.label.empty() ? "" : ", " + build.label);
    const char* fl = "sendto thread";
    for (int p : {50, 90, 99}) {
        Row("2", "latency p" + std::to_string(p) + at, Percentile(lm, p), "us", fl,
            Percentile(lf, p));
    }
    Row("2", "latency max" + at, Max(lm), "us", fl, Max(lf));
    const double lostM = static_cast<double>(count) - static_cast<double>(lm.size());
    const double lostF = static_cast<double>(count) - static_cast<double>(lf.size());
    Row("2", "datagrams lost" + at + " (of " + std::to_string(count) + ")", lostM, "count", fl,
        lostF);
    const long over10ms = std::count_if(lm.begin(), lm.end(), [](double v) { return v > 1e4; });
    int runs = 0;
    int longest = 0;
    LossRuns(collector.Seen(0), &runs, &longest);
    char why[1100];
    std::snprintf(
        why, sizeof(why),
        "@%d/s%s: module lost %.0f, floor lost %.0f; receive-buffer drops in the kernel (whole "
        "machine) %ld; Process failures %d; duplicates %llu/%llu; module datagrams later than "
        "10 ms: %ld; losses in %d runs, longest %d frames; send-buffer errors %ld and datagrams "
        "to no port %ld (whole machine); datagrams received on the module's port %llu; "
        "real-time threads of other processes seen: up to %s; producer ticks served more than "
        "one period late (then in a burst): module's %d (max %.1f ms), floor's %d (max %.1f "
        "ms). Module losses beyond the kernel's are records its 5-record send queue refused: "
        "more than 5 frames came within fewer passes of the message task.",
        rate, build.label.empty() ? "" : (", " + build.label).c_str(), lostM, lostF, drops, failed,
        static_cast<unsigned long long>(collector.Dups(0)),
        static_cast<unsigned long long>(collector.Dups(1)), over10ms, runs, longest, sndbuf,
        noports, static_cast<unsigned long long>(incoming.load() - incoming0),
        sampler.Text().c_str(), modPace.lateTicks, modPace.maxLateMs, floorPace.lateTicks,
        floorPace.maxLateMs);
    Note("2", why);
    return rig.mod.Stop() ? 0 : 1;
}
