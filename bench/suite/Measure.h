// What the measuring programs share: the result lines that table.py reads, the
// distributions written for gnuplot, the measured payload's stamp, a paced
// producer, a collector of stamped arrivals, and one item's module started on
// the rig of tests/support with receivers on both of its targets.
//
// Each program prints "ROW|item|figure|value|unit|floor|floor value|ratio"
// and "NOTE|item|text" lines on stdout.
//
// Threads: a MeasureRig and a Sink belong to the thread that made them (a
// sink may be read by one other thread once handed over); a LatencyCollector
// runs on its own thread and is read by the main thread under its lock.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ArrivalStamp.h"
#include "FrameFactory.h"
#include "HostedModule.h"
#include "UdpPeer.h"
#include "algo/AppComponents.h"

namespace measure {

using ts::MonoNs;

constexpr int kModuleId = 23;
constexpr uint32_t kMagic = 0x55445042u;  // marks a payload of these programs
constexpr size_t kPayload = 1024;

// Header at the start of every measured payload.
struct Stamp {
    uint32_t magic;
    uint32_t seq;
    uint64_t sentNs;
};

// One figure beside its floor (floorName empty: none).
void Row(const char* item, const std::string& figure, double value, const char* unit,
         const std::string& floorName, double floorValue);
void Note(const char* item, const std::string& text);
std::vector<double> Sorted(std::vector<double> v);
// Linear interpolation in a sorted distribution; NaN when empty.
double Percentile(const std::vector<double>& sorted, double p);
double Max(const std::vector<double>& sorted);
// Sorted values and their cumulative share, one pair per line, for gnuplot.
void WriteCdf(const std::string& path, const std::vector<double>& sorted);

// The module a program measures: this tree's build, or the low-latency
// build's shared object named on the command line.
struct Build {
    std::string label;  // "" for this tree's build, else appended to the figures
    std::string soPath;
};
// True when at least `needed` arguments follow the program's name; else
// prints "usage: <program> <usage>" and returns false.
bool Enough(int argc, char** argv, int needed, const char* usage);
// argv[index] when present (the low-latency build), else this tree's module.
Build BuildArg(int argc, char** argv, int index);
// argv[index] as a number of at least 1, else `fallback`.
int IntArg(int argc, char** argv, int index, int fallback);

// A receiver on 127.0.0.1 with the kernel's arrival stamps, the same 1 MiB
// buffer for every sink, so the module and its floor meet the same receiver.
class Sink : public ts::UdpPeer {
public:
    Sink();
    // One waiting datagram without blocking; see ts::RecvStamped.
    int RecvStamped(void* buf, int size, uint64_t* arrivalNs) {
        return ts::RecvStamped(Fd(), buf, size, arrivalNs);
    }
};

// A socket that sends to a sink on loopback, as a floor thread does.
class Sender {
public:
    explicit Sender(uint16_t port);
    void Send(const void* bytes, size_t size) const;

private:
    ts::UdpPeer m_socket;
    sockaddr_in m_to{};
};

std::vector<uint8_t> Payload();
// Where the frame's payload bytes are, to write a stamp into them.
uint8_t* FramePayload(zerran_app::CFrame& frame);

// The host application's components, registered for one item; `trigger`
// replaces the host's own trigger source.
class Components {
public:
    explicit Components(std::shared_ptr<zerran_app::ITriggerSource> trigger);
    ~Components();
    Components(const Components&) = delete;
    Components& operator=(const Components&) = delete;

private:
    std::shared_ptr<zerran_app::ITriggerSource> m_trigger;
    std::shared_ptr<zerran_app::IImageProcess> m_image;
};

// One item's module: receivers on both targets, the components, and the
// module started on free ports with `extra` after the usual values.
struct MeasureRig {
    Sink modSink;
    Sink hbSink;
    Components comps;
    ts::HostedModule mod;

    explicit MeasureRig(std::shared_ptr<zerran_app::ITriggerSource> trigger = nullptr);
    // False (reason on stderr) when the module did not start. SUITE_MODULE_LOG
    // =<threshold> lets the module's own lines through, for finding out what
    // happened in a run (they do not disturb the rows).
    bool Start(const ts::StoreValues& extra = {}, const std::string& soPath = ts::ModulePath());
    CAbstractUserModule* Module() { return mod.Module(); }
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
                const std::function<void(uint32_t)>& send);

// Receives stamped payloads on several sinks; per sink, the latency of each
// first arrival of a sequence number and the count of duplicates.
class LatencyCollector {
public:
    explicit LatencyCollector(std::vector<Sink*> sinks);
    // Starts a round of `count` sequence numbers per sink.
    void Begin(uint32_t count);
    // The receiving loop, until Stop.
    void Run();
    void Stop() { m_stop.store(true); }
    std::vector<double> Latencies(size_t sink);  // microseconds, in arrival order
    std::vector<uint8_t> Seen(size_t sink);      // 1 per sequence number that arrived
    uint64_t Dups(size_t sink);

private:
    void Take(size_t sink, const char* buf, int n, uint64_t arrivalNs);

    std::vector<Sink*> m_sinks;
    std::atomic<bool> m_stop{false};
    std::mutex m_mtx;  // guards everything below (collector thread and main thread)
    uint32_t m_count = 0;
    std::vector<std::vector<double>> m_lat;
    std::vector<std::vector<uint8_t>> m_seen;
    std::vector<uint64_t> m_dups;
};

}  // namespace measure
