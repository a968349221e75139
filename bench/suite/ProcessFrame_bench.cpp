// Cost of one frame through the module's Process, engine running and sending
// to a loopback receiver, beside its floor: the same frame-table look-ups,
// payload copy and locked queue step done directly. Heap allocations per frame
// come from the executable's counting allocator (AllocCount.h).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "AllocCount.h"
#include "AppRegistry.h"
#include "FrameFactory.h"
#include "SuiteHost.h"
#include "algo/AbstractUserModule.h"
#include "algo/FrameData.h"
#include "algo/ParamManage.h"
#include "algo/AppComponents.h"
#include "algo/ComObjectPool.h"

namespace {

constexpr int kModuleId = 21;
constexpr size_t kPayload = 1024;

// The module, its components and a receiver whose thread empties the socket.
// Made in main before the benchmarks run, torn down after.
struct Rig {
    suite::CSuiteModule module;
    zerran_app::CScopedComponents components;
    suite::CUdpSink sink;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread drain;
};
Rig* g_rig = nullptr;

std::vector<uint8_t> Payload() {
    std::vector<uint8_t> bytes(kPayload);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

void SetPerFrame(benchmark::State& state, const suite::AllocCounts& t0,
                 const suite::AllocCounts& p0, uint64_t rx0) {
    const double n = static_cast<double>(state.iterations());
    const suite::AllocCounts t1 = suite::ThreadAllocs();
    const suite::AllocCounts p1 = suite::ProcessAllocs();
    state.counters["allocs_caller"] = static_cast<double>(t1.mallocCalls - t0.mallocCalls) / n;
    state.counters["news_caller"] = static_cast<double>(t1.newCalls - t0.newCalls) / n;
    state.counters["allocs_all"] = static_cast<double>(p1.mallocCalls - p0.mallocCalls) / n;
    if (g_rig != nullptr) {
        state.counters["sent_share"] = static_cast<double>(g_rig->received.load() - rx0) / n;
    }
}

// Process at full speed. Arg: the module's log threshold (5 = Info lines
// filtered, 4 = Info lines written to /dev/null).
void BM_Process(benchmark::State& state) {
    g_rig->module.SetLogThreshold(kModuleId, static_cast<int>(state.range(0)));
    zerran_app::CFrame frame(1, 1, Payload());
    CAbstractUserModule* m = g_rig->module.Module();
    bench::NullStdout quiet;
    int n = 0;
    int failures = 0;
    // One frame before counting: the output record gets its two keys once.
    m->Process(frame.Input(), frame.Output());
    const suite::AllocCounts t0 = suite::ThreadAllocs();
    const suite::AllocCounts p0 = suite::ProcessAllocs();
    const uint64_t rx0 = g_rig->received.load();
    for (auto _ : state) {
        ++n;
        frame.SetCounters(n, n);
        failures += m->Process(frame.Input(), frame.Output()) != 0 ? 1 : 0;
    }
    SetPerFrame(state, t0, p0, rx0);
    state.counters["failed"] = failures;
    g_rig->module.SetLogThreshold(kModuleId, 8);
}
BENCHMARK(BM_Process)->Arg(5)->Arg(4)->ArgName("threshold");

// The record the engine copies a payload into.
struct Record {
    uint32_t nLen;
    char szData[1028];
};

// The floor: what Process cannot avoid doing for a frame. The frame-access
// calls, the two counter look-ups, the buffer look-up with its reference
// held, one zero-filled fixed record with the payload copied in, one locked
// step of a five-record queue held in fixed storage (the oldest makes room,
// so every frame really is copied in), and the two output writes.
void BM_ProcessFloor(benchmark::State& state) {
    static const std::string kFrameCnt = "SINGLE_frame_cnt";
    static const std::string kTriggerCnt = "SINGLE_trigger_cnt";
    static const std::string kBinary = "SINGLE_obj_binary";
    static const std::string kStatus = "SINGLE_status";
    static const std::string kParamStatus = "SINGLE_param_status";
    zerran_app::CFrame frame(1, 1, Payload());
    std::mutex queueMutex;  // guards ring and head (one thread here, locked as in the engine)
    static Record ring[5];
    size_t head = 0;
    int n = 0;
    const suite::AllocCounts t0 = suite::ThreadAllocs();
    const suite::AllocCounts p0 = suite::ProcessAllocs();
    for (auto _ : state) {
        ++n;
        frame.SetCounters(n, n);
        const QF_FRAME_DATA_PTR rec = QF_M_Get_Frame_ByID(frame.Input(), 0);
        const int frameCount = rec->mapInt.find(kFrameCnt)->second;
        const int triggerCount = rec->mapInt.find(kTriggerCnt)->second;
        const QF_FRAME_DATA_PTR in = QF_M_Get_Frame_ByHInput(frame.Input(), kBinary.c_str());
        const std::shared_ptr<Infra::CBaseBuffer> buf = in->mapBuffer.find(kBinary)->second;
        Record r;
        std::memset(&r, 0, sizeof(r));
        r.nLen = std::min<uint32_t>(buf->GetLength(), sizeof(r.szData));
        std::memcpy(r.szData, buf->GetData(), r.nLen);
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            ring[head] = r;
            head = (head + 1) % 5;
        }
        benchmark::DoNotOptimize(ring);
        const QF_FRAME_DATA_PTR out = QF_M_Get_Frame_ByHOutput(frame.Output());
        out->mapInt[kStatus] = 1;
        std::vector<int>& v = out->mapIntVec[kParamStatus];
        if (v.empty()) {
            v.push_back(1);
        } else {
            v[0] = 1;
        }
        benchmark::DoNotOptimize(frameCount + triggerCount);
    }
    SetPerFrame(state, t0, p0, g_rig != nullptr ? g_rig->received.load() : 0);
    state.counters.erase("sent_share");
}
BENCHMARK(BM_ProcessFloor);

// What Process does beyond the floor, step by step, with the same framework
// calls: the clock read (twice per frame: start time and UpProcessTime), the
// two component look-ups with their queries, one parameter read from the
// store, and the framework's running statistics.
void BM_StepClock(benchmark::State& state) {
    for (auto _ : state) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_StepClock);

void BM_StepComponents(benchmark::State& state) {
    static const std::string kTestImage = "EnableTestImage";
    static const std::string kTriggerMode = "TriggerMode";
    using Infra::Component::getComponentInstance;
    for (auto _ : state) {
        auto* trigger = getComponentInstance<zerran_app::ITriggerSource>();
        auto* image = getComponentInstance<zerran_app::IImageProcess>();
        int a = 0;
        int b = 0;
        image->GetIntParam(kTestImage, a);
        trigger->GetIntParam(kTriggerMode, b);
        benchmark::DoNotOptimize(a + b);
    }
}
BENCHMARK(BM_StepComponents);

void BM_StepParamRead(benchmark::State& state) {
    static const std::string kAlgoEnable = "AlgoEnable";
    CParamManage store;
    const std::string so = UDPTRANS_SO_PATH;
    if (store.LoadDescription(so.substr(0, so.rfind('/')) + "/udptrans.pdesc") != 0) {
        state.SkipWithError("no parameter description");
        return;
    }
    for (auto _ : state) {
        auto info = store.GetParamFindAndCheck(kAlgoEnable, 0);
        benchmark::DoNotOptimize(info->vecValue.front());
    }
}
BENCHMARK(BM_StepParamRead);

void BM_StepUpProcessTime(benchmark::State& state) {
    CAbstractUserModule* m = g_rig->module.Module();
    for (auto _ : state) {
        m->UpProcessTime();
    }
}
BENCHMARK(BM_StepUpProcessTime);

int SetUpRig() {
    g_rig = new Rig;
    if (g_rig->components.Result() != 0 || g_rig->module.Open(UDPTRANS_SO_PATH) != 0) {
        return -1;
    }
    // Proof that the module's own allocations reach the counting hooks:
    // CreateModule builds the module object with new inside the .so.
    const suite::AllocCounts before = suite::ThreadAllocs();
    using CreateFn = CAbstractUserModule* (*)();
    using DestroyFn = void (*)(void*, void*);
    auto create = reinterpret_cast<CreateFn>(g_rig->module.Symbol("CreateModule"));
    auto destroy = reinterpret_cast<DestroyFn>(g_rig->module.Symbol("DestroyModule"));
    CAbstractUserModule* probe = create();
    const suite::AllocCounts after = suite::ThreadAllocs();
    destroy(nullptr, probe);
    std::printf(
        "CHECK|operator new calls counted inside CreateModule of the dlopen'ed module|%llu\n",
        static_cast<unsigned long long>(after.newCalls - before.newCalls));

    const suite::KeyValues values = {{"HostPort", std::to_string(suite::FreeUdpPort())},
                                     {"HostHeartbeatPort", std::to_string(suite::FreeUdpPort())},
                                     {"TargetIp", "127.0.0.1"},
                                     {"TargetPort", std::to_string(g_rig->sink.Port())},
                                     {"TargetHeartbeatIp", "127.0.0.1"},
                                     {"TargetHeartbeatPort", std::to_string(g_rig->sink.Port())},
                                     {"AlgoEnable", "1"},
                                     {"HeartbeatTranMode", "0"},
                                     {"ScheduledTransEnable", "0"},
                                     {"ScheduledTransTime", "0"}};
    if (g_rig->module.Start(values, kModuleId) != 0) {
        std::fprintf(stderr, "module did not start\n");
        return -1;
    }
    g_rig->module.SetLogThreshold(kModuleId, 8);
    g_rig->drain = std::thread([] {
        char buf[2048];
        while (!g_rig->stop.load()) {
            if (g_rig->sink.Recv(buf, sizeof(buf), 50) >= 0) {
                g_rig->received.fetch_add(1);
            }
        }
    });
    return 0;
}

void TearDownRig() {
    if (g_rig == nullptr) {
        return;
    }
    g_rig->stop.store(true);
    if (g_rig->drain.joinable()) {
        g_rig->drain.join();
    }
    g_rig->module.Stop();
    g_rig->module.Close();
    delete g_rig;
    g_rig = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (SetUpRig() != 0) {
        TearDownRig();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TearDownRig();
    return 0;
}
