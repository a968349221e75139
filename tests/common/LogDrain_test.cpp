// Ring-buffer mode end to end: log_prt_init starts the drain thread "log_print"
// once, the drain moves lines to descriptor 1 in order, never stalls on a wrap
// marker, follows a redirection, and under concurrent writers every line is
// either written or counted as lost. The drain thread lives until the process
// ends, so ring mode has this binary to itself.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LogHelpers.h"
#include "LogState.h"
#include "StdoutCapture.h"
#include "TempDir.h"
#include "udptrans/udptrans_api.h"
#include "Wait.h"

namespace {

constexpr int kUnits = 16;  // 8 KiB of ring
std::atomic<int> g_spawned{0};
char g_threadName[32];  // written by the spawn function, read after it returns

int SpawnDetached(const char* name, void* (*entry)(void*)) {
    snprintf(g_threadName, sizeof(g_threadName), "%s", name);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, entry, nullptr) != 0) {
        return -1;
    }
    pthread_detach(thread);
    g_spawned.fetch_add(1);
    return 0;
}

// Puts the facility in ring mode with every id output; only the first call of
// the process creates the buffer and the drain, later ones are refused.
void ResetRing() {
    const int expected = g_spawned.load() == 0 ? 0 : -1;
    EXPECT_EQ(expected, log_prt_init(1, kUnits, SpawnDetached));
    EXPECT_EQ(1, g_spawned.load());
    log_set_priority(-1, 0);
}

bool WaitDrained() {
    return ts::WaitFor(
        [] {
            std::lock_guard<std::mutex> guard(udp::g_logState.lock);
            return log_buf_front().data == nullptr && !udp::LogBufFrontIsMarker();
        },
        20000);
}

TEST(LogDrain, OneDrainThreadMovesLinesInOrderAndWhole) {
    ResetRing();
    ResetRing();  // a present buffer: refused, no second drain
    EXPECT_STREQ("log_print", g_threadName);
    ts::StdoutCapture cap;
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        log_print_mod(2, 6, "line %02d\n", i);
        expected += "line " + std::string(i < 10 ? "0" : "") + std::to_string(i) + "\n";
    }
    EXPECT_TRUE(cap.WaitFor([&](const std::string& t) { return t.size() >= expected.size(); }));
    EXPECT_EQ(expected, cap.Stop());
    EXPECT_EQ(0u, log_get_loss_cnt());
}

TEST(LogDrain, MarkerInFrontDoesNotStallDrain) {
    ResetRing();
    ts::StdoutCapture cap;
    {
        // Build the state by hand on a small buffer while the drain waits.
        std::lock_guard<std::mutex> guard(udp::g_logState.lock);
        ASSERT_TRUE(log_buf_front().data == nullptr);
        log_buf_deinit();
        ASSERT_EQ(0, log_buf_init(1024));
        ASSERT_NO_FATAL_FAILURE(ts::MarkerInFrontOfEmptyRing());
    }
    log_print_mod(4, 4, "behind the marker\n");
    log_print_mod(4, 4, "and one more\n");
    const std::string want = "behind the marker\nand one more\n";
    EXPECT_TRUE(cap.WaitFor([&](const std::string& t) { return t == want; }));
    EXPECT_EQ(want, cap.Stop());
    std::lock_guard<std::mutex> guard(udp::g_logState.lock);
    log_buf_deinit();
    ASSERT_EQ(0, log_buf_init(kUnits * 512));
}

TEST(LogDrain, DrainFollowsRedirectionToFile) {
    ResetRing();
    ts::TempDir dir;
    const std::string path = dir.Path() + "/out.log";
    ASSERT_TRUE(ts::WriteFile(path, ""));
    ts::StdoutCapture cap;  // whatever is not redirected would land here
    ASSERT_EQ(0, log_redirection_output(path.c_str()));
    log_print_mod(8, 6, "to the file\n");
    const bool drained = WaitDrained();
    EXPECT_EQ(0, log_redirection_close());
    log_print_mod(8, 6, "back on stdout\n");
    EXPECT_TRUE(drained);
    EXPECT_TRUE(cap.WaitFor([](const std::string& t) { return t == "back on stdout\n"; }));
    EXPECT_EQ("back on stdout\n", cap.Stop());
    EXPECT_EQ("to the file\n", ts::ReadFile(path));
}

TEST(LogDrain, ConcurrentWritersEveryLineWrittenOrCounted) {
    ResetRing();
    constexpr int kThreads = 4;
    constexpr int kLines = 3000;
    ts::StdoutCapture cap;
    ts::RunWriters(kThreads, kLines, 10);
    ASSERT_TRUE(WaitDrained());
    const unsigned lost = log_get_loss_cnt();
    std::vector<std::vector<int>> numbers;
    ASSERT_TRUE(ts::ParseWriterLines(cap.Stop(), kThreads, &numbers));
    size_t written = 0;
    for (const auto& n : numbers) {
        EXPECT_TRUE(std::adjacent_find(n.begin(), n.end(), std::greater_equal<int>()) == n.end())
            << "a line duplicated or out of order";
        written += n.size();
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), written + lost)
        << "written " << written << " lost " << lost;
    EXPECT_GT(written, 0u);
}

}  // namespace
