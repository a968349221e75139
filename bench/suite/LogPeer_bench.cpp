// One log line of the module's facility beside spdlog, the same text in the
// same run: written directly to /dev/null, handed to a background writer
// (the module's ring buffer, spdlog's asynchronous logger), and filtered out
// by the threshold.
//
// Both sides produce the same bytes: the module's facility with time stamps
// off, spdlog with the pattern "%v".
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "BenchSupport.h"
#include "udptrans/udptrans_api.h"

#ifdef UDPTRANS_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#endif

namespace {

constexpr int kId = 21;
constexpr char kFormat[] = "| %-4s | %03d%s | %-12s:%04d: udptrans Process start\n";
// Lines per burst in the background-writer benchmarks: well below what the
// ring holds, so each line is taken, not refused.
constexpr int kBurst = 32;
constexpr int kBursts = 60;

inline void ModuleLine(int n) {
    log_print_mod(kId, 4, kFormat, "Info", kId, "udptrans", "udptrans", n);
}

void BM_ModuleDirect(benchmark::State& state) {
    log_prt_init(0, 0, nullptr);
    log_set_priority(kId, 4);
    bench::NullStdout quiet;
    int n = 0;
    for (auto _ : state) {
        ModuleLine(++n & 1023);
    }
    log_set_priority(kId, 8);
}
BENCHMARK(BM_ModuleDirect);

// Times bursts of kBurst lines and lets the background writer catch up
// between them, outside the measured time. Reports the caller's cost per line.
template <typename Line, typename Settle>
void RunBursts(benchmark::State& state, Line line, Settle settle) {
    int n = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBurst; ++i) {
            line(++n & 1023);
        }
        const auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / kBurst);
        settle();
    }
}

void BM_ModuleRing(benchmark::State& state) {
    // The drain thread is made once per process; later calls reuse the ring.
    log_prt_init(1, 256, bench::SpawnDetached);
    log_set_mode(1);
    log_set_priority(kId, 4);
    bench::NullStdout quiet;
    const unsigned lost0 = log_get_loss_cnt();
    // The drain writes at most one line per millisecond.
    RunBursts(state, ModuleLine,
              [] { std::this_thread::sleep_for(std::chrono::milliseconds(kBurst + 8)); });
    state.counters["lost"] = log_get_loss_cnt() - lost0;
    log_set_priority(kId, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log_set_mode(0);
}
BENCHMARK(BM_ModuleRing)->UseManualTime()->Iterations(kBursts);

void BM_ModuleFiltered(benchmark::State& state) {
    log_prt_init(0, 0, nullptr);
    log_set_priority(kId, 5);
    int n = 0;
    for (auto _ : state) {
        ModuleLine(++n & 1023);
    }
    log_set_priority(kId, 8);
}
BENCHMARK(BM_ModuleFiltered);

#ifdef UDPTRANS_BENCH_SPDLOG

inline void PeerLine(spdlog::logger& log, int n) {
    log.info("| {:<4} | {:03}{} | {:<12}:{:04}: udptrans Process start", "Info", kId, "udptrans",
             "udptrans", n);
}

// spdlog's file sink: buffered stdio, so most lines cost no system call.
void BM_SpdlogSyncFile(benchmark::State& state) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null");
    spdlog::logger log("sync_file", sink);
    log.set_pattern("%v");
    int n = 0;
    for (auto _ : state) {
        PeerLine(log, ++n & 1023);
    }
    log.flush();
}
BENCHMARK(BM_SpdlogSyncFile);

// spdlog's stdout sink: one write per line, like the module's direct mode.
void BM_SpdlogSyncStdout(benchmark::State& state) {
    bench::NullStdout quiet;
    auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    spdlog::logger log("sync_stdout", sink);
    log.set_pattern("%v");
    int n = 0;
    for (auto _ : state) {
        PeerLine(log, ++n & 1023);
    }
    log.flush();
}
BENCHMARK(BM_SpdlogSyncStdout);

void BM_SpdlogAsync(benchmark::State& state) {
    bench::NullStdout quiet;
    {
        auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
        auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
        auto log = std::make_shared<spdlog::async_logger>(
            "async", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
        log->set_pattern("%v");
        RunBursts(
            state, [&log](int n) { PeerLine(*log, n); },
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(kBurst + 8)); });
        log->flush();
        state.counters["lost"] = static_cast<double>(pool->overrun_counter());
    }
}
BENCHMARK(BM_SpdlogAsync)->UseManualTime()->Iterations(kBursts);

void BM_SpdlogFiltered(benchmark::State& state) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null");
    spdlog::logger log("filtered", sink);
    log.set_pattern("%v");
    log.set_level(spdlog::level::warn);
    int n = 0;
    for (auto _ : state) {
        PeerLine(log, ++n & 1023);
    }
}
BENCHMARK(BM_SpdlogFiltered);

#endif  // UDPTRANS_BENCH_SPDLOG

}  // namespace

BENCHMARK_MAIN();
