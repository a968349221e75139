// Ring-buffer mode end to end: log_prt_init starts the drain thread "log_print"
// once, the drain moves lines to descriptor 1 in order, never stalls on a wrap
// marker, follows a redirection, and under concurrent writers every line is
// either written or counted as lost. The drain thread lives until the process
// ends, so ring mode has this binary to itself.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogState.h"
#include "StdoutCapture.h"
#include "udptrans/udptrans_api.h"

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
    pthread_setname_np(thread, name);
    pthread_detach(thread);
    g_spawned.fetch_add(1);
    return 0;
}

// Resets the facility to ring mode with every id output; only the first call
// of the process creates the buffer and the drain.
void ResetRing() {
    const int first = g_spawned.load() == 0;
    EXPECT_EQ(first ? 0 : -1, log_prt_init(1, kUnits, SpawnDetached));
    log_set_priority(-1, 0);
}

// Waits until the drain has emptied the buffer.
bool WaitDrained() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> guard(udp::g_logState.lock);
            if (log_buf_front().data == nullptr && !udp::LogBufFrontIsMarker()) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(LogDrain, InitStartsOneDrainThread) {
    ResetRing();
    EXPECT_EQ(1, g_spawned.load());
    EXPECT_STREQ("log_print", g_threadName);
    // Present buffer: refused, no second drain, the first keeps working.
    EXPECT_EQ(-1, log_prt_init(1, kUnits, SpawnDetached));
    EXPECT_EQ(1, g_spawned.load());
    log_set_priority(-1, 0);
    StdoutCapture cap;
    log_print_mod(1, 4, "still drained\n");
    EXPECT_TRUE(cap.WaitFor([](const std::string& t) { return t == "still drained\n"; }));
    EXPECT_EQ("still drained\n", cap.Stop());
}

TEST(LogDrain, LinesLeaveInOrderAndWhole) {
    ResetRing();
    StdoutCapture cap;
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        log_print_mod(2, 6, "line %02d\n", i);
        char buf[32];
        snprintf(buf, sizeof(buf), "line %02d\n", i);
        expected += buf;
    }
    log_print_mod(2, 3, "silenced for id 3 only\n");
    EXPECT_TRUE(
        cap.WaitFor([&](const std::string& t) { return t.size() >= expected.size() + 23; }));
    EXPECT_EQ(expected + "silenced for id 3 only\n", cap.Stop());
    EXPECT_EQ(0u, log_get_loss_cnt());
}

TEST(LogDrain, MarkerInFrontDoesNotStallDrain) {
    ResetRing();
    StdoutCapture cap;
    auto push = [](size_t len, char fill) {
        std::string line(len, fill);
        log_buf_item item = {static_cast<uint16_t>(len), &line[0]};
        return log_buf_push_back(item);
    };
    {
        // Build the state by hand on a small buffer while the drain waits.
        std::lock_guard<std::mutex> guard(udp::g_logState.lock);
        ASSERT_TRUE(log_buf_front().data == nullptr);
        log_buf_deinit();
        ASSERT_EQ(0, log_buf_init(1024));
        for (int i = 0; i < 9; ++i) {
            push(100, 'a');
        }
        for (int i = 0; i < 8; ++i) {
            log_buf_pop_front();
        }
        push(510, 'b');
        log_buf_pop_front();
        log_buf_pop_front();
        for (int i = 0; i < 4; ++i) {
            push(100, 'c');
        }
        for (int i = 0; i < 4; ++i) {
            log_buf_pop_front();
        }
        ASSERT_EQ(-1, push(510, 'd'));
        ASSERT_TRUE(udp::LogBufFrontIsMarker());
    }
    log_print_mod(4, 4, "behind the marker\n");
    log_print_mod(4, 4, "and one more\n");
    EXPECT_TRUE(
        cap.WaitFor([](const std::string& t) { return t == "behind the marker\nand one more\n"; }));
    const std::string out = cap.Stop();
    EXPECT_EQ("behind the marker\nand one more\n", out);
    {
        std::lock_guard<std::mutex> guard(udp::g_logState.lock);
        log_buf_deinit();
        ASSERT_EQ(0, log_buf_init(kUnits * 512));
    }
}

TEST(LogDrain, DrainFollowsRedirectionToFile) {
    ResetRing();
    char dir[] = "/tmp/logdrainXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/out.log";
    { std::ofstream create(path); }
    StdoutCapture cap;  // whatever is not redirected would land here
    ASSERT_EQ(0, log_redirection_output(path.c_str()));
    log_print_mod(8, 6, "to the file\n");
    const bool drained = WaitDrained();
    EXPECT_EQ(0, log_redirection_close());
    log_print_mod(8, 6, "back on stdout\n");
    EXPECT_TRUE(drained);
    EXPECT_TRUE(cap.WaitFor([](const std::string& t) { return t == "back on stdout\n"; }));
    EXPECT_EQ("back on stdout\n", cap.Stop());
    std::stringstream file;
    file << std::ifstream(path).rdbuf();
    EXPECT_EQ("to the file\n", file.str());
    unlink(path.c_str());
    rmdir(dir);
}

TEST(LogDrain, ConcurrentWritersEveryLineWrittenOrCounted) {
    ResetRing();
    constexpr int kThreads = 4;
    constexpr int kLines = 3000;
    StdoutCapture cap;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                log_print_mod(10 + t, 4, "writer %d line %05d end\n", t, i);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    ASSERT_TRUE(WaitDrained());
    const unsigned lost = log_get_loss_cnt();
    const std::string out = cap.Stop();

    std::istringstream lines(out);
    std::string line;
    std::set<std::pair<int, int>> seen;
    std::vector<int> lastOfWriter(kThreads, -1);
    size_t written = 0;
    while (std::getline(lines, line)) {
        int t = -1;
        int i = -1;
        char tail[8] = {};
        ASSERT_EQ(3, sscanf(line.c_str(), "writer %d line %05d %3s", &t, &i, tail)) << line;
        ASSERT_STREQ("end", tail) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kLines) << line;
        ASSERT_TRUE(seen.insert({t, i}).second) << "duplicate " << line;
        ASSERT_GT(i, lastOfWriter[t]) << "out of order " << line;
        lastOfWriter[t] = i;
        ++written;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), written + lost)
        << "written " << written << " lost " << lost;
    EXPECT_GT(written, 0u);
}

}  // namespace
