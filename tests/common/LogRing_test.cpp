// Ring buffer of log lines: record layout, placement, wrap and refusal, and
// FIFO integrity under random use. Single-threaded, so no lock is taken; each
// test owns a fresh buffer of 1024 bytes (limit 1020).
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "LogHelpers.h"
#include "LogState.h"
#include "udptrans/udptrans_api.h"

namespace {

class LogRing : public ::testing::Test {
protected:
    void SetUp() override {
        log_buf_deinit();
        ASSERT_EQ(0, log_buf_init(1024));
    }
    void TearDown() override { log_buf_deinit(); }

    static int Push(const std::string& text) {
        log_buf_item item = {static_cast<uint16_t>(text.size()), const_cast<char*>(text.data())};
        return log_buf_push_back(item);
    }
    // Pushes `count` lines of `len` bytes, the i-th filled with fill + i.
    static void PushLines(int count, size_t len, char fill) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(0, Push(std::string(len, static_cast<char>(fill + i)))) << i;
        }
    }
    // Pops lines first..last-1 of such a run, checking each on the way.
    static void PopLines(int first, int last, size_t len, char fill) {
        for (int i = first; i < last; ++i) {
            ASSERT_EQ(std::string(len, static_cast<char>(fill + i)), Front()) << i;
            log_buf_pop_front();
        }
    }
    static std::string Text(const log_buf_item& item) {
        return item.data ? std::string(item.data, item.len) : std::string();
    }
    static std::string Front() { return Text(log_buf_front()); }
    static std::string Back() { return Text(log_buf_back()); }
    // The record header at `offset` of the buffer, found from the first line.
    const unsigned char* Header(size_t offset) const { return m_base + offset; }
    void NoteBase() { m_base = reinterpret_cast<const unsigned char*>(log_buf_front().data) - 4; }

    const unsigned char* m_base = nullptr;
};

TEST_F(LogRing, InitRefusesZeroSizeAndSecondBufferAndNoBufferRefusesPush) {
    EXPECT_EQ(-1, log_buf_init(1024));
    EXPECT_EQ(0, log_buf_deinit());
    EXPECT_EQ(-1, log_buf_init(0));
    EXPECT_EQ(-1, Push("x"));
    EXPECT_EQ(nullptr, log_buf_front().data);
    EXPECT_EQ(nullptr, log_buf_back().data);
    log_buf_pop_front();  // harmless
}

TEST_F(LogRing, RecordLayoutAndEmptiedBufferStartsAgainAtOffsetZero) {
    EXPECT_EQ(-1, Push(""));
    EXPECT_EQ(0u, log_buf_front().len);
    ASSERT_EQ(0, Push("abc"));
    NoteBase();
    const unsigned char* hdr = Header(0);
    // Length 7 little-endian, in use, a line rather than a wrap marker.
    EXPECT_EQ(std::string("\x07\x00\x01\x00", 4), std::string(hdr, hdr + 4));
    EXPECT_EQ("abc", Back());
    const std::string big(300, 'b');
    ASSERT_EQ(0, Push(big));
    EXPECT_EQ(reinterpret_cast<const char*>(Header(11)), log_buf_back().data);  // back to back
    EXPECT_EQ(304 & 0xff, Header(7)[0]);
    EXPECT_EQ(304 >> 8, Header(7)[1]);
    log_buf_pop_front();
    EXPECT_EQ(0, hdr[2]);  // consumed
    EXPECT_EQ(big, Front());

    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
    EXPECT_EQ(nullptr, log_buf_back().data);
    // A null data pointer stores a zero-filled payload, over the old bytes.
    log_buf_item zeros = {5, nullptr};
    ASSERT_EQ(0, log_buf_push_back(zeros));
    EXPECT_EQ(reinterpret_cast<const char*>(Header(4)), log_buf_front().data);
    EXPECT_EQ(std::string(5, '\0'), Back());
}

TEST_F(LogRing, FullBufferRefusesTenthHundredByteLineButTakesASmallOne) {
    PushLines(9, 100, '0');
    // 936 used, 84 left before the limit, nothing freed at the start: a
    // record must stay strictly below what is left.
    EXPECT_EQ(-1, Push(std::string(100, 'X')));
    EXPECT_EQ(-1, Push(std::string(80, 'X')));
    ASSERT_EQ(0, Push(std::string(78, 'b')));  // record 82 < 84
    EXPECT_EQ(-1, Push("c"));                  // 2 left
    ASSERT_NO_FATAL_FAILURE(PopLines(0, 9, 100, '0'));
    EXPECT_EQ(std::string(78, 'b'), Front());
}

TEST_F(LogRing, WrapPlacesLineAtStartBehindMarkerOnlyWhenShorterThanFreedStart) {
    PushLines(9, 100, '0');
    NoteBase();
    log_buf_pop_front();                         // read offset 104
    EXPECT_EQ(-1, Push(std::string(100, 'n')));  // record 104 is not below 104
    EXPECT_EQ(nullptr, log_buf_back().data);     // the marker stays as the back record
    log_buf_pop_front();                         // read offset 208
    ASSERT_EQ(0, Push(std::string(150, 'W')));   // record 154 < 208: goes to offset 0
    EXPECT_EQ(reinterpret_cast<const char*>(Header(4)), log_buf_back().data);
    // The marker sits at 936 and covers the 84 bytes up to the limit.
    EXPECT_EQ(std::string("\x54\x00\x01\x01", 4), std::string(Header(936), Header(940)));

    // Writer trails the reader now: 208 - 154 = 54 free, a 50-byte record
    // must stay strictly below it.
    EXPECT_EQ(-1, Push(std::string(50, 'n')));
    ASSERT_EQ(0, Push(std::string(49, 'y')));
    ASSERT_NO_FATAL_FAILURE(PopLines(2, 9, 100, '0'));
    // The marker is never reported: the next front is the wrapped line.
    EXPECT_EQ(std::string(150, 'W'), Front());
    EXPECT_EQ(0, Header(936)[2]);  // consumed together with the line before it
    log_buf_pop_front();
    EXPECT_EQ(std::string(49, 'y'), Front());
    log_buf_pop_front();
    EXPECT_EQ(nullptr, log_buf_front().data);
}

TEST_F(LogRing, RecordEndingInTailSendsReaderStraightToStart) {
    PushLines(9, 100, 'a');
    NoteBase();
    ASSERT_EQ(0, Push(std::string(78, 't')));  // ends at 1018, past the end mark at 1016
    log_buf_pop_front();
    ASSERT_EQ(0, Push(std::string(50, 'w')));  // wraps behind a 2-byte marker
    EXPECT_EQ(reinterpret_cast<const char*>(Header(4)), log_buf_back().data);
    EXPECT_EQ(2, Header(1018)[0]);
    EXPECT_EQ(1, Header(1018)[3]);
    ASSERT_NO_FATAL_FAILURE(PopLines(1, 9, 100, 'a'));
    EXPECT_EQ(std::string(78, 't'), Front());
    log_buf_pop_front();
    // The reader jumps from the tail to the start without visiting the
    // marker, which therefore stays marked in use.
    EXPECT_EQ(std::string(50, 'w'), Front());
    EXPECT_EQ(1, Header(1018)[2]);
}

TEST_F(LogRing, RefusedWrapOnEmptyBufferLeavesMarkerInFront) {
    // Empty, yet the wrap is refused and its marker becomes front and back.
    ASSERT_NO_FATAL_FAILURE(ts::MarkerInFrontOfEmptyRing());
    ASSERT_EQ(0, Push(std::string(100, 'e')));
    EXPECT_EQ(nullptr, log_buf_front().data);  // the marker hides the line
    EXPECT_EQ(std::string(100, 'e'), Back());
    log_buf_pop_front();  // uncovers the line behind it
    EXPECT_FALSE(udp::LogBufFrontIsMarker());
    EXPECT_EQ(std::string(100, 'e'), Front());
}

TEST_F(LogRing, RandomUseNeverLosesOrReordersAcceptedLines) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        const unsigned sizes[] = {600, 1024, 1536, 4096};
        log_buf_deinit();
        ASSERT_EQ(0, log_buf_init(sizes[seed % 4]));
        std::deque<std::string> model;
        for (int step = 0; step < 5000; ++step) {
            if (rng() % 100 < 30 + seed % 30) {
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
            ASSERT_EQ(model.empty() ? std::string() : model.front(), Front())
                << "seed " << seed << " step " << step;
            if (!model.empty()) {
                log_buf_pop_front();
                model.pop_front();
            }
        }
    }
}

}  // namespace
