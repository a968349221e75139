// Cost of one log line: direct write, ring-buffer copy, a filtered-out line,
// the bare ring push+pop, and the clock the module reads per frame.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "BenchSupport.h"
#include "LogState.h"
#include "udptrans/udptrans_api.h"

namespace {

constexpr char kFormat[] = "| %-4s | %03d%s | %-12s:%04d: Send failed, len=%d ret=%d\r\n";

void BM_DirectLine(benchmark::State& state) {
    log_prt_init(0, 0, nullptr);
    log_set_priority(-1, 0);
    log_set_timestamp_en(static_cast<int>(state.range(0)));
    bench::NullStdout quiet;
    int i = 0;
    for (auto _ : state) {
        log_print_mod(1, 6, kFormat, "Err", 1, "udptrans", "udpMsg", 123, i, -1);
        ++i;
    }
    log_set_timestamp_en(0);
}
BENCHMARK(BM_DirectLine)->Arg(0)->Arg(1)->ArgName("stamp");

// Ring mode: the caller's cost is the copy under the log lock. The buffer
// fills within a few milliseconds at full speed, so most iterations measure
// the refusal path; both are what a burst costs the calling thread.
void BM_RingLine(benchmark::State& state) {
    static const int kInit = log_prt_init(1, 256, bench::SpawnDetached);
    (void)kInit;
    log_prt_init(1, 256, bench::SpawnDetached);  // resets thresholds; buffer stays
    log_set_priority(-1, 0);
    bench::NullStdout quiet;
    for (auto _ : state) {
        log_print_mod(1, 6, kFormat, "Err", 1, "udptrans", "udpMsg", 123, 5, -1);
    }
    state.counters["lost"] = log_get_loss_cnt();
    {
        // Discard what the drain has not written yet, so nothing reaches the
        // real stdout once it is restored.
        std::lock_guard<std::mutex> guard(udp::g_logState.lock);
        while (log_buf_front().data != nullptr || udp::LogBufFrontIsMarker()) {
            log_buf_pop_front();
        }
    }
    log_set_mode(0);
}
BENCHMARK(BM_RingLine);

void BM_FilteredLine(benchmark::State& state) {
    log_prt_init(0, 0, nullptr);
    log_set_priority(1, 7);
    for (auto _ : state) {
        log_print_mod(1, 4, kFormat, "Info", 1, "udptrans", "udpMsg", 123, 5, -1);
    }
}
BENCHMARK(BM_FilteredLine);

void BM_RingPushPop(benchmark::State& state) {
    static char line[120];
    memset(line, 'x', sizeof(line));
    std::lock_guard<std::mutex> guard(udp::g_logState.lock);  // keeps a drain out
    log_buf_deinit();
    log_buf_init(64 * 512);
    const log_buf_item item = {static_cast<uint16_t>(state.range(0)), line};
    for (auto _ : state) {
        log_buf_push_back(item);
        benchmark::DoNotOptimize(log_buf_front().data);
        log_buf_pop_front();
    }
}
BENCHMARK(BM_RingPushPop)->Arg(16)->Arg(120);

void BM_GetUpTime(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(get_up_time());
    }
}
BENCHMARK(BM_GetUpTime);

}  // namespace

BENCHMARK_MAIN();
