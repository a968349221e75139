// Item 2, the low-latency build's path without the module: what a hand-off to
// another thread costs by itself. The producer queues the stamp under a lock
// and, on the empty-to-non-empty step, writes an eventfd; a thread waiting in
// a 1 ms select on it (in the message task's class where allowed) wakes,
// reads it and sends. Beside a thread calling sendto directly, as for the
// builds.
//
// Usage: Handoff_measure <seconds> <rate>
//
// Threads: the main thread produces; the sender, the floor and the collector
// run beside it and are joined.
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Measure.h"

using namespace measure;

int main(int argc, char** argv) {
    if (!Enough(argc, argv, 2, "<seconds> <rate>")) {
        return 2;
    }
    const int seconds = IntArg(argc, argv, 1, 20);
    const int rate = IntArg(argc, argv, 2, 100);
    Sink handSink;
    Sink floorSink;
    const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::mutex mtx;
    std::deque<Stamp> pending;  // guarded by mtx
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        sched_param sp{};
        sp.sched_priority = 60;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // where allowed
        const Sender to(handSink.Port());
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
                {
                    std::lock_guard<std::mutex> lock(mtx);
                    if (pending.empty()) {
                        break;
                    }
                    std::memcpy(buf, &pending.front(), sizeof(Stamp));
                    pending.pop_front();
                }
                to.Send(buf, sizeof(buf));
            }
        }
    });
    LatencyCollector collector({&handSink, &floorSink});
    std::thread rx([&collector] { collector.Run(); });
    const uint32_t count = static_cast<uint32_t>(rate * seconds);
    collector.Begin(count);
    usleep(100000);
    const uint64_t start = MonoNs() + 20000000u;
    std::thread floorThread([&] {
        const Sender to(floorSink.Port());
        char buf[kPayload];
        std::memset(buf, 0x5a, sizeof(buf));
        Paced(start, rate, count, [&](uint32_t seq) {
            const Stamp st{kMagic, seq, MonoNs()};
            std::memcpy(buf, &st, sizeof(st));
            to.Send(buf, sizeof(buf));
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
    close(efd);

    const std::vector<double> lh = Sorted(collector.Latencies(0));
    const std::vector<double> lf = Sorted(collector.Latencies(1));
    const std::string at = " @" + std::to_string(rate) + "/s, eventfd hand-off to a waiting thread";
    for (int p : {50, 99}) {
        Row("2", "latency p" + std::to_string(p) + at, Percentile(lh, p), "us", "sendto thread",
            Percentile(lf, p));
    }
    return 0;
}
