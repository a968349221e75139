// Log test helpers: numbered log lines from several writer threads at once, a
// parser that tells whole lines from garbled ones in what came out, and a ring
// driven into its one awkward state.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

#include "LogState.h"
#include "udptrans/udptrans_api.h"

namespace ts {

// Runs `threads` writers that each log `lines` numbered lines at full speed
// (writer t uses id firstId + t, level 6) and waits for them.
inline void RunWriters(int threads, int lines, int firstId) {
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, lines, firstId] {
            for (int i = 0; i < lines; ++i) {
                log_print_mod(firstId + t, 6, "writer %d line %05d end\n", t, i);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
}

// Splits `out` into each writer's line numbers, in the order they came. Fails
// on anything but whole lines (a time stamp in front is allowed).
inline ::testing::AssertionResult ParseWriterLines(const std::string& out, int threads,
                                                   std::vector<std::vector<int>>* numbers) {
    numbers->assign(static_cast<size_t>(threads), {});
    size_t pos = 0;
    for (size_t end; (end = out.find('\n', pos)) != std::string::npos; pos = end + 1) {
        std::string line = out.substr(pos, end - pos);
        line = !line.empty() && line[0] == '[' ? line.substr(26) : line;
        int t = -1;
        int i = -1;
        int used = 0;
        if (sscanf(line.c_str(), "writer %d line %05d end%n", &t, &i, &used) != 2 ||
            used != static_cast<int>(line.size()) || t < 0 || t >= threads) {
            return ::testing::AssertionFailure() << "garbled line: " << line;
        }
        (*numbers)[static_cast<size_t>(t)].push_back(i);
    }
    if (pos != out.size()) {
        return ::testing::AssertionFailure() << "unterminated tail: " << out.substr(pos);
    }
    return ::testing::AssertionSuccess();
}

// Drives a fresh ring of 1024 bytes apart until it is empty, yet a refused
// wrap leaves its marker in front: after a wrap the read offset restarts from
// 0 although the reader sits further on.
inline void MarkerInFrontOfEmptyRing() {
    std::string line(510, 'x');
    const uint16_t steps[][3] = {{100, 9, 8}, {510, 1, 2}, {100, 4, 4}};  // len, pushes, pops
    for (const auto& step : steps) {
        for (int i = 0; i < step[1]; ++i) {
            ASSERT_EQ(0, log_buf_push_back({step[0], &line[0]}));
        }
        for (int i = 0; i < step[2]; ++i) {
            log_buf_pop_front();
        }
    }
    ASSERT_EQ(nullptr, log_buf_front().data);
    ASSERT_EQ(-1, log_buf_push_back({510, &line[0]}));
    ASSERT_TRUE(udp::LogBufFrontIsMarker());
}

}  // namespace ts
