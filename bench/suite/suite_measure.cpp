// Measuring programs of the suite that want a distribution or a long run, each
// beside its floor measured in the same run:
//
//   latency    frame-to-datagram latency and loss through Process at 100, 500
//              and 1000 frames/s; floor: a thread calling sendto directly
//   scheduled  scheduled transmission, triggers at 20 Hz, 50 ms delay: the
//              lateness of each answer; floor: a thread sleeping to the due
//              moment and sending
//   heartbeat  heartbeat period at 1 s on an idle link; floor: a thread on an
//              absolute 1 s timer
//   idle       CPU of a started, enabled, idle engine; floor: a thread looping
//              on a 1 ms select
//   memory     resident size after loading and starting, and its growth over
//              one million frames
//
// Usage: suite_measure <item>|all <output folder> [seconds per latency rate]
//        [the low-latency build's libudptrans.so: latency and idle measured
//        for both builds, alternating, in the same run]
// Each figure is one line "ROW|item|figure|value|unit|floor|floor value|ratio"
// on stdout; distributions go to files in the output folder.
//
// Threads: the main thread drives the module; each item starts its own
// receiver and floor threads and joins them before it returns.
#include <arpa/inet.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AllocCount.h"
#include "FrameFactory.h"
#include "LocalImageProcess.h"
#include "LocalTriggerSource.h"
#include "SuiteHost.h"
#include "algo/AbstractUserModule.h"
#include "algo/ComObjectPool.h"
#include "algo/CommProxy.h"

namespace {

using suite::MonoNs;

constexpr int kModuleId = 23;
constexpr uint32_t kMagic = 0x55445042u;  // marks a payload of this suite
constexpr size_t kPayload = 1024;

std::string g_outDir = ".";

// Header at the start of every measured payload.
struct Stamp {
    uint32_t magic;
    uint32_t seq;
    uint64_t sentNs;
};

void Row(const char* item, const std::string& figure, double value, const char* unit,
         const std::string& floorName, double floorValue) {
    std::string ratio = "-";
    std::string floorText = "-";
    if (!floorName.empty() && !std::isnan(floorValue)) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%.4g", floorValue);
        floorText = buf;
        if (floorValue != 0.0 && !std::isnan(value)) {
            std::snprintf(buf, sizeof(buf), "%.2f", value / floorValue);
            ratio = buf;
        }
    }
    std::printf("ROW|%s|%s|%.4g|%s|%s|%s|%s\n", item, figure.c_str(), value, unit,
                floorName.empty() ? "-" : floorName.c_str(), floorText.c_str(), ratio.c_str());
    std::fflush(stdout);
}

void Note(const char* item, const std::string& text) {
    std::printf("NOTE|%s|%s\n", item, text.c_str());
    std::fflush(stdout);
}

std::vector<double> Sorted(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Sorted values and their cumulative share, one pair per line, for gnuplot.
void WriteCdf(const std::string& name, const std::vector<double>& sorted) {
    const std::string path = g_outDir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::perror(path.c_str());
        return;
    }
    const double n = static_cast<double>(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        std::fprintf(f, "%.3f %.6f\n", sorted[i], static_cast<double>(i + 1) / n);
    }
    std::fclose(f);
}

suite::KeyValues BaseStore(uint16_t targetPort, uint16_t hbTargetPort) {
    return {{"HostPort", std::to_string(suite::FreeUdpPort())},
            {"HostHeartbeatPort", std::to_string(suite::FreeUdpPort())},
            {"TargetIp", "127.0.0.1"},
            {"TargetPort", std::to_string(targetPort)},
            {"TargetHeartbeatIp", "127.0.0.1"},
            {"TargetHeartbeatPort", std::to_string(hbTargetPort)},
            {"AlgoEnable", "1"},
            {"HeartbeatTranMode", "0"},
            {"ScheduledTransEnable", "0"},
            {"ScheduledTransTime", "0"}};
}

// The host application's components, registered for one item.
struct Components {
    std::shared_ptr<zerran_app::ITriggerSource> trigger;
    std::shared_ptr<zerran_app::CLocalImageProcess> image;
    explicit Components(std::shared_ptr<zerran_app::ITriggerSource> t)
        : trigger(std::move(t)), image(std::make_shared<zerran_app::CLocalImageProcess>()) {
        auto& pool = Infra::Component::CComObjectPool::getInstance();
        pool.registerComponent(zerran_app::ITriggerSource::kComponentName, trigger);
        pool.registerComponent(zerran_app::IImageProcess::kComponentName, image);
    }
    ~Components() {
        auto& pool = Infra::Component::CComObjectPool::getInstance();
        pool.unregisterComponent(zerran_app::ITriggerSource::kComponentName);
        pool.unregisterComponent(zerran_app::IImageProcess::kComponentName);
    }
};

// The two builds of the module that the suite compares: the default build
// (this tree's) and, when given, the low-latency build's shared object.
struct Build {
    std::string label;  // "" for the default build, else appended to the figures
    std::string soPath;
};
Build g_default{"", UDPTRANS_SO_PATH};
std::vector<Build> g_builds{g_default};

bool StartModule(suite::CSuiteModule& mod, const suite::KeyValues& values,
                 const std::string& soPath = UDPTRANS_SO_PATH) {
    if (mod.Open(soPath) != 0 || mod.Start(values, kModuleId) != 0) {
        std::fprintf(stderr, "module did not start\n");
        return false;
    }
    // SUITE_MODULE_LOG=<threshold> lets the module's own lines through, for
    // finding out what happened in a run (they do not disturb the rows).
    const char* level = std::getenv("SUITE_MODULE_LOG");
    mod.SetLogThreshold(kModuleId, level != nullptr ? std::atoi(level) : 8);
    return true;
}

// One item's module: receivers on both targets, the components, and the
// module started on kernel-picked ports with `extra` after the base values.
struct Rig {
    suite::CUdpSink modSink;
    suite::CUdpSink hbSink;
    Components comps;
    suite::CSuiteModule mod;
    explicit Rig(std::shared_ptr<zerran_app::ITriggerSource> trigger =
                     std::make_shared<zerran_app::CLocalTriggerSource>())
        : comps(std::move(trigger)) {}
    bool Start(const suite::KeyValues& extra = {}, const std::string& soPath = UDPTRANS_SO_PATH) {
        suite::KeyValues values = BaseStore(modSink.Port(), hbSink.Port());
        values.insert(values.end(), extra.begin(), extra.end());
        return StartModule(mod, values, soPath);
    }
};

std::vector<uint8_t> Payload() {
    std::vector<uint8_t> bytes(kPayload, 0x5a);
    return bytes;
}

uint8_t* FramePayload(zerran_app::CFrame& frame) {
    auto rec = frame.InputRecord().mapInput.find("SINGLE_obj_binary")->second;
    return static_cast<uint8_t*>(rec->mapBuffer.find("SINGLE_obj_binary")->second->GetData());
}

// ---- latency ------------------------------------------------------------------

// Receives from several sinks; per sink, the latency of each first arrival of
// a sequence number and the count of arrivals.
class CLatencyCollector {
public:
    explicit CLatencyCollector(std::vector<suite::CUdpSink*> sinks) : m_sinks(std::move(sinks)) {
        m_lat.resize(m_sinks.size());
        m_seen.resize(m_sinks.size());
        m_dups.assign(m_sinks.size(), 0);
    }
    // Starts a round of `count` sequence numbers per sink.
    void Begin(uint32_t count) {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (size_t i = 0; i < m_sinks.size(); ++i) {
            m_lat[i].clear();
            m_lat[i].reserve(count);
            m_seen[i].assign(count, 0);
            m_dups[i] = 0;
        }
        m_nCount = count;
    }
    void Run() {
        std::vector<pollfd> fds;
        for (auto* s : m_sinks) {
            fds.push_back({s->Fd(), POLLIN, 0});
        }
        char buf[2048];
        while (!m_bStop.load()) {
            if (poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) {
                    continue;
                }
                for (;;) {
                    uint64_t now = 0;
                    const int n = m_sinks[i]->RecvStamped(buf, sizeof(buf), &now);
                    if (n < 0) {
                        break;
                    }
                    Stamp st;
                    if (static_cast<size_t>(n) < sizeof(st)) {
                        continue;
                    }
                    std::memcpy(&st, buf, sizeof(st));
                    if (st.magic != kMagic) {
                        continue;
                    }
                    std::lock_guard<std::mutex> lock(m_mtx);
                    if (st.seq >= m_nCount) {
                        continue;
                    }
                    if (m_seen[i][st.seq] != 0) {
                        ++m_dups[i];
                        continue;
                    }
                    m_seen[i][st.seq] = 1;
                    m_lat[i].push_back(static_cast<double>(now - st.sentNs) / 1000.0);
                }
            }
        }
    }
    void Stop() { m_bStop.store(true); }
    std::vector<double> Latencies(size_t sink) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_lat[sink];
    }
    std::vector<uint8_t> Seen(size_t sink) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_seen[sink];
    }
    uint64_t Dups(size_t sink) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_dups[sink];
    }

private:
    std::vector<suite::CUdpSink*> m_sinks;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mtx;  // guards everything below (collector thread and main thread)
    uint32_t m_nCount = 0;
    std::vector<std::vector<double>> m_lat;
    std::vector<std::vector<uint8_t>> m_seen;
    std::vector<uint64_t> m_dups;
};

// How far a paced producer fell behind its schedule.
struct PaceStats {
    int lateTicks = 0;     // ticks served more than one period late
    double maxLateMs = 0;  // the largest delay of a tick
};

// Calls `send(seq)` at `rate` per second from `startNs`, `count` times; a
// late tick is served at once (the frames of a stalled camera still come), so
// a stall of the producer ends in a burst.
PaceStats Paced(uint64_t startNs, int rate, uint32_t count,
                const std::function<void(uint32_t)>& send) {
    PaceStats stats;
    const uint64_t period = 1000000000u / static_cast<uint64_t>(rate);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t due = startNs + period * i;
        suite::SleepUntilNs(due);
        const uint64_t late = MonoNs() - due;
        stats.lateTicks += late > period ? 1 : 0;
        stats.maxLateMs = std::max(stats.maxLateMs, static_cast<double>(late) / 1e6);
        send(i);
    }
    return stats;
}

// One rate through one build: the module's producer and a thread calling
// sendto directly, paced side by side for `seconds`.
int LatencyRun(const Build& build, int rate, int seconds) {
    suite::CUdpSink floorSink;
    Rig rig;
    if (!rig.Start({}, build.soPath)) {
        return 1;
    }
    suite::CUdpSink& modSink = rig.modSink;
    suite::CSuiteModule& mod = rig.mod;
    const int floorFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in floorTo = floorSink.Address();

    // Datagrams that reach the module's own port: nobody of this run sends
    // there, so any count comes from another process on the machine.
    std::atomic<uint64_t> incoming{0};
    CCommProxy::getInstance().SetCommandHandler(
        [&incoming](const CCommProxy::MessageInfo&, std::string&) {
            incoming.fetch_add(1);
            return false;
        });

    CLatencyCollector collector({&modSink, &floorSink});
    std::thread rx([&collector] { collector.Run(); });

    zerran_app::CFrame frame(1, 1, Payload());
    uint8_t* payload = FramePayload(frame);
    CAbstractUserModule* m = mod.Module();
    // Warm-up: the socket and the queue's first storage.
    for (int i = 0; i < 20; ++i) {
        m->Process(frame.Input(), frame.Output());
        usleep(2000);
    }

    {
        const uint32_t count = static_cast<uint32_t>(rate * seconds);
        collector.Begin(count);
        usleep(100000);
        const uint64_t incoming0 = incoming.load();
        const uint64_t drops0 = suite::UdpRcvbufErrors();
        const uint64_t sndbuf0 = suite::UdpCounter("SndbufErrors");
        const uint64_t noports0 = suite::UdpCounter("NoPorts");
        const uint64_t start = MonoNs() + 20000000u;
        PaceStats floorPace;
        std::thread floorThread([&] {
            char buf[kPayload];
            std::memset(buf, 0x5a, sizeof(buf));
            floorPace = Paced(start, rate, count, [&](uint32_t seq) {
                const Stamp st{kMagic, seq, MonoNs()};
                std::memcpy(buf, &st, sizeof(st));
                sendto(floorFd, buf, sizeof(buf), 0, reinterpret_cast<const sockaddr*>(&floorTo),
                       sizeof(floorTo));
            });
        });
        // Other processes' real-time threads, sampled while the rate runs.
        std::atomic<bool> sampling{true};
        size_t rtMax = 0;
        std::string rtNames;
        std::thread sampler([&] {
            while (sampling.load()) {
                const std::vector<std::string> rt = suite::OtherRealtimeThreads();
                if (rt.size() > rtMax) {
                    rtMax = rt.size();
                    rtNames.clear();
                    for (size_t k = 0; k < rt.size() && k < 4; ++k) {
                        rtNames += (k != 0 ? " " : "") + rt[k];
                    }
                }
                usleep(250000);
            }
        });
        int failed = 0;
        const PaceStats modPace = Paced(start, rate, count, [&](uint32_t seq) {
            frame.SetCounters(static_cast<int>(seq), static_cast<int>(seq));
            const Stamp st{kMagic, seq, MonoNs()};
            std::memcpy(payload, &st, sizeof(st));
            failed += m->Process(frame.Input(), frame.Output()) != 0 ? 1 : 0;
        });
        floorThread.join();
        sampling.store(false);
        sampler.join();
        usleep(300000);  // stragglers
        const uint64_t drops = suite::UdpRcvbufErrors() - drops0;
        const uint64_t sndbuf = suite::UdpCounter("SndbufErrors") - sndbuf0;
        const uint64_t noports = suite::UdpCounter("NoPorts") - noports0;
        const std::vector<uint8_t> seen = collector.Seen(0);
        const std::vector<double> lm = Sorted(collector.Latencies(0));
        const std::vector<double> lf = Sorted(collector.Latencies(1));
        const std::string tag = build.label.empty() ? "" : "lowlat_";
        WriteCdf("latency_module_" + tag + std::to_string(rate) + ".dat", lm);
        WriteCdf("latency_floor_" + tag + std::to_string(rate) + ".dat", lf);
        const std::string at =
            " @" + std::to_string(rate) + "/s" + (build.label.empty() ? "" : ", " + build.label);
        for (double p : {50.0, 90.0, 99.0}) {
            char name[32];
            std::snprintf(name, sizeof(name), "p%.0f", p);
            Row("2", std::string("latency ") + name + at, suite::Percentile(lm, p), "us",
                "sendto thread", suite::Percentile(lf, p));
        }
        Row("2", "latency max" + at, lm.empty() ? NAN : lm.back(), "us", "sendto thread",
            lf.empty() ? NAN : lf.back());
        const double lostM = static_cast<double>(count) - static_cast<double>(lm.size());
        const double lostF = static_cast<double>(count) - static_cast<double>(lf.size());
        Row("2", "datagrams lost" + at + " (of " + std::to_string(count) + ")", lostM, "count",
            "sendto thread", lostF);
        int over10ms = 0;
        for (double v : lm) {
            over10ms += v > 10000.0 ? 1 : 0;
        }
        // Losses in runs of consecutive frames: a queue overflow behind a
        // held-off task loses runs that follow late survivors; a refusing or
        // failing endpoint loses runs without them.
        int gaps = 0;
        int longest = 0;
        int run = 0;
        for (uint8_t got : seen) {
            if (got == 0) {
                gaps += run == 0 ? 1 : 0;
                longest = std::max(longest, ++run);
            } else {
                run = 0;
            }
        }
        char why[1100];
        std::snprintf(
            why, sizeof(why),
            "@%d/s%s: module lost %.0f, floor lost %.0f; receive-buffer drops in the "
            "kernel (whole machine) %llu; Process failures %d; duplicates %llu/%llu; "
            "module datagrams later than 10 ms: %d; losses in %d runs, longest %d "
            "frames; send-buffer errors %llu and datagrams to no port %llu (whole "
            "machine); datagrams received on the module's port %llu; real-time "
            "threads of other "
            "processes seen: up to %zu%s%s%s; producer ticks served more than one "
            "period late (then in a burst): module's %d (max %.1f ms), floor's %d "
            "(max %.1f ms). Module losses beyond the kernel's are records its "
            "5-record send queue refused: more than 5 frames came within fewer "
            "passes of the message task.",
            rate, build.label.empty() ? "" : (", " + build.label).c_str(), lostM, lostF,
            static_cast<unsigned long long>(drops), failed,
            static_cast<unsigned long long>(collector.Dups(0)),
            static_cast<unsigned long long>(collector.Dups(1)), over10ms, gaps, longest,
            static_cast<unsigned long long>(sndbuf), static_cast<unsigned long long>(noports),
            static_cast<unsigned long long>(incoming.load() - incoming0), rtMax,
            rtMax != 0 ? " (" : "", rtNames.c_str(), rtMax != 0 ? ")" : "", modPace.lateTicks,
            modPace.maxLateMs, floorPace.lateTicks, floorPace.maxLateMs);
        Note("2", why);
    }
    collector.Stop();
    rx.join();
    close(floorFd);
    CCommProxy::getInstance().SetCommandHandler(nullptr);
    mod.Stop();
    mod.Close();
    return 0;
}

// What a hand-off to another thread costs by itself, the low-latency build's
// path without the module: the producer queues the stamp under a lock and,
// on the empty-to-non-empty step, writes an eventfd; a thread waiting in a
// 1 ms select on it (in the message task's class when allowed) wakes, reads
// it and sends. Beside a thread calling sendto directly, as for the builds.
int HandoffRun(int rate, int seconds) {
    suite::CUdpSink handSink;
    suite::CUdpSink floorSink;
    const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int handFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int floorFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in handTo = handSink.Address();
    const sockaddr_in floorTo = floorSink.Address();
    std::mutex mtx;
    std::deque<Stamp> pending;  // guarded by mtx
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        sched_param sp{};
        sp.sched_priority = 60;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // where allowed
        char buf[kPayload];
        std::memset(buf, 0x5a, sizeof(buf));
        while (!stop.load()) {
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(efd, &rd);
            timeval tv{0, 1000};
            select(efd + 1, &rd, nullptr, nullptr, &tv);
            eventfd_t v = 0;
            eventfd_read(efd, &v);
            for (;;) {
                Stamp st{};
                {
                    std::lock_guard<std::mutex> lock(mtx);
                    if (pending.empty()) {
                        break;
                    }
                    st = pending.front();
                    pending.pop_front();
                }
                std::memcpy(buf, &st, sizeof(st));
                sendto(handFd, buf, sizeof(buf), 0, reinterpret_cast<const sockaddr*>(&handTo),
                       sizeof(handTo));
            }
        }
    });
    CLatencyCollector collector({&handSink, &floorSink});
    std::thread rx([&collector] { collector.Run(); });
    const uint32_t count = static_cast<uint32_t>(rate * seconds);
    collector.Begin(count);
    usleep(100000);
    const uint64_t start = MonoNs() + 20000000u;
    std::thread floorThread([&] {
        char buf[kPayload];
        std::memset(buf, 0x5a, sizeof(buf));
        Paced(start, rate, count, [&](uint32_t seq) {
            const Stamp st{kMagic, seq, MonoNs()};
            std::memcpy(buf, &st, sizeof(st));
            sendto(floorFd, buf, sizeof(buf), 0, reinterpret_cast<const sockaddr*>(&floorTo),
                   sizeof(floorTo));
        });
    });
    Paced(start, rate, count, [&](uint32_t seq) {
        const Stamp st{kMagic, seq, MonoNs()};
        bool wasEmpty = false;
        {
            std::lock_guard<std::mutex> lock(mtx);
            wasEmpty = pending.empty();
            pending.push_back(st);
        }
        if (wasEmpty) {
            eventfd_write(efd, 1);
        }
    });
    floorThread.join();
    usleep(300000);  // stragglers
    stop.store(true);
    sender.join();
    collector.Stop();
    rx.join();
    const std::vector<double> lh = Sorted(collector.Latencies(0));
    const std::vector<double> lf = Sorted(collector.Latencies(1));
    const std::string at = " @" + std::to_string(rate) + "/s, eventfd hand-off to a waiting thread";
    Row("2", "latency p50" + at, suite::Percentile(lh, 50), "us", "sendto thread",
        suite::Percentile(lf, 50));
    Row("2", "latency p99" + at, suite::Percentile(lh, 99), "us", "sendto thread",
        suite::Percentile(lf, 99));
    close(efd);
    close(handFd);
    close(floorFd);
    return 0;
}

int Latency(int seconds) {
    int rc = 0;
    // Builds alternate within each rate, so both meet the same machine load;
    // with the low-latency build, the bare hand-off follows as its floor.
    for (int rate : {100, 500, 1000}) {
        for (const Build& build : g_builds) {
            rc |= LatencyRun(build, rate, seconds);
        }
        if (g_builds.size() > 1) {
            rc |= HandoffRun(rate, seconds);
        }
    }
    return rc;
}

// ---- scheduled transmission -----------------------------------------------------

// The host's trigger source, wrapped so that the suite sees which trigger the
// engine served: in a pass that answers, the engine reads the trigger count,
// then the image time, waits, queues the answer and reads the count again; a
// count read right after an image-time read therefore marks one queued
// answer, served for that image time.
//
// Threads: the engine's message task and the driving thread call the getters;
// only calls from threads other than the driver are recorded.
class CRecordingTrigger : public zerran_app::ITriggerSource {
public:
    struct Answer {
        uint64_t queuedNs;
        uint64_t imageMs;
    };

    zerran_app::CLocalTriggerSource inner;
    std::atomic<int> driverTid{0};

    int GetStringParam(const std::string& name, std::string& value) override {
        const int r = inner.GetStringParam(name, value);
        if (suite::CurrentTid() != driverTid.load() && name == "TriggerImageTime" && r == 0) {
            m_u64LastImage = std::strtoull(value.c_str(), nullptr, 10);
            m_bAfterImage = true;
        }
        return r;
    }
    int GetIntParam(const std::string& name, int& value) override {
        const int r = inner.GetIntParam(name, value);
        if (suite::CurrentTid() == driverTid.load()) {
            return r;
        }
        if (name == "TriggerCount" && m_bAfterImage) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_answers.push_back({MonoNs(), m_u64LastImage});
        }
        m_bAfterImage = false;
        return r;
    }
    std::vector<Answer> Answers() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_answers;
    }

private:
    // Message task only.
    uint64_t m_u64LastImage = 0;
    bool m_bAfterImage = false;
    std::mutex m_mtx;  // guards m_answers (message task writes, main thread reads)
    std::vector<Answer> m_answers;
};

int Scheduled(int seconds) {
    constexpr int kDelayMs = 50;
    constexpr int kPeriodMs = 50;  // 20 Hz
    suite::CUdpSink floorSink;
    auto trigger = std::make_shared<CRecordingTrigger>();
    trigger->driverTid.store(suite::CurrentTid());
    trigger->inner.SetTriggerMode(1);
    Rig rig(trigger);
    if (!rig.Start(
            {{"ScheduledTransEnable", "1"}, {"ScheduledTransTime", std::to_string(kDelayMs)}})) {
        return 1;
    }
    suite::CUdpSink& modSink = rig.modSink;
    suite::CSuiteModule& mod = rig.mod;
    CAbstractUserModule* m = mod.Module();
    zerran_app::CFrame frame(1, 1, Payload());
    uint8_t* payload = FramePayload(frame);

    // Arrival times at the module's target, in order.
    std::vector<std::pair<uint64_t, bool>> arrivals;  // time, is "NG"
    std::vector<uint64_t> floorArrivals;
    std::atomic<bool> stop{false};
    std::thread rx([&] {
        pollfd fds[2] = {{modSink.Fd(), POLLIN, 0}, {floorSink.Fd(), POLLIN, 0}};
        char buf[2048];
        while (!stop.load()) {
            if (poll(fds, 2, 50) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0) {
                    continue;
                }
                for (;;) {
                    uint64_t now = 0;
                    const int n =
                        (i == 0 ? modSink : floorSink).RecvStamped(buf, sizeof(buf), &now);
                    if (n < 0) {
                        break;
                    }
                    if (i == 0) {
                        arrivals.push_back({now, n == 2 && std::memcmp(buf, "NG", 2) == 0});
                    } else {
                        floorArrivals.push_back(now);
                    }
                }
            }
        }
    });

    // Floor: sleeps to each due moment on an absolute timer and sends.
    std::mutex dueMutex;  // guards dueQueue
    std::condition_variable dueCv;
    std::deque<uint64_t> dueQueue;  // image times (ms) still to answer
    bool dueDone = false;
    std::vector<uint64_t> floorImages;
    const int floorFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in floorTo = floorSink.Address();
    std::thread floorThread([&] {
        for (;;) {
            uint64_t image = 0;
            {
                std::unique_lock<std::mutex> lock(dueMutex);
                dueCv.wait(lock, [&] { return dueDone || !dueQueue.empty(); });
                if (dueQueue.empty()) {
                    return;
                }
                image = dueQueue.front();
                dueQueue.pop_front();
            }
            suite::SleepUntilNs((image + kDelayMs) * 1000000u);
            floorImages.push_back(image);
            sendto(floorFd, "OK", 2, 0, reinterpret_cast<const sockaddr*>(&floorTo),
                   sizeof(floorTo));
        }
    });

    const int triggers = seconds * 1000 / kPeriodMs;
    int dropped = 0;
    const uint64_t start = MonoNs() + 100000000u;
    for (int k = 0; k < triggers; ++k) {
        suite::SleepUntilNs(start + static_cast<uint64_t>(k) * kPeriodMs * 1000000u);
        const int count = trigger->inner.Trigger();
        {
            std::lock_guard<std::mutex> lock(dueMutex);
            dueQueue.push_back(trigger->inner.ImageTime());
        }
        dueCv.notify_one();
        // The frame of this trigger comes out of processing 5 ms later.
        suite::SleepUntilNs(start + static_cast<uint64_t>(k) * kPeriodMs * 1000000u + 5000000u);
        frame.SetCounters(count, count);
        const Stamp st{kMagic, static_cast<uint32_t>(count), MonoNs()};
        std::memcpy(payload, &st, sizeof(st));
        dropped += m->Process(frame.Input(), frame.Output()) != 0 ? 1 : 0;
    }
    usleep((kDelayMs + 200) * 1000);
    {
        std::lock_guard<std::mutex> lock(dueMutex);
        dueDone = true;
    }
    dueCv.notify_one();
    floorThread.join();
    stop.store(true);
    rx.join();
    close(floorFd);
    mod.Stop();
    const std::vector<CRecordingTrigger::Answer> answers = trigger->Answers();
    mod.Close();

    std::vector<double> late;
    std::vector<double> queuedLate;
    int early = 0;
    int ng = 0;
    const size_t n = std::min(answers.size(), arrivals.size());
    for (size_t i = 0; i < n; ++i) {
        const double dueMs = static_cast<double>(answers[i].imageMs + kDelayMs);
        const double rxMs = static_cast<double>(arrivals[i].first) / 1e6;
        late.push_back(rxMs - dueMs);
        queuedLate.push_back(static_cast<double>(answers[i].queuedNs) / 1e6 - dueMs);
        // The image time is a rounded millisecond: the true due moment may be
        // half a millisecond before the nominal one.
        if (rxMs < dueMs - 0.5) {
            ++early;
        }
        ng += arrivals[i].second ? 1 : 0;
    }
    std::vector<double> floorLate;
    for (size_t i = 0; i < std::min(floorImages.size(), floorArrivals.size()); ++i) {
        floorLate.push_back(static_cast<double>(floorArrivals[i]) / 1e6 -
                            static_cast<double>(floorImages[i] + kDelayMs));
    }
    late = Sorted(late);
    queuedLate = Sorted(queuedLate);
    floorLate = Sorted(floorLate);
    const char* fl = "timer thread";
    Row("3", "answer lateness p50", suite::Percentile(late, 50), "ms", fl,
        suite::Percentile(floorLate, 50));
    Row("3", "answer lateness p99", suite::Percentile(late, 99), "ms", fl,
        suite::Percentile(floorLate, 99));
    Row("3", "answer lateness max", late.empty() ? NAN : late.back(), "ms", fl,
        floorLate.empty() ? NAN : floorLate.back());
    Row("3", "answers sent early (must be 0)", early, "count", "", NAN);
    Row("3", "answers / triggers", static_cast<double>(arrivals.size()), "count", "triggers",
        triggers);
    char why[320];
    std::snprintf(why, sizeof(why),
                  "%d triggers at %d ms, delay %d ms: %zu answers (%d \"NG\"), %zu answers seen "
                  "queued by the engine; %d frames dropped by the send gate; lateness at the "
                  "moment the engine queued the answer p50 %.2f ms, max %.2f ms",
                  triggers, kPeriodMs, kDelayMs, arrivals.size(), ng, answers.size(), dropped,
                  suite::Percentile(queuedLate, 50), queuedLate.empty() ? NAN : queuedLate.back());
    Note("3", why);
    return 0;
}

// ---- heartbeat -------------------------------------------------------------------

int Heartbeat() {
    constexpr int kPeriods = 20;
    suite::CUdpSink floorSink;
    Rig rig;
    if (!rig.Start(
            {{"HeartbeatTranMode", "1"}, {"HeartbeatText", "alive"}, {"HeartbeatInterval", "1"}})) {
        return 1;
    }
    suite::CUdpSink& modSink = rig.modSink;
    suite::CSuiteModule& mod = rig.mod;
    const int floorFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in floorTo = floorSink.Address();
    std::thread floorThread([&] {
        const uint64_t start = MonoNs();
        for (int i = 0; i <= kPeriods; ++i) {
            suite::SleepUntilNs(start + static_cast<uint64_t>(i) * 1000000000u);
            sendto(floorFd, "alive", 5, 0, reinterpret_cast<const sockaddr*>(&floorTo),
                   sizeof(floorTo));
        }
    });
    std::vector<uint64_t> modT;
    std::vector<uint64_t> floorT;
    const uint64_t deadline = MonoNs() + (kPeriods + 8) * 1000000000ull;
    pollfd fds[2] = {{modSink.Fd(), POLLIN, 0}, {floorSink.Fd(), POLLIN, 0}};
    char buf[256];
    while ((modT.size() <= kPeriods || floorT.size() <= kPeriods) && MonoNs() < deadline) {
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            uint64_t at = 0;
            if ((fds[i].revents & POLLIN) != 0 &&
                (i == 0 ? modSink : floorSink).RecvStamped(buf, sizeof(buf), &at) >= 0) {
                (i == 0 ? modT : floorT).push_back(at);
            }
        }
    }
    floorThread.join();
    close(floorFd);
    mod.Stop();
    mod.Close();

    auto errors = [](const std::vector<uint64_t>& t) {
        std::vector<double> e;
        for (size_t i = 1; i < t.size() && i <= kPeriods; ++i) {
            e.push_back(static_cast<double>(t[i] - t[i - 1]) / 1e6 - 1000.0);
        }
        return e;
    };
    const std::vector<double> em = errors(modT);
    const std::vector<double> ef = errors(floorT);
    auto mean = [](const std::vector<double>& v) {
        double s = 0;
        for (double x : v) {
            s += x;
        }
        return v.empty() ? NAN : s / static_cast<double>(v.size());
    };
    auto absSorted = [](const std::vector<double>& v) {
        std::vector<double> a;
        for (double x : v) {
            a.push_back(std::fabs(x));
        }
        return Sorted(a);
    };
    auto drift = [](const std::vector<uint64_t>& t) {
        return t.size() > kPeriods
                   ? static_cast<double>(t[kPeriods] - t[0]) / 1e6 - 1000.0 * kPeriods
                   : NAN;
    };
    const std::vector<double> am = absSorted(em);
    const std::vector<double> af = absSorted(ef);
    const char* fl = "absolute 1 s timer thread";
    Row("4", "period error mean (" + std::to_string(em.size()) + " periods)", mean(em), "ms", fl,
        mean(ef));
    Row("4", "period abs. error p50", suite::Percentile(am, 50), "ms", fl,
        suite::Percentile(af, 50));
    Row("4", "period abs. error max", am.empty() ? NAN : am.back(), "ms", fl,
        af.empty() ? NAN : af.back());
    Row("4", "drift over 20 periods", drift(modT), "ms", fl, drift(floorT));
    return em.size() == kPeriods ? 0 : 1;
}

// ---- idle cost --------------------------------------------------------------------

// One build's two idle tasks beside bare 1 ms select loops run at the same
// time: two in the ordinary class, and, where real-time threads are allowed,
// two in the tasks' own classes (SCHED_FIFO 60 and 40), which is what the
// tasks' passes are to be compared with.
int IdleRun(const Build& build, int seconds) {
    Rig rig;
    if (!rig.Start({}, build.soPath)) {
        return 1;
    }
    suite::CSuiteModule& mod = rig.mod;
    // Floors 0, 1: ordinary class; 2: no descriptor; 3, 4: FIFO 60 and 40.
    constexpr int kFloors = 5;
    std::atomic<bool> stop{false};
    std::atomic<int> tids[kFloors] = {{0}, {0}, {0}, {0}, {0}};
    std::atomic<int> fifoOk{0};
    std::vector<std::thread> floors;
    for (int i = 0; i < kFloors; ++i) {
        floors.emplace_back([&stop, &tids, &fifoOk, i] {
            tids[i].store(suite::CurrentTid());
            if (i >= 3) {
                sched_param sp{};
                sp.sched_priority = i == 3 ? 60 : 40;
                fifoOk.fetch_add(pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0);
            }
            const int fd = i != 2 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
            while (!stop.load(std::memory_order_relaxed)) {
                fd_set rd;
                FD_ZERO(&rd);
                if (fd >= 0) {
                    FD_SET(fd, &rd);
                }
                timeval tv{0, 1000};
                select(fd + 1, fd >= 0 ? &rd : nullptr, nullptr, nullptr, &tv);
            }
            if (fd >= 0) {
                close(fd);
            }
        });
    }
    usleep(500000);  // everything settled in its loop
    const suite::ThreadUsage msg0 = suite::UsageOfThreads("udp_input_task");
    const suite::ThreadUsage hb0 = suite::UsageOfThreads("udp_out_task");
    suite::ThreadUsage fl0[kFloors];
    for (int i = 0; i < kFloors; ++i) {
        fl0[i] = suite::UsageOfThread(tids[i].load());
    }
    const uint64_t t0 = MonoNs();
    sleep(static_cast<unsigned>(seconds));
    const suite::ThreadUsage msg1 = suite::UsageOfThreads("udp_input_task");
    const suite::ThreadUsage hb1 = suite::UsageOfThreads("udp_out_task");
    suite::ThreadUsage fl1[kFloors];
    for (int i = 0; i < kFloors; ++i) {
        fl1[i] = suite::UsageOfThread(tids[i].load());
    }
    const double wall = static_cast<double>(MonoNs() - t0) / 1e9;
    stop.store(true);
    for (auto& t : floors) {
        t.join();
    }
    mod.Stop();
    mod.Close();

    // CPU milliseconds per second of wall time (= tenths of a percent).
    auto per = [wall](uint64_t a, uint64_t b) { return static_cast<double>(b - a) / 1e6 / wall; };
    auto wake = [wall](uint64_t a, uint64_t b) { return static_cast<double>(b - a) / wall; };
    const std::string sfx = build.label.empty() ? "" : ", " + build.label;
    const double tasks = per(msg0.cpuNs + hb0.cpuNs, msg1.cpuNs + hb1.cpuNs);
    const double floorCpu2 = per(fl0[0].cpuNs + fl0[1].cpuNs, fl1[0].cpuNs + fl1[1].cpuNs);
    const double floorWake2 =
        wake(fl0[0].switches + fl0[1].switches, fl1[0].switches + fl1[1].switches);
    const char* fl2 = "2 threads, 1 ms select on a socket";
    if (fifoOk.load() == 2) {
        const double rtCpu2 = per(fl0[3].cpuNs + fl0[4].cpuNs, fl1[3].cpuNs + fl1[4].cpuNs);
        Row("5", "CPU, both engine tasks" + sfx, tasks, "ms/s",
            "2 threads, 1 ms select on a socket, SCHED_FIFO 60 + 40", rtCpu2);
        Row("5", "CPU, message task" + sfx, per(msg0.cpuNs, msg1.cpuNs), "ms/s",
            "1 ms select on a socket, SCHED_FIFO 60", per(fl0[3].cpuNs, fl1[3].cpuNs));
        Row("5", "CPU, heartbeat task" + sfx, per(hb0.cpuNs, hb1.cpuNs), "ms/s",
            "1 ms select on a socket, SCHED_FIFO 40", per(fl0[4].cpuNs, fl1[4].cpuNs));
    }
    Row("5", "CPU, both engine tasks" + sfx, tasks, "ms/s", fl2 + std::string(", ordinary class"),
        floorCpu2);
    Row("5", "wake-ups, both engine tasks" + sfx,
        wake(msg0.switches + hb0.switches, msg1.switches + hb1.switches), "1/s", fl2, floorWake2);
    char why[300];
    std::snprintf(why, sizeof(why),
                  "%s%.1f s idle, engine enabled, no heartbeat; a 1 ms select on no descriptor "
                  "costs %.2f ms/s at %.0f wake-ups/s; real-time floors %s",
                  build.label.empty() ? "" : (build.label + ": ").c_str(), wall,
                  per(fl0[2].cpuNs, fl1[2].cpuNs), wake(fl0[2].switches, fl1[2].switches),
                  fifoOk.load() == 2 ? "measured" : "not allowed here");
    Note("5", why);
    if (msg1.threads != 1 || hb1.threads != 1) {
        Note("5", "engine task threads not found by name");
        return 1;
    }
    return 0;
}

int Idle(int seconds) {
    int rc = 0;
    for (const Build& build : g_builds) {
        rc |= IdleRun(build, seconds);
    }
    return rc;
}

// ---- memory -----------------------------------------------------------------------

int Memory(int frames) {
    const long rssBare = suite::RssKiB();
    Rig rig;
    if (!rig.Start()) {
        return 1;
    }
    suite::CUdpSink& modSink = rig.modSink;
    suite::CSuiteModule& mod = rig.mod;
    std::atomic<bool> stop{false};
    std::thread rx([&] {
        char buf[2048];
        while (!stop.load()) {
            modSink.Recv(buf, sizeof(buf), 50);
        }
    });
    usleep(200000);
    const long rssStarted = suite::RssKiB();
    CAbstractUserModule* m = mod.Module();
    zerran_app::CFrame frame(1, 1, Payload());
    // Warm-up: queues and tables reach their working size.
    for (int i = 0; i < 10000; ++i) {
        frame.SetCounters(i, i);
        m->Process(frame.Input(), frame.Output());
    }
    const long rssWarm = suite::RssKiB();
    const size_t heapWarm = mallinfo2().uordblks;
    const suite::AllocCounts a0 = suite::ProcessAllocs();
    const uint64_t t0 = MonoNs();
    for (int i = 0; i < frames; ++i) {
        frame.SetCounters(i, i);
        m->Process(frame.Input(), frame.Output());
    }
    const double secs = static_cast<double>(MonoNs() - t0) / 1e9;
    const suite::AllocCounts a1 = suite::ProcessAllocs();
    const long rssAfter = suite::RssKiB();
    const size_t heapAfter = mallinfo2().uordblks;
    stop.store(true);
    rx.join();
    mod.Stop();
    mod.Close();

    Row("7", "resident size, module loaded and started", static_cast<double>(rssStarted), "KiB",
        "process before loading", static_cast<double>(rssBare));
    Row("7", "resident size added by loading and starting",
        static_cast<double>(rssStarted - rssBare), "KiB", "", NAN);
    Row("7", "resident growth over " + std::to_string(frames) + " frames",
        static_cast<double>(rssAfter - rssWarm), "KiB", "none", 0.0);
    Row("7", "heap in use, growth over the same frames",
        static_cast<double>(heapAfter) - static_cast<double>(heapWarm), "bytes", "none", 0.0);
    Row("7", "heap allocations per frame, all threads",
        static_cast<double>(a1.mallocCalls - a0.mallocCalls) / frames, "count", "none", 0.0);
    char why[160];
    std::snprintf(why, sizeof(why), "%d frames in %.2f s at full speed (%.0f frames/s)", frames,
                  secs, frames / secs);
    Note("7", why);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s latency|scheduled|heartbeat|idle|memory|all <out dir> "
                     "[seconds per rate] [low-latency build's libudptrans.so]\n",
                     argv[0]);
        return 2;
    }
    const std::string item = argv[1];
    g_outDir = argv[2];
    const int seconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    if (argc > 4) {
        // The low-latency build's module, measured beside this tree's.
        g_builds.push_back(Build{"low-latency build", argv[4]});
    }
    int rc = 0;
    if (item == "latency" || item == "all") {
        rc |= Latency(seconds);
    }
    if (item == "scheduled" || item == "all") {
        rc |= Scheduled(seconds);
    }
    if (item == "heartbeat" || item == "all") {
        rc |= Heartbeat();
    }
    if (item == "idle" || item == "all") {
        rc |= Idle(seconds >= 10 ? 10 : seconds);
    }
    if (item == "memory" || item == "all") {
        rc |= Memory(1000000);
    }
    return rc;
}
