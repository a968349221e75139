// Wake-ups of the engine's tasks when a record enters an empty send queue
// (low-latency build), and what must hold in both builds: a wake-up that is
// lost or comes without a record never loses a datagram and never holds one
// back beyond the task's own 1 ms wait. Real loopback sockets, the real
// tasks. Every wake-up is lost when the endpoint's wake-up descriptor is
// turned into the write end of a pipe: the producers' writes land where the
// task's wait never looks. Spurious wake-ups come from a second thread that
// writes the descriptor with nothing queued.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EngineRig.h"
#include "Threads.h"
#include "UdpConnection.h"
#include "udptrans/udptrans_api.h"

namespace {

using namespace ts;

// Far beyond one 1 ms pass even on a loaded machine under a sanitizer, and
// far below "never": a datagram whose wake-up was lost must not wait for the
// next record to carry it out.
constexpr int kArrivalMs = 2000;

enum class Wake { kUntouched, kLost, kSpurious };

struct WakeCase {
    bool heartbeatEndpoint;  // mode 2 heartbeats instead of results
    Wake wake;
};

// Loses every wake-up of one endpoint for good: its descriptor number is
// made the (non-blocking) write end of a pipe whose read end is kept here, so
// producers still write (and count) but the task's wait never sees it
// readable. Must outlive the engine: the read end stays open while anybody
// may write.
class LostWakeUps {
public:
    LostWakeUps() = default;
    ~LostWakeUps() {
        if (m_nRead >= 0) {
            close(m_nRead);
        }
    }
    LostWakeUps(const LostWakeUps&) = delete;
    LostWakeUps& operator=(const LostWakeUps&) = delete;

    bool Take(int wakeFd) {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0 || dup2(p[1], wakeFd) != wakeFd) {
            return false;
        }
        close(p[1]);
        m_nRead = p[0];
        return true;
    }
    // Wake-ups written since Take (8 bytes each, up to the pipe's capacity).
    int Count() const {
        int bytes = 0;
        return m_nRead >= 0 && ioctl(m_nRead, FIONREAD, &bytes) == 0 ? bytes / 8 : 0;
    }

private:
    int m_nRead = -1;
};

// While alive, a thread that makes wake-ups without records: writes the
// descriptor every 100 us. Nothing in the default build, which has none.
class SpuriousWakeUps {
public:
    explicit SpuriousWakeUps(int fd) {
        if (fd < 0) {
            return;
        }
        m_thread = std::thread([this, fd] {
            while (!m_bStop.load()) {
                eventfd_write(fd, 1);
                m_nCount.fetch_add(1);
                usleep(100);
            }
        });
    }
    ~SpuriousWakeUps() {
        m_bStop.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint64_t Count() const { return m_nCount.load(); }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nCount{0};
    std::thread m_thread;
};

class WakeTable : public ::testing::TestWithParam<WakeCase> {
protected:
    static void SetUpTestSuite() { log_set_priority(kEngineLogId, 8); }  // silent

    LostWakeUps m_lost;  // before the engine: outlives it
    EngineRig m_rig;
    udp::CUdpProcess& m_engine = m_rig.engine;
};

// One record at a time, each awaited before the next is queued, so nothing
// but the task's own wait can carry it out: a lost wake-up that left it
// waiting for more traffic would fail the arrival deadline. Heartbeats with
// interval 0 are queued in every pass that finds the heartbeat queue empty,
// so each one is a fresh empty-to-non-empty step for its task.
TEST_P(WakeTable, EveryDatagramLeavesOnceInOrderWithinThePassBound) {
    const WakeCase c = GetParam();
    const int fd = c.heartbeatEndpoint ? m_engine.GetHbWakeFd() : m_engine.GetMsgWakeFd();
    EXPECT_EQ(udp::UdpConnection::kWakeOnQueue, fd >= 0);
    if (fd >= 0 && c.wake == Wake::kLost) {
        ASSERT_TRUE(m_lost.Take(fd));
    }
    if (c.heartbeatEndpoint) {
        m_rig.Heartbeat(2, 0, "HB");
    }
    ASSERT_EQ(0, m_rig.Start());
    SpuriousWakeUps spurious(c.wake == Wake::kSpurious ? fd : -1);
    if (!c.heartbeatEndpoint) {
        for (int sent = 0; sent < 200; ++sent) {
            const std::string payload = "r" + std::to_string(sent);
            m_rig.Send(payload);
            ASSERT_EQ(payload, m_rig.msgTarget.NextBytes(kArrivalMs))
                << "record " << sent << " lost, held back, out of order or duplicated";
        }
    } else {
        const std::vector<Datagram> got = m_rig.hbTarget.Collect(2000);
        ASSERT_GE(got.size(), 10u) << "heartbeats stalled";
        uint64_t longestGap = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ("HB", got[i].bytes);
            if (i > 0) {
                longestGap = std::max(longestGap, got[i].arrivalMs - got[i - 1].arrivalMs);
            }
        }
        EXPECT_LT(longestGap, static_cast<uint64_t>(kArrivalMs));
    }
    // The case really disturbed some wake-ups (the default build has none).
    if (fd >= 0 && c.wake != Wake::kUntouched) {
        EXPECT_GT(c.wake == Wake::kLost ? m_lost.Count() : spurious.Count(), 0u)
            << "no wake-up was disturbed";
    }
    m_engine.SetHeartbeatTranMode(0);
    m_rig.hbTarget.Drain();
    EXPECT_FALSE(m_rig.msgTarget.Recv(300)) << "a datagram nobody queued";
}

std::string CaseName(const ::testing::TestParamInfo<WakeCase>& param) {
    static const char* const kWake[] = {"Untouched", "Lost", "Spurious"};
    return std::string(param.param.heartbeatEndpoint ? "Heartbeat" : "Results") +
           kWake[static_cast<int>(param.param.wake)];
}

INSTANTIATE_TEST_SUITE_P(
    BothEndpoints, WakeTable,
    ::testing::Values(WakeCase{false, Wake::kUntouched}, WakeCase{false, Wake::kLost},
                      WakeCase{false, Wake::kSpurious}, WakeCase{true, Wake::kUntouched},
                      WakeCase{true, Wake::kLost}, WakeCase{true, Wake::kSpurious}),
    CaseName);

// A wake-up without a record is cleared by the task, which then goes back to
// its 1 ms wait: it neither sends anything nor spins on a descriptor left
// readable (a spinning task would take about a whole CPU second per second).
TEST_F(WakeTable, WakeUpWithNothingQueuedIsClearedAndBothTasksGoBackToWaiting) {
    ASSERT_EQ(0, m_rig.Start());
    for (int fd : {m_engine.GetMsgWakeFd(), m_engine.GetHbWakeFd()}) {
        if (fd >= 0) {
            ASSERT_EQ(0, eventfd_write(fd, 3));
        }
    }
    EXPECT_FALSE(m_rig.msgTarget.Recv(300));
    EXPECT_FALSE(m_rig.hbTarget.Recv(0));
    for (int fd : {m_engine.GetMsgWakeFd(), m_engine.GetHbWakeFd()}) {
        if (fd >= 0) {
            EXPECT_FALSE(WaitReadable(fd, 0)) << "wake-up left uncleared";
        }
    }
    const uint64_t cpu0 = ThreadCpuNs("udp_input_task") + ThreadCpuNs("udp_out_task");
    const auto t0 = std::chrono::steady_clock::now();
    usleep(1000000);
    const uint64_t cpu1 = ThreadCpuNs("udp_input_task") + ThreadCpuNs("udp_out_task");
    const auto wallNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(static_cast<double>(cpu1 - cpu0), 0.5 * static_cast<double>(wallNs))
        << "the tasks are busy while nothing is queued";

    m_rig.Send("after");
    EXPECT_EQ("after", m_rig.msgTarget.NextBytes(kArrivalMs));
}

}  // namespace
