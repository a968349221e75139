// Soak: many frames at full speed through a started module while a command
// sender chatters on its message port and a receiver takes everything at the
// target. Resident memory and open descriptors must stay flat, and every
// frame's datagram must arrive or be explained by the send queue's limit.
//
// The frame count comes from UDPTRANS_SOAK_FRAMES (default 1000000).
//
// Phase 1 (paced): producer and command sender together keep at most five
// datagrams in flight (handed to the module but not yet received), so the
// endpoint's queue of five can never refuse one: here every frame and every
// answer must arrive, exactly once and in order.
// Phase 2 (burst): frames as fast as Process takes them, no pacing. The
// engine drops what the full queue refuses without a trace, so arrivals are
// counted and the gap is reported as refusals; order and uniqueness still
// hold.
//
// Threads: the test's thread produces frames; a receiver thread reads the
// target socket; a sender thread sends commands; the proxy's thread answers
// them. They share atomics and one mutex (m_mtx) for the in-flight window.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ModuleFixture.h"
#include "ProcessInfo.h"

using namespace ts;

// Freed blocks wait in AddressSanitizer's quarantine (256 MiB by default)
// before they are reused, which a million frames would show as growth of the
// resident set. A small quarantine keeps the memory check meaningful; leaks
// themselves are LeakSanitizer's business at exit.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=4";
}
#endif

namespace {

constexpr int kWindow = 5;  // the endpoint's send-queue limit

long SoakFrames() {
    const char* text = std::getenv("UDPTRANS_SOAK_FRAMES");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? n : 1000000;
}

class Soak : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        const int big = 4 << 20;
        setsockopt(m_rx.Fd(), SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
    void TearDown() override {
        m_stop = true;
        if (m_receiver.joinable()) {
            m_receiver.join();
        }
        ModuleTest::TearDown();
    }

    // Receiver thread: frames "F<seq>" and answers "ACK CMD <n>".
    void Receive() {
        while (!m_stop) {
            const std::optional<ts::Datagram> d = m_rx.Recv(20);
            if (!d) {
                continue;
            }
            if (d->bytes.rfind('F', 0) == 0) {
                const long seq = std::strtol(d->bytes.c_str() + 1, nullptr, 10);
                if (seq <= m_lastSeq) {
                    m_outOfOrder.fetch_add(1);
                }
                m_lastSeq = seq;
                m_framesArrived.fetch_add(1);
            } else if (d->bytes.rfind("ACK CMD ", 0) == 0) {
                m_acks.fetch_add(1);
            } else {
                m_strangers.fetch_add(1);
            }
            // Through the mutex, so a producer about to wait cannot miss it.
            { std::lock_guard<std::mutex> lock(m_mtx); }
            m_cv.notify_all();
        }
    }

    long InFlight() const {
        return (m_framesSent.load() - m_framesArrived.load()) + (m_cmdsSent.load() - m_acks.load());
    }
    // Takes one slot of the window, waiting up to 5 s; false when none freed.
    bool Reserve(std::atomic<long>& counter) {
        std::unique_lock<std::mutex> lock(m_mtx);
        if (!m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return InFlight() < kWindow; })) {
            return false;
        }
        counter.fetch_add(1);
        return true;
    }

    ts::UdpPeer m_rx;  // the target; read by the receiver thread only
    std::thread m_receiver;
    std::atomic<bool> m_stop{false};
    std::mutex m_mtx;  // pairs with m_cv for the in-flight window
    std::condition_variable m_cv;
    std::atomic<long> m_framesSent{0};
    std::atomic<long> m_framesArrived{0};
    std::atomic<long> m_cmdsSent{0};
    std::atomic<long> m_acks{0};
    std::atomic<long> m_outOfOrder{0};
    std::atomic<long> m_strangers{0};
    long m_lastSeq = 0;  // receiver thread only
};

TEST_F(Soak, FramesAndCommandsAtFullSpeedLoseNothingAndLeakNothing) {
    const long total = SoakFrames();
    ASSERT_EQ(0, Start({{"TargetPort", std::to_string(m_rx.Port())}}));
    AnswerRequests("ACK ");
    m_receiver = std::thread([this] { Receive(); });

    // One frame reused throughout: its payload "F<seq>" is rewritten in place,
    // so the producer itself allocates nothing per frame.
    ts::Frame frame(1, 1, ts::Bytes("F0000000000"));
    auto record = QF_M_Get_Frame_ByHInput(frame.Input(), "SINGLE_obj_binary");
    ASSERT_TRUE(record);
    char* payload = static_cast<char*>(record->mapBuffer.at("SINGLE_obj_binary")->GetData());
    auto produce = [&](long seq) {
        char text[24];
        std::snprintf(text, sizeof(text), "F%010ld", seq % 10000000000L);
        std::memcpy(payload, text, 11);
        frame.SetCounters(static_cast<int>(seq), static_cast<int>(seq));
        return Process(frame);
    };

    // Phase 1: paced, with the command sender chattering.
    std::atomic<bool> chatter{true};
    std::atomic<long> cmdFailures{0};
    std::thread sender([&] {
        long n = 0;
        while (chatter) {
            if (!Reserve(m_cmdsSent)) {
                cmdFailures.fetch_add(1);
                break;
            }
            ts::SendDatagram(m_ep.hostPort, "CMD " + std::to_string(++n));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    const long warmup = std::max(total / 10, 2000L);
    long rssWarm = 0;
    int fdsWarm = 0;
    long stalls = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long seq = 1; seq <= total; ++seq) {
        if (!Reserve(m_framesSent)) {
            ++stalls;
            break;
        }
        ASSERT_EQ(0, produce(seq));
        if (seq == warmup) {
            rssWarm = ResidentBytes();
            fdsWarm = OpenFdCount();
        }
    }
    chatter = false;
    sender.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(ts::WaitFor(
        [&] { return m_framesArrived.load() == m_framesSent.load() && m_acks == m_cmdsSent; }));
    const long rssEnd = ResidentBytes();
    const int fdsEnd = OpenFdCount();

    EXPECT_EQ(0, stalls) << "the window never freed: a datagram in flight was lost";
    EXPECT_EQ(0, cmdFailures.load());
    EXPECT_EQ(total, m_framesArrived.load()) << "paced frames lost";
    EXPECT_EQ(m_cmdsSent.load(), m_acks.load()) << "answers lost";
    EXPECT_EQ(0, m_outOfOrder.load());
    EXPECT_EQ(0, m_strangers.load());
    // Flat: a few MiB of noise at most (allocator arenas, socket buffers); a
    // leak of even 8 bytes per frame would show at a million frames.
    const long growth = rssEnd - rssWarm;
    EXPECT_LT(growth, 6L << 20) << "resident memory grew by " << growth << " bytes";
    EXPECT_LE(fdsEnd, fdsWarm) << "descriptors leaked";
    std::printf(
        "paced: %ld frames + %ld commands in %.1f s (%.0f frames/s); RSS %ld -> %ld KiB, "
        "fds %d -> %d\n",
        total, m_acks.load(), seconds, total / seconds, rssWarm >> 10, rssEnd >> 10, fdsWarm,
        fdsEnd);

    // Phase 2: a burst without pacing. Whatever the queue of five refuses is
    // dropped silently by the engine; the gap is those refusals.
    const long burst = std::min(total / 10, 20000L);
    const long arrivedBefore = m_framesArrived.load();
    long notReported = 0;
    for (long seq = total + 1; seq <= total + burst; ++seq) {
        ASSERT_EQ(0, produce(seq));
        // A frame the full queue refuses is reported sent all the same.
        notReported += frame.Status() == 1 ? 0 : 1;
    }
    EXPECT_EQ(0, notReported) << "frames without status 1";
    // Settled when nothing more arrives for half a second.
    long last = -1;
    while (last != m_framesArrived.load()) {
        last = m_framesArrived.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const long arrived = m_framesArrived.load() - arrivedBefore;
    EXPECT_LE(arrived, burst);
    EXPECT_GE(arrived, std::min<long>(burst, kWindow)) << "not even a queue's worth arrived";
    EXPECT_EQ(0, m_outOfOrder.load()) << "a refusal must drop, never reorder or repeat";
    std::printf("burst: %ld frames, %ld arrived, %ld refused by the full queue (%.1f%%)\n", burst,
                arrived, burst - arrived, 100.0 * (burst - arrived) / std::max(burst, 1L));
}

}  // namespace
