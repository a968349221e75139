// Item 3: scheduled transmission, software triggers at 20 Hz and a 50 ms
// delay, each trigger's frame processed 5 ms after it: the lateness of each
// answer at the receiver (kernel arrival stamp minus image time plus delay).
// Floor: a thread sleeping on an absolute timer to each due moment and
// sending.
//
// Usage: Scheduled_measure <seconds>
//
// Threads: the main thread triggers and drives the module; the receiver and
// the floor run beside it and are joined.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LocalTriggerSource.h"
#include "Measure.h"
#include "ThreadUsage.h"
#include "algo/AbstractUserModule.h"

using namespace measure;

namespace {

constexpr int kDelayMs = 50;
constexpr int kPeriodMs = 50;  // 20 Hz

// The host's trigger source, wrapped so that the run sees which trigger the
// engine served: in a pass that answers, the engine reads the trigger count,
// then the image time, waits, queues the answer and reads the count again; a
// count read right after an image-time read therefore marks one queued
// answer, served for that image time.
//
// Threads: the engine's message task and the driving thread call the getters;
// only calls from threads other than the driver are recorded.
class RecordingTrigger : public zerran_app::ITriggerSource {
public:
    struct Answer {
        uint64_t queuedNs;
        uint64_t imageMs;
    };

    zerran_app::CLocalTriggerSource inner;
    const int driverTid = ts::CurrentTid();

    int GetStringParam(const std::string& name, std::string& value) override {
        const int r = inner.GetStringParam(name, value);
        if (ts::CurrentTid() != driverTid && name == "TriggerImageTime" && r == 0) {
            m_lastImage = std::strtoull(value.c_str(), nullptr, 10);
            m_afterImage = true;
        }
        return r;
    }
    int GetIntParam(const std::string& name, int& value) override {
        const int r = inner.GetIntParam(name, value);
        if (ts::CurrentTid() == driverTid) {
            return r;
        }
        if (name == "TriggerCount" && m_afterImage) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_answers.push_back({MonoNs(), m_lastImage});
        }
        m_afterImage = false;
        return r;
    }
    std::vector<Answer> Answers() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_answers;
    }

private:
    // Message task only.
    uint64_t m_lastImage = 0;
    bool m_afterImage = false;
    std::mutex m_mtx;  // guards m_answers (message task writes, main thread reads)
    std::vector<Answer> m_answers;
};

// Image times handed from the driver to the floor thread.
class DueQueue {
public:
    void Push(uint64_t imageMs) {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_due.push_back(imageMs);
        }
        m_cv.notify_one();
    }
    void Close() {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_closed = true;
        }
        m_cv.notify_one();
    }
    // The next image time; false once closed and empty.
    bool Pop(uint64_t* imageMs) {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_cv.wait(lock, [this] { return m_closed || !m_due.empty(); });
        if (m_due.empty()) {
            return false;
        }
        *imageMs = m_due.front();
        m_due.pop_front();
        return true;
    }

private:
    std::mutex m_mtx;  // guards m_due and m_closed
    std::condition_variable m_cv;
    std::deque<uint64_t> m_due;
    bool m_closed = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (!Enough(argc, argv, 1, "<seconds>")) {
        return 2;
    }
    const int seconds = IntArg(argc, argv, 1, 20);
    Sink floorSink;
    auto trigger = std::make_shared<RecordingTrigger>();
    trigger->inner.SetTriggerMode(1);
    MeasureRig rig(trigger);
    if (!rig.Start(
            {{"ScheduledTransEnable", "1"}, {"ScheduledTransTime", std::to_string(kDelayMs)}})) {
        return 1;
    }
    CAbstractUserModule* m = rig.Module();
    zerran_app::CFrame frame(1, 1, Payload());
    uint8_t* payload = FramePayload(frame);

    // Arrival times at both receivers, in order.
    std::vector<std::pair<uint64_t, bool>> arrivals;  // time, is "NG"
    std::vector<uint64_t> floorArrivals;
    std::atomic<bool> stop{false};
    std::thread rx([&] {
        Sink* sinks[2] = {&rig.modSink, &floorSink};
        pollfd fds[2] = {{sinks[0]->Fd(), POLLIN, 0}, {sinks[1]->Fd(), POLLIN, 0}};
        char buf[2048];
        while (!stop.load()) {
            if (poll(fds, 2, 50) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                uint64_t at = 0;
                for (int n; (fds[i].revents & POLLIN) != 0 &&
                            (n = sinks[i]->RecvStamped(buf, sizeof(buf), &at)) >= 0;) {
                    if (i == 0) {
                        arrivals.push_back({at, n == 2 && std::memcmp(buf, "NG", 2) == 0});
                    } else {
                        floorArrivals.push_back(at);
                    }
                }
            }
        }
    });

    DueQueue due;
    std::vector<uint64_t> floorImages;
    std::thread floorThread([&] {
        const Sender to(floorSink.Port());
        for (uint64_t image = 0; due.Pop(&image);) {
            ts::SleepUntilNs((image + kDelayMs) * 1000000u);
            floorImages.push_back(image);
            to.Send("OK", 2);
        }
    });

    const int triggers = seconds * 1000 / kPeriodMs;
    int dropped = 0;
    const uint64_t start = MonoNs() + 100000000u;
    for (int k = 0; k < triggers; ++k) {
        const uint64_t tick = start + static_cast<uint64_t>(k) * kPeriodMs * 1000000u;
        ts::SleepUntilNs(tick);
        const int count = trigger->inner.Trigger();
        due.Push(trigger->inner.ImageTime());
        // The frame of this trigger comes out of processing 5 ms later.
        ts::SleepUntilNs(tick + 5000000u);
        frame.SetCounters(count, count);
        const Stamp st{kMagic, static_cast<uint32_t>(count), MonoNs()};
        std::memcpy(payload, &st, sizeof(st));
        dropped += m->Process(frame.Input(), frame.Output()) != 0 ? 1 : 0;
    }
    usleep((kDelayMs + 200) * 1000);
    due.Close();
    floorThread.join();
    stop.store(true);
    rx.join();
    const bool stopped = rig.mod.Stop();
    const std::vector<RecordingTrigger::Answer> answers = trigger->Answers();

    std::vector<double> late;
    std::vector<double> queuedLate;
    int early = 0;
    int ng = 0;
    for (size_t i = 0; i < std::min(answers.size(), arrivals.size()); ++i) {
        const double dueMs = static_cast<double>(answers[i].imageMs + kDelayMs);
        const double rxMs = static_cast<double>(arrivals[i].first) / 1e6;
        late.push_back(rxMs - dueMs);
        queuedLate.push_back(static_cast<double>(answers[i].queuedNs) / 1e6 - dueMs);
        // The image time is a rounded millisecond: the true due moment may be
        // half a millisecond before the nominal one.
        early += rxMs < dueMs - 0.5 ? 1 : 0;
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
    Row("3", "answer lateness p50", Percentile(late, 50), "ms", fl, Percentile(floorLate, 50));
    Row("3", "answer lateness p99", Percentile(late, 99), "ms", fl, Percentile(floorLate, 99));
    Row("3", "answer lateness max", Max(late), "ms", fl, Max(floorLate));
    Row("3", "answers sent early (must be 0)", early, "count", "", NAN);
    Row("3", "answers / triggers", static_cast<double>(arrivals.size()), "count", "triggers",
        triggers);
    char why[320];
    std::snprintf(why, sizeof(why),
                  "%d triggers at %d ms, delay %d ms: %zu answers (%d \"NG\"), %zu answers seen "
                  "queued by the engine; %d frames dropped by the send gate; lateness at the "
                  "moment the engine queued the answer p50 %.2f ms, max %.2f ms",
                  triggers, kPeriodMs, kDelayMs, arrivals.size(), ng, answers.size(), dropped,
                  Percentile(queuedLate, 50), Max(queuedLate));
    Note("3", why);
    return stopped ? 0 : 1;
}
