// udptrans-monitor's receiving path, whole and in-process: CMonitor on its own
// thread, as in the program, reading from a loopback socket, classifying,
// counting, printing every line (text or JSON, to /dev/null) and writing the
// capture file, while this thread plays a camera.
//
//   BM_Paced      10,000 datagrams per second for one second, the rate the
//                 monitor must keep up with: counters lost (sent but not
//                 counted) and kernel_drops (the socket's own drop counter)
//                 must be 0; monitor_cpu_pct is the receiving thread's CPU
//                 time over that second.
//   BM_Drain      how fast it empties a socket holding 5,000 datagrams:
//                 items_per_second is the ceiling of the path, and
//                 allocs_per_datagram the heap allocations each datagram
//                 costs (the difference between a run of 2N and one of N).
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "AllocCounter.h"
#include "Monitor.h"

namespace {

enum Output : int64_t { kText = 0, kJson = 1, kJsonPcap = 2 };

constexpr int kPacedRate = 10000;
constexpr int kDrainCount = 5000;

// One camera-like payload mix, made before any timing: results of 24 to 64
// bytes, every 50th an "NG".
std::vector<std::string> Payloads(int count) {
    std::vector<std::string> payloads;
    for (int i = 0; i < count; ++i) {
        payloads.push_back(i % 50 == 49 ? std::string("NG")
                                        : "result frame=" + std::to_string(i) +
                                              std::string(static_cast<size_t>(i % 40), 'x'));
    }
    return payloads;
}

struct Camera {
    Camera() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Camera() { close(fd); }
    void Send(uint16_t port, const std::string& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        (void)!sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof(to));
    }
    int fd;
};

// A monitor on 127.0.0.1 (port chosen by the kernel) that ends after `count`
// datagrams, its lines into /dev/null.
struct Rig {
    Rig(Output output, uint64_t count) : out(std::fopen("/dev/null", "w")) {
        std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));
        monitor::MonitorOptions options;
        options.vecListen.push_back(wire::Address{INADDR_LOOPBACK, 0});
        options.bJson = output != kText;
        if (output == kJsonPcap) {
            char path[] = "/tmp/monitor-bench-XXXXXX";
            close(mkstemp(path));
            capture = path;
            options.strPcap = capture;
        }
        options.nCount = count;
        options.dDurationS = 30;  // a backstop: a lost datagram must not hang the run
        m = std::make_unique<monitor::CMonitor>(options, out);
        ok = m->Open() == 0;
        (void)!pipe(wake);
    }
    ~Rig() {
        m.reset();
        std::fclose(out);
        close(wake[0]);
        close(wake[1]);
        if (!capture.empty()) {
            unlink(capture.c_str());
        }
    }
    uint16_t Port() const { return m->Local(0).nPort; }

    FILE* out;
    char buffer[1 << 16];
    std::string capture;
    std::unique_ptr<monitor::CMonitor> m;
    bool ok = false;
    int wake[2] = {-1, -1};
};

const char* Name(Output output) {
    return output == kText ? "text" : output == kJson ? "json" : "json+pcap";
}

void BM_Paced(benchmark::State& state) {
    const Output output = static_cast<Output>(state.range(0));
    const std::vector<std::string> payloads = Payloads(kPacedRate);
    uint64_t sent = 0, received = 0, drops = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        Rig rig(output, payloads.size());
        if (!rig.ok) {
            state.SkipWithError("monitor did not open");
            return;
        }
        int status = -1;
        double cpu = 0;
        std::thread receiver([&] {
            status = rig.m->Run(rig.wake[0]);
            timespec used{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
            cpu = static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
        });
        const Camera camera;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < payloads.size(); ++i) {
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(i * 1000000 / kPacedRate));
            camera.Send(rig.Port(), payloads[i]);
        }
        // Lost datagrams never arrive: stop after a quiet second instead.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        (void)!write(rig.wake[1], "", 1);
        receiver.join();
        const wire::CStatistics figures = rig.m->Figures();
        sent += payloads.size();
        received += figures.Datagrams();
        drops += rig.m->KernelDrops();
        cpuSeconds += cpu;
        (void)status;
    }
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["lost"] = static_cast<double>(sent - received);
    state.counters["kernel_drops"] = static_cast<double>(drops);
    // The receiving thread's CPU time over the one second of sending.
    state.counters["monitor_cpu_pct"] =
        cpuSeconds * 100.0 / static_cast<double>(state.iterations());
    state.SetLabel(Name(output));
}
BENCHMARK(BM_Paced)->Arg(kText)->Arg(kJson)->Arg(kJsonPcap)->Iterations(1)->UseRealTime()->Unit(
    benchmark::kMillisecond);

// One drain of `count` datagrams already waiting; returns the heap
// allocations of the whole run and its time in seconds.
uint64_t Drain(Output output, const std::vector<std::string>& payloads, size_t count,
               double* seconds, uint64_t* lost) {
    const uint64_t before = ts::ProcessAllocs();
    Rig rig(output, count);
    const Camera camera;
    for (size_t i = 0; i < count; ++i) {
        camera.Send(rig.Port(), payloads[i % payloads.size()]);
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread receiver([&] { rig.m->Run(rig.wake[0]); });
    receiver.join();
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *lost = count - rig.m->Figures().Datagrams();
    return ts::ProcessAllocs() - before;
}

void BM_Drain(benchmark::State& state) {
    const Output output = static_cast<Output>(state.range(0));
    const std::vector<std::string> payloads = Payloads(kDrainCount);
    double perDatagram = 0;
    uint64_t lost = 0;
    for (auto _ : state) {
        double seconds = 0, unused = 0;
        uint64_t lostOnce = 0, lostTwice = 0;
        const uint64_t once = Drain(output, payloads, kDrainCount / 2, &unused, &lostOnce);
        const uint64_t twice = Drain(output, payloads, kDrainCount, &seconds, &lostTwice);
        state.SetIterationTime(seconds);
        perDatagram = static_cast<double>(twice - once) / (kDrainCount / 2);
        lost += lostOnce + lostTwice;
    }
    state.SetItemsProcessed(state.iterations() * kDrainCount);
    state.counters["allocs_per_datagram"] = perDatagram;
    state.counters["lost"] = static_cast<double>(lost);
    state.SetLabel(Name(output));
}
BENCHMARK(BM_Drain)->Arg(kText)->Arg(kJson)->Arg(kJsonPcap)->UseManualTime()->Iterations(5)->Unit(
    benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
