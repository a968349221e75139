// Log output in direct mode: thresholds, callback delivery, time stamp, text
// limits and byte dumps. The log state is process-global, so every test
// starts with log_prt_init.
#include <gtest/gtest.h>
#include <ctype.h>
#include <time.h>

#include <atomic>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LogHelpers.h"
#include "StdoutCapture.h"
#include "udptrans/udptrans_api.h"
#include "UtLog.h"

namespace {

struct CallbackCall {
    int id, level, flag;
    std::string line;
    int length;
    bool operator==(const CallbackCall& o) const {
        return std::tie(id, level, flag, line, length) ==
               std::tie(o.id, o.level, o.flag, o.line, o.length);
    }
};
void PrintTo(const CallbackCall& c, std::ostream* os) {
    *os << "{id " << c.id << ", level " << c.level << ", flag " << c.flag << ", \"" << c.line
        << "\", length " << c.length << "}";
}
using Calls = std::vector<CallbackCall>;
std::vector<CallbackCall> g_calls;  // the callback runs on the logging (test) thread

int RecordingCallback(int id, int level, int flag, const char* line, int length) {
    g_calls.push_back({id, level, flag, std::string(line), length});
    return 0;
}

void ResetDirect() {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    g_calls.clear();
}

// Must stay the first test: before log_prt_init nothing is silenced.
TEST(LogPrintBeforeInit, EverythingIsOutputDirectly) {
    EXPECT_EQ(0, log_get_priority(299));
    ts::StdoutCapture cap;
    log_print_mod(17, 3, "early %d\n", 1);
    EXPECT_EQ("early 1\n", cap.Stop());
}

TEST(LogPrint, PerIdThresholdDecidesOutputAndOutOfRangeIdsStaySilent) {
    ResetDirect();
    unsigned char block[272];
    memset(block, 0xff, sizeof(block));
    log_set_filter(block);  // stored, without effect on output
    ts::StdoutCapture cap;
    log_print_mod(5, 6, "silenced\n");
    log_set_priority(5, 4);
    log_print_mod(5, 4, "info %s\n", "x");
    log_print_mod(5, 6, "err %d\n", 6);
    log_print_mod(5, 3, "debug\n");
    log_print_mod(6, 6, "other id\n");
    log_print_mod(5, 7, "raw\n");
    log_set_priority(300, 0);  // ids outside 0..299 cannot be set and print nothing
    log_print_mod(300, 6, "out of range\n");
    log_print_mod(-5, 6, "negative\n");
    EXPECT_EQ("info x\nerr 6\nraw\n", cap.Stop());
    EXPECT_EQ(8, log_get_priority(300));

    EXPECT_EQ(8, log_get_priority(299));
    log_set_priority(-1, 3);
    for (int id = 0; id < LOG_ID_COUNT; ++id) {
        ASSERT_EQ(3, log_get_priority(id)) << id;
    }
    log_set_priority(42, 0x104);  // only the low 8 bits count
    EXPECT_EQ(4, log_get_priority(42));
}

TEST(LogPrint, CallbackOnlyDeliveryAndReservedId) {
    ResetDirect();
    log_set_callbacker(3, RecordingCallback);
    ts::StdoutCapture cap;
    log_print_mod(298, 6, "never %d\n", 298);
    log_print_mod(297, 6, "callback only %d\n", 297);
    log_print_mod(297, 2, "below callback level\n");
    // The macros' gate agrees: a line only the callback wants is still made.
    EXPECT_FALSE(udp::LogWanted(298, 6) || udp::LogWanted(297, 2));
    EXPECT_TRUE(udp::LogWanted(297, 6));
    // An output line reaches the callback too, id 298 included, as long as
    // the callback level allows it.
    log_set_priority(298, 4);
    log_print_mod(298, 4, "both\n");
    log_print_mod(298, 2, "neither\n");
    log_set_callbacker(5, RecordingCallback);
    log_print_mod(298, 4, "output only\n");
    log_set_callbacker(0, nullptr);
    log_print_mod(297, 6, "no callback left\n");
    EXPECT_FALSE(udp::LogWanted(297, 6));
    EXPECT_EQ("both\noutput only\n", cap.Stop());
    EXPECT_EQ((Calls{{297, 6, 0, "callback only 297\n", 18}, {298, 4, 0, "both\n", 5}}), g_calls);
}

TEST(LogPrint, TimeStampFormAndCallbackFlag) {
    ResetDirect();
    log_set_priority(-1, 0);
    log_set_callbacker(0, RecordingCallback);
    log_set_timestamp_en(1);
    const time_t before = time(nullptr);
    ts::StdoutCapture cap;
    log_print_mod(9, 4, "stamped %d\n", 9);
    log_print_mod(9, 7, "raw\n");
    log_set_timestamp_en(0x100);  // low 8 bits zero: off
    log_print_mod(9, 6, "plain\n");
    const std::string out = cap.Stop();

    // "[YYYY-MM-DD hh:mm:ss:0mmm]": digits where the form has '9'.
    const std::string form = "[9999-99-99 99:99:99:0999]";
    ASSERT_GE(out.size(), form.size()) << out;
    for (size_t i = 0; i < form.size(); ++i) {
        ASSERT_TRUE(form[i] == '9' ? isdigit(static_cast<unsigned char>(out[i])) != 0
                                   : form[i] == out[i])
            << out;
    }
    EXPECT_EQ("stamped 9\nraw\nplain\n", out.substr(26));
    struct tm local = {};
    localtime_r(&before, &local);
    EXPECT_EQ(local.tm_year + 1900, std::stoi(out.substr(1, 4)));
    const int month = std::stoi(out.substr(6, 2));
    EXPECT_TRUE(month >= 1 && month <= 12) << out;
    EXPECT_LE(std::stoi(out.substr(12, 2)), 23) << out;

    // Level 7 sets the flag without a stamp.
    EXPECT_EQ(
        (Calls{{9, 4, 1, out.substr(0, 36), 36}, {9, 7, 1, "raw\n", 4}, {9, 6, 0, "plain\n", 6}}),
        g_calls);
}

TEST(LogPrint, LongTextCutAt463Characters) {
    ResetDirect();
    log_set_priority(3, 0);
    log_set_callbacker(0, RecordingCallback);
    const std::string text(600, 'x');
    ts::StdoutCapture cap;
    log_print_mod(3, 6, "%s", text.c_str());
    log_set_timestamp_en(1);
    log_print_mod(3, 6, "%s", text.c_str());
    const std::string out = cap.Stop();
    ASSERT_EQ(2u, g_calls.size());
    EXPECT_EQ(463, g_calls[0].length);
    EXPECT_EQ(text.substr(0, 463), g_calls[0].line);
    EXPECT_EQ(463 + 26, g_calls[1].length);
    EXPECT_EQ(text.substr(0, 463), g_calls[1].line.substr(26));
    EXPECT_EQ(text.substr(0, 463) + g_calls[1].line, out);
}

TEST(LogPrint, ByteDumpLayout) {
    ResetDirect();
    const unsigned char bytes[20] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                                     0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0xab, 0xcd, 0xef, 0xff};
    ts::StdoutCapture cap;
    log_print_bytes(bytes, 0, 6);  // id 299 still at threshold 8
    log_set_priority(LOG_ID_BYTES, 7);
    log_set_timestamp_en(1);  // dumps never carry a stamp
    log_print_bytes(bytes, 0, 6);
    log_print_bytes(bytes, 0, 16);
    log_print_bytes(bytes, 0, 0);
    log_print_bytes(bytes, 13, 7);
    EXPECT_EQ(
        "len:6\n01020304 0506\n"
        "len:16\n01020304 05060708 090a0b0c 0d0e0f10 \n\n"
        "len:0\n\n"
        "len:7\n0e0f10ab cdefff\n",
        cap.Stop());

    // The callback sees each piece as its own line of id 299, level 7.
    log_set_priority(LOG_ID_BYTES, 8);
    log_set_timestamp_en(0);  // the flag now comes from level 7 alone
    log_set_callbacker(7, RecordingCallback);
    log_print_bytes(bytes, 0, 5);
    Calls want;
    for (const char* piece : {"len:5\n", "01020304 ", "05", "\n"}) {
        want.push_back({LOG_ID_BYTES, 7, 1, piece, static_cast<int>(strlen(piece))});
    }
    EXPECT_EQ(want, g_calls);
}

TEST(LogPrint, MacroFillsPrefixAndSkipsSilencedIds) {
    ResetDirect();
    static constexpr char kLogFile[] = "udpMsg";
    int evaluated = 0;
    ts::StdoutCapture cap;
    UT_LOGI(4, "n=%d\n", ++evaluated);
    EXPECT_EQ(0, evaluated);  // arguments of a silenced line are not evaluated
    log_set_priority(4, 3);
    const int line = __LINE__ + 1;
    UT_LOGI(4, "n=%d\r\n", ++evaluated);
    UT_LOGE(4, "bad\r\n");
    const std::string out = cap.Stop();
    char expected[256];
    snprintf(expected, sizeof(expected),
             "| Info | 004udptrans | udpMsg      :%04d: n=1\r\n"
             "\033[31m| Err  | 004udptrans | udpMsg      :%04d: bad\r\n\033[0m",
             line, line + 1);
    EXPECT_EQ(expected, out);
}

std::atomic<int> g_racingCalls{0};
int CountingCallback(int, int, int, const char*, int) {
    g_racingCalls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

TEST(LogPrint, ConcurrentLinesStayWholeWhileSettersRace) {
    ResetDirect();
    log_set_priority(-1, 0);
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::atomic<bool> stop{false};
    ts::StdoutCapture cap;
    // Reconfigures everything but the writers' own threshold while they log.
    std::thread setter([&stop] {
        unsigned char block[272] = {};
        for (int round = 0; !stop.load(); ++round) {
            log_set_priority(200 + round % 50, round % 9);
            log_set_callbacker(round % 2 ? 3 : 8, round % 3 ? CountingCallback : nullptr);
            log_set_timestamp_en(round % 2);
            log_set_filter(round % 2 ? block : nullptr);
            (void)log_get_priority(round % 300);
        }
    });
    ts::RunWriters(kThreads, kLines, 1);
    stop.store(true);
    setter.join();
    log_set_callbacker(0, nullptr);
    // Every line arrives once, whole and in its writer's order.
    std::vector<std::vector<int>> numbers;
    ASSERT_TRUE(ts::ParseWriterLines(cap.Stop(), kThreads, &numbers));
    std::vector<int> all(kLines);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(std::vector<std::vector<int>>(kThreads, all), numbers);
}

}  // namespace
