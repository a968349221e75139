// Item 5: CPU time and wake-ups of a started, enabled, idle engine (no frames,
// no heartbeat), from /proc of the threads "udp_input_task" and
// "udp_out_task". Floors, running at the same time: bare loops on a 1 ms
// select on a UDP socket of their own, two in the ordinary class and, where
// real-time threads are allowed, two in the tasks' own classes (SCHED_FIFO 60
// and 40), which is what the tasks' passes compare with; and one ordinary
// loop on no descriptor.
//
// Usage: Idle_measure <seconds> [low-latency build's .so]
//
// Threads: the main thread samples; the floors run beside it and are joined.
#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "ThreadUsage.h"

using namespace measure;

namespace {

// Floors 0, 1: ordinary class; 2: no descriptor; 3, 4: FIFO 60 and 40.
constexpr int kFloors = 5;

struct Sample {
    ts::ThreadUsage msg;
    ts::ThreadUsage hb;
    ts::ThreadUsage floors[kFloors];
};

Sample Take(const std::atomic<int> (&tids)[kFloors]) {
    Sample s;
    s.msg = ts::UsageOfThreads("udp_input_task");
    s.hb = ts::UsageOfThreads("udp_out_task");
    for (int i = 0; i < kFloors; ++i) {
        s.floors[i] = ts::UsageOfThread(tids[i].load());
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (!Enough(argc, argv, 1, "<seconds> [low-latency build's .so]")) {
        return 2;
    }
    const int seconds = IntArg(argc, argv, 1, 10);
    const Build build = BuildArg(argc, argv, 2);
    MeasureRig rig;
    if (!rig.Start({}, build.soPath)) {
        return 1;
    }
    std::atomic<bool> stop{false};
    std::atomic<int> tids[kFloors] = {{0}, {0}, {0}, {0}, {0}};
    std::atomic<int> fifoOk{0};
    std::vector<std::thread> floors;
    for (int i = 0; i < kFloors; ++i) {
        floors.emplace_back([&stop, &tids, &fifoOk, i] {
            tids[i].store(ts::CurrentTid());
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
    const Sample a = Take(tids);
    const uint64_t t0 = MonoNs();
    sleep(static_cast<unsigned>(seconds));
    const Sample b = Take(tids);
    const double wall = static_cast<double>(MonoNs() - t0) / 1e9;
    stop.store(true);
    for (auto& t : floors) {
        t.join();
    }
    const bool stopped = rig.mod.Stop();

    // CPU milliseconds per second of wall time (= tenths of a percent), and
    // wake-ups per second.
    auto cpu = [&](std::initializer_list<int> which) {
        uint64_t ns = 0;
        for (int i : which) {
            ns += b.floors[i].cpuNs - a.floors[i].cpuNs;
        }
        return static_cast<double>(ns) / 1e6 / wall;
    };
    auto wakes = [&](std::initializer_list<int> which) {
        uint64_t n = 0;
        for (int i : which) {
            n += b.floors[i].switches - a.floors[i].switches;
        }
        return static_cast<double>(n) / wall;
    };
    const double msgCpu = static_cast<double>(b.msg.cpuNs - a.msg.cpuNs) / 1e6 / wall;
    const double hbCpu = static_cast<double>(b.hb.cpuNs - a.hb.cpuNs) / 1e6 / wall;
    const double taskWakes =
        static_cast<double>(b.msg.switches + b.hb.switches - a.msg.switches - a.hb.switches) / wall;
    const std::string sfx = build.label.empty() ? "" : ", " + build.label;
    const std::string fl2 = "2 threads, 1 ms select on a socket";
    if (fifoOk.load() == 2) {
        Row("5", "CPU, both engine tasks" + sfx, msgCpu + hbCpu, "ms/s",
            fl2 + ", SCHED_FIFO 60 + 40", cpu({3, 4}));
        Row("5", "CPU, message task" + sfx, msgCpu, "ms/s",
            "1 ms select on a socket, SCHED_FIFO 60", cpu({3}));
        Row("5", "CPU, heartbeat task" + sfx, hbCpu, "ms/s",
            "1 ms select on a socket, SCHED_FIFO 40", cpu({4}));
    }
    Row("5", "CPU, both engine tasks" + sfx, msgCpu + hbCpu, "ms/s", fl2 + ", ordinary class",
        cpu({0, 1}));
    Row("5", "wake-ups, both engine tasks" + sfx, taskWakes, "1/s", fl2, wakes({0, 1}));
    char why[300];
    std::snprintf(why, sizeof(why),
                  "%s%.1f s idle, engine enabled, no heartbeat; a 1 ms select on no descriptor "
                  "costs %.2f ms/s at %.0f wake-ups/s; real-time floors %s",
                  build.label.empty() ? "" : (build.label + ": ").c_str(), wall, cpu({2}),
                  wakes({2}), fifoOk.load() == 2 ? "measured" : "not allowed here");
    Note("5", why);
    if (b.msg.threads != 1 || b.hb.threads != 1) {
        Note("5", "engine task threads not found by name");
        return 1;
    }
    return stopped ? 0 : 1;
}
