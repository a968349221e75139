// Item 7: resident size before loading, after loading and starting, after
// 10,000 warm-up frames and after a million more at full speed; the heap in
// use (mallinfo2) and the heap allocations per frame over the same frames,
// counted by the counting allocator linked into this program. One round of
// loading, starting and unloading comes first, so the pages that the host's
// own libraries touch on a first start are not counted as the module's.
//
// Usage: Memory_measure [frames]
//
// Threads: the main thread drives the module; a receiver empties the target
// socket beside it and is joined.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "AllocCounter.h"
#include "Measure.h"
#include "ProcessInfo.h"
#include "algo/AbstractUserModule.h"

using namespace measure;

int main(int argc, char** argv) {
    const int frames = IntArg(argc, argv, 1, 1000000);
    if (!MeasureRig().Start()) {
        return 1;
    }
    const long rssBare = ts::ResidentBytes() / 1024;
    MeasureRig rig;
    if (!rig.Start()) {
        return 1;
    }
    std::atomic<bool> stop{false};
    // The receiver reads into its own buffer: it must not allocate either.
    std::thread rx([&] {
        char buf[2048];
        uint64_t at = 0;
        while (!stop.load()) {
            if (ts::WaitReadable(rig.modSink.Fd(), 50)) {
                rig.modSink.RecvStamped(buf, sizeof(buf), &at);
            }
        }
    });
    usleep(200000);
    const long rssStarted = ts::ResidentBytes() / 1024;
    CAbstractUserModule* m = rig.Module();
    zerran_app::CFrame frame(1, 1, Payload());
    // Warm-up: queues and tables reach their working size.
    for (int i = 0; i < 10000; ++i) {
        frame.SetCounters(i, i);
        m->Process(frame.Input(), frame.Output());
    }
    const long rssWarm = ts::ResidentBytes() / 1024;
    const size_t heapWarm = mallinfo2().uordblks;
    const uint64_t allocs0 = ts::ProcessAllocs();
    const uint64_t t0 = MonoNs();
    for (int i = 0; i < frames; ++i) {
        frame.SetCounters(i, i);
        m->Process(frame.Input(), frame.Output());
    }
    const double secs = static_cast<double>(MonoNs() - t0) / 1e9;
    const uint64_t allocs1 = ts::ProcessAllocs();
    const long rssAfter = ts::ResidentBytes() / 1024;
    const size_t heapAfter = mallinfo2().uordblks;
    stop.store(true);
    rx.join();
    const bool stopped = rig.mod.Stop();

    Row("7", "resident size, module loaded and started", static_cast<double>(rssStarted), "KiB",
        "process before loading", static_cast<double>(rssBare));
    Row("7", "resident size added by loading and starting",
        static_cast<double>(rssStarted - rssBare), "KiB", "", NAN);
    Row("7", "resident growth over " + std::to_string(frames) + " frames",
        static_cast<double>(rssAfter - rssWarm), "KiB", "none", 0.0);
    Row("7", "heap in use, growth over the same frames",
        static_cast<double>(heapAfter) - static_cast<double>(heapWarm), "bytes", "none", 0.0);
    Row("7", "heap allocations per frame, all threads",
        static_cast<double>(allocs1 - allocs0) / frames, "count", "none", 0.0);
    char why[160];
    std::snprintf(why, sizeof(why), "%d frames in %.2f s at full speed (%.0f frames/s)", frames,
                  secs, frames / secs);
    Note("7", why);
    return stopped ? 0 : 1;
}
