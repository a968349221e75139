#include "Measure.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LocalImageProcess.h"
#include "LocalTriggerSource.h"
#include "algo/ComObjectPool.h"

namespace measure {

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

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return NAN;
    }
    const double pos = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = lo + 1 < sorted.size() ? lo + 1 : lo;
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
}

double Max(const std::vector<double>& sorted) {
    return sorted.empty() ? NAN : sorted.back();
}

void WriteCdf(const std::string& path, const std::vector<double>& sorted) {
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

bool Enough(int argc, char** argv, int needed, const char* usage) {
    if (argc > needed) {
        return true;
    }
    std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
    return false;
}

Build BuildArg(int argc, char** argv, int index) {
    if (index < argc) {
        return Build{"low-latency build", argv[index]};
    }
    return Build{"", ts::ModulePath()};
}

int IntArg(int argc, char** argv, int index, int fallback) {
    return index < argc ? std::max(1, std::atoi(argv[index])) : fallback;
}

Sink::Sink() {
    const int bytes = 1 << 20;
    if (setsockopt(Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0 ||
        !ts::EnableArrivalStamps(Fd())) {
        std::perror("sink socket options");
    }
}

Sender::Sender(uint16_t port) {
    m_to.sin_family = AF_INET;
    m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_to.sin_port = htons(port);
}

void Sender::Send(const void* bytes, size_t size) const {
    // A floor's datagram is lost like the module's, and counted at the sink.
    (void)!sendto(m_socket.Fd(), bytes, size, 0, reinterpret_cast<const sockaddr*>(&m_to),
                  sizeof(m_to));
}

std::vector<uint8_t> Payload() {
    return std::vector<uint8_t>(kPayload, 0x5a);
}

uint8_t* FramePayload(zerran_app::CFrame& frame) {
    auto rec = frame.InputRecord().mapInput.find("SINGLE_obj_binary")->second;
    return static_cast<uint8_t*>(rec->mapBuffer.find("SINGLE_obj_binary")->second->GetData());
}

Components::Components(std::shared_ptr<zerran_app::ITriggerSource> trigger)
    : m_trigger(trigger != nullptr ? std::move(trigger)
                                   : std::make_shared<zerran_app::CLocalTriggerSource>()),
      m_image(std::make_shared<zerran_app::CLocalImageProcess>()) {
    auto& pool = Infra::Component::CComObjectPool::getInstance();
    pool.registerComponent(zerran_app::ITriggerSource::kComponentName, m_trigger);
    pool.registerComponent(zerran_app::IImageProcess::kComponentName, m_image);
}

Components::~Components() {
    auto& pool = Infra::Component::CComObjectPool::getInstance();
    pool.unregisterComponent(zerran_app::ITriggerSource::kComponentName);
    pool.unregisterComponent(zerran_app::IImageProcess::kComponentName);
}

MeasureRig::MeasureRig(std::shared_ptr<zerran_app::ITriggerSource> trigger)
    : comps(std::move(trigger)) {}

bool MeasureRig::Start(const ts::StoreValues& extra, const std::string& soPath) {
    ts::StoreValues values =
        ts::LoopbackStore(ts::FreePort(), ts::FreePort(), modSink.Port(), hbSink.Port());
    values.insert(values.end(), extra.begin(), extra.end());
    if (!mod.Start(values, kModuleId, soPath)) {
        std::fprintf(stderr, "module did not start: %s\n", mod.Error().c_str());
        return false;
    }
    const char* level = std::getenv("SUITE_MODULE_LOG");
    mod.Loader().priority(kModuleId, level != nullptr ? std::atoi(level) : 8);
    return true;
}

PaceStats Paced(uint64_t startNs, int rate, uint32_t count,
                const std::function<void(uint32_t)>& send) {
    PaceStats stats;
    const uint64_t period = 1000000000u / static_cast<uint64_t>(rate);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t due = startNs + period * i;
        ts::SleepUntilNs(due);
        const uint64_t late = MonoNs() - due;
        stats.lateTicks += late > period ? 1 : 0;
        stats.maxLateMs = std::max(stats.maxLateMs, static_cast<double>(late) / 1e6);
        send(i);
    }
    return stats;
}

LatencyCollector::LatencyCollector(std::vector<Sink*> sinks)
    : m_sinks(std::move(sinks)),
      m_lat(m_sinks.size()),
      m_seen(m_sinks.size()),
      m_dups(m_sinks.size(), 0) {}

void LatencyCollector::Begin(uint32_t count) {
    std::lock_guard<std::mutex> lock(m_mtx);
    for (size_t i = 0; i < m_sinks.size(); ++i) {
        m_lat[i].clear();
        m_lat[i].reserve(count);
        m_seen[i].assign(count, 0);
        m_dups[i] = 0;
    }
    m_count = count;
}

void LatencyCollector::Run() {
    std::vector<pollfd> fds;
    for (Sink* s : m_sinks) {
        fds.push_back({s->Fd(), POLLIN, 0});
    }
    char buf[2048];
    while (!m_stop.load()) {
        if (poll(fds.data(), fds.size(), 50) <= 0) {
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            uint64_t at = 0;
            for (int n; (fds[i].revents & POLLIN) != 0 &&
                        (n = m_sinks[i]->RecvStamped(buf, sizeof(buf), &at)) >= 0;) {
                Take(i, buf, n, at);
            }
        }
    }
}

void LatencyCollector::Take(size_t sink, const char* buf, int n, uint64_t arrivalNs) {
    Stamp st;
    if (static_cast<size_t>(n) < sizeof(st)) {
        return;
    }
    std::memcpy(&st, buf, sizeof(st));
    std::lock_guard<std::mutex> lock(m_mtx);
    if (st.magic != kMagic || st.seq >= m_count) {
        return;
    }
    if (m_seen[sink][st.seq] != 0) {
        ++m_dups[sink];
        return;
    }
    m_seen[sink][st.seq] = 1;
    m_lat[sink].push_back(static_cast<double>(arrivalNs - st.sentNs) / 1000.0);
}

std::vector<double> LatencyCollector::Latencies(size_t sink) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_lat[sink];
}

std::vector<uint8_t> LatencyCollector::Seen(size_t sink) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_seen[sink];
}

uint64_t LatencyCollector::Dups(size_t sink) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dups[sink];
}

}  // namespace measure
