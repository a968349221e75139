// Ring buffer of log lines: record layout, placement, wrap and refusal, and
// FIFO integrity under random use. Single-threaded, so no lock is taken; each
// test owns a fresh buffer.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "LogState.h"
#include "udptrans/udptrans_api.h"

namespace {

class LogRing : public ::testing::Test {
protected:
    void SetUp() override { log_buf_deinit(); }
    void TearDown() override { log_buf_deinit(); }

    static int Push(const std::string& text) {
        log_buf_item item = {static_cast<uint16_t>(text.size()), const_cast<char*>(text.data())};
        return log_buf_push_back(item);
    }
    static std::string Front() {
        const log_buf_item item = log_buf_front();
        return item.data ? std::string(item.data, item.len) : std::string();
    }
    static std::string Line(size_t len, char fill) { return std::string(len, fill); }
    static const unsigned char* Header(const log_buf_item& item) {
        return reinterpret_cast<const unsigned char*>(item.data) - 4;
    }
};

TEST_F(LogRing, InitRefusesZeroSizeAndSecondBuffer) {
    EXPECT_EQ(-1, log_buf_init(0));
    EXPECT_EQ(0, log_buf_init(1024));
    EXPECT_EQ(-1, log_buf_init(1024));
    EXPECT_EQ(0, log_buf_deinit());
    EXPECT_EQ(0, log_buf_init(512));

    // No buffer at all: every push is refused, queries report nothing.
    log_buf_deinit();
    EXPECT_EQ(-1, Push("x"));
    EXPECT_EQ(nullptr, log_buf_front().data);
    EXPECT_EQ(nullptr, log_buf_back().data);
    log_buf_pop_front();  // harmless
}

TEST_F(LogRing, RecordLayoutAndEmptyPayloadRefused) {
    ASSERT_EQ(0, log_buf_init(1024));
    EXPECT_EQ(-1, Push(""));
    EXPECT_EQ(0u, log_buf_front().len);

    ASSERT_EQ(0, Push("abc"));
    const log_buf_item item = log_buf_front();
    ASSERT_EQ(3u, item.len);
    const unsigned char* hdr = Header(item);
    EXPECT_EQ(7, hdr[0]);  // record length, little-endian
    EXPECT_EQ(0, hdr[1]);
    EXPECT_EQ(1, hdr[2]);  // in use
    EXPECT_EQ(0, hdr[3]);  // line, not a wrap marker
    EXPECT_EQ(item.data, log_buf_back().data);

    const std::string big(300, 'b');
    ASSERT_EQ(0, Push(big));
    const log_buf_item back = log_buf_back();
    EXPECT_EQ(item.data + 7, back.data);  // packed back to back
    EXPECT_EQ(304 & 0xff, Header(back)[0]);
    EXPECT_EQ(304 >> 8, Header(back)[1]);

    log_buf_pop_front();
    EXPECT_EQ(0, hdr[2]);  // consumed
    EXPECT_EQ(big, Front());

    // A null data pointer stores a zero-filled payload of the given length.
    log_buf_item zeros = {4, nullptr};
    ASSERT_EQ(0, log_buf_push_back(zeros));
    EXPECT_EQ(std::string(4, '\0'), std::string(log_buf_back().data, 4));
}

TEST_F(LogRing, FullBufferRefusesTenthHundredByteLine) {
    ASSERT_EQ(0, log_buf_init(1024));
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, static_cast<char>('0' + i)))) << i;
    }
    // 936 used, 84 left before the limit, nothing freed at the start.
    EXPECT_EQ(-1, Push(Line(100, 'X')));
    EXPECT_EQ(-1, Push(Line(80, 'X')));  // record 84 must stay strictly below the 84 left
    EXPECT_EQ(Line(100, '0'), Front());
    EXPECT_EQ(Line(100, '8'), std::string(log_buf_back().data, 100));
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(Line(100, static_cast<char>('0' + i)), Front()) << i;
        log_buf_pop_front();
    }
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, SmallLineStillFitsBeforeLimit) {
    ASSERT_EQ(0, log_buf_init(1024));
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, 'a')));
    }
    ASSERT_EQ(0, Push(Line(78, 'b')));  // record 82 < 84 left
    EXPECT_EQ(-1, Push("c"));           // 2 left, no space freed at the start
}

TEST_F(LogRing, WrapPlacesLineAtStartBehindMarker) {
    ASSERT_EQ(0, log_buf_init(1024));
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, static_cast<char>('0' + i))));
    }
    const char* start = log_buf_front().data;
    log_buf_pop_front();
    log_buf_pop_front();                 // read offset 208
    ASSERT_EQ(0, Push(Line(150, 'W')));  // record 154 < 208: goes to offset 0
    EXPECT_EQ(start, log_buf_back().data);
    // The marker sits at 936 and covers the 84 bytes up to the limit.
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(start) - 4 + 936;
    EXPECT_EQ(84, marker[0]);
    EXPECT_EQ(0, marker[1]);
    EXPECT_EQ(1, marker[2]);
    EXPECT_EQ(1, marker[3]);

    // Writer trails the reader now: 208 - 154 = 54 free, a 50-byte record
    // must stay strictly below it.
    EXPECT_EQ(-1, Push(Line(50, 'n')));
    ASSERT_EQ(0, Push(Line(49, 'y')));

    for (int i = 2; i < 9; ++i) {
        ASSERT_EQ(Line(100, static_cast<char>('0' + i)), Front());
        log_buf_pop_front();
    }
    // The marker is never reported: the next front is the wrapped line.
    EXPECT_EQ(Line(150, 'W'), Front());
    EXPECT_EQ(0, marker[2]);  // consumed together with the line before it
    log_buf_pop_front();
    EXPECT_EQ(Line(49, 'y'), Front());
    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, RecordEndingInTailSendsReaderStraightToStart) {
    ASSERT_EQ(0, log_buf_init(1024));  // region end mark at 1016, limit 1020
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, 'a')));
    }
    const char* start = log_buf_front().data;
    ASSERT_EQ(0, Push(Line(78, 't')));  // ends at 1018, inside the tail
    log_buf_pop_front();
    ASSERT_EQ(0, Push(Line(50, 'w')));  // wraps behind a 2-byte marker
    EXPECT_EQ(start, log_buf_back().data);
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(start) - 4 + 1018;
    EXPECT_EQ(2, marker[0]);
    EXPECT_EQ(1, marker[3]);
    for (int i = 1; i < 9; ++i) {
        log_buf_pop_front();
    }
    EXPECT_EQ(Line(78, 't'), Front());
    log_buf_pop_front();
    // The reader jumps from the tail to the start without visiting the
    // marker, which therefore stays marked in use.
    EXPECT_EQ(Line(50, 'w'), Front());
    EXPECT_EQ(1, marker[2]);
    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, WrapRefusedWhenLineNotShorterThanFreedStart) {
    ASSERT_EQ(0, log_buf_init(1024));
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, 'a')));
    }
    log_buf_pop_front();                  // read offset 104
    EXPECT_EQ(-1, Push(Line(100, 'b')));  // record 104 is not below 104
    // The marker stays as the back record; the queued lines are untouched.
    EXPECT_EQ(nullptr, log_buf_back().data);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(Line(100, 'a'), Front());
        log_buf_pop_front();
    }
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, EmptiedBufferStartsAgainAtOffsetZero) {
    ASSERT_EQ(0, log_buf_init(1024));
    ASSERT_EQ(0, Push("first"));
    const char* start = log_buf_front().data;
    ASSERT_EQ(0, Push("second"));
    log_buf_pop_front();
    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
    EXPECT_EQ(nullptr, log_buf_back().data);
    ASSERT_EQ(0, Push("third"));
    EXPECT_EQ(start, log_buf_front().data);
    EXPECT_EQ("third", Front());

    // Reused space is cleared: a null data pointer over the old bytes gives
    // a zero payload.
    log_buf_pop_front();
    log_buf_item zeros = {5, nullptr};
    ASSERT_EQ(0, log_buf_push_back(zeros));
    EXPECT_EQ(start, log_buf_front().data);
    EXPECT_EQ(std::string(5, '\0'), Front());
}

TEST_F(LogRing, RefusedWrapOnEmptyBufferLeavesMarkerInFront) {
    ASSERT_EQ(0, log_buf_init(1024));
    // Drive the offsets apart while the buffer runs empty: after a wrap the
    // read offset restarts from 0 although the reader sits further on.
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Push(Line(100, 'a')));
    }
    for (int i = 0; i < 8; ++i) {
        log_buf_pop_front();
    }
    ASSERT_EQ(0, Push(Line(510, 'b')));  // wraps to offset 0
    log_buf_pop_front();
    log_buf_pop_front();
    ASSERT_EQ(nullptr, log_buf_front().data);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(0, Push(Line(100, 'c')));
    }
    for (int i = 0; i < 4; ++i) {
        log_buf_pop_front();
    }
    ASSERT_EQ(nullptr, log_buf_front().data);

    // Empty, yet the wrap is refused and its marker becomes front and back.
    EXPECT_EQ(-1, Push(Line(510, 'd')));
    EXPECT_TRUE(udp::LogBufFrontIsMarker());
    ASSERT_EQ(0, Push(Line(100, 'e')));
    EXPECT_EQ(nullptr, log_buf_front().data);  // the marker hides the line
    EXPECT_EQ(Line(100, 'e'), std::string(log_buf_back().data, 100));

    // Popping the marker uncovers the line behind it.
    log_buf_pop_front();
    EXPECT_FALSE(udp::LogBufFrontIsMarker());
    EXPECT_EQ(Line(100, 'e'), Front());
    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, RandomUseNeverLosesOrReordersAcceptedLines) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        const unsigned sizes[] = {600, 1024, 1536, 4096};
        ASSERT_EQ(0, log_buf_init(sizes[seed % 4]));
        const unsigned pushPercent = 30 + seed % 30;
        std::deque<std::string> model;
        for (int step = 0; step < 5000; ++step) {
            if (rng() % 100 < pushPercent) {
                std::string line(1 + rng() % (rng() % 4 == 0 ? 510 : 120), ' ');
                for (char& c : line) {
                    c = static_cast<char>('a' + rng() % 26);
                }
                if (Push(line) == 0) {
                    model.push_back(line);
                }
                continue;
            }
            if (udp::LogBufFrontIsMarker()) {
                log_buf_pop_front();  // what the drain does
            }
            if (model.empty()) {
                ASSERT_EQ(nullptr, log_buf_front().data) << "seed " << seed << " step " << step;
                continue;
            }
            ASSERT_EQ(model.front(), Front()) << "seed " << seed << " step " << step;
            log_buf_pop_front();
            model.pop_front();
        }
        log_buf_deinit();
    }
}

}  // namespace
