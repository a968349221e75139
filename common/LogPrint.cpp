// Log output: thresholds, callback, time stamp and delivery of one line.
//
// Thread contract: every function may be called from any thread. Formatting
// uses the caller's stack only (no allocation per line); direct mode relies on
// one write() per line for atomicity, ring mode copies the line into the ring
// buffer under the log lock. Ids outside 0..299 are never output: they read
// as silenced, cannot be configured and their lines are dropped.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "LogState.h"
#include "UtLog.h"

namespace udp {

LogState g_logState;

namespace {

constexpr int kLevelRaw = 7;
constexpr size_t kStampSize = 48;
constexpr size_t kTextSize = 464;
constexpr size_t kLineSize = 512;

bool IdInRange(int id) {
    return id >= 0 && id < LOG_ID_COUNT;
}

// Decides where a line of this id and level goes. Returns false when it goes
// nowhere; *toOutput tells output (plus callback) from callback only.
bool Deliverable(int id, int level, bool* toOutput) {
    if (!IdInRange(id)) {
        return false;
    }
    LogState& st = g_logState;
    const unsigned threshold = st.priority[id].load(std::memory_order_relaxed);
    if (threshold <= static_cast<unsigned>(level)) {
        *toOutput = true;
        return true;
    }
    *toOutput = false;
    // 298 is reserved for lines that must never reach the callback unless
    // they are also output.
    return st.callbackLevel.load(std::memory_order_relaxed) <= static_cast<unsigned>(level) &&
           id != LOG_ID_NO_CALLBACK && st.callback.load(std::memory_order_relaxed) != nullptr;
}

int FormatStamp(char* stamp) {
    time_t seconds = time(nullptr);
    struct timeval now = {};
    gettimeofday(&now, nullptr);
    struct tm local = {};
    localtime_r(&seconds, &local);
    return snprintf(stamp, kStampSize, "[%.4u-%.2u-%.2u %.2u:%.2u:%.2u:%.4ld]",
                    static_cast<unsigned>(local.tm_year + 1900),
                    static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                    static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                    static_cast<unsigned>(local.tm_sec), static_cast<long>(now.tv_usec / 1000));
}

}  // namespace

bool LogWanted(int id, int level) noexcept {
    bool toOutput = false;
    return Deliverable(id, level, &toOutput);
}

}  // namespace udp

using udp::g_logState;

void log_print_mod(int id, int level, const char* format, ...) {
    bool toOutput = false;
    if (!udp::Deliverable(id, level, &toOutput)) {
        return;
    }
    udp::LogState& st = g_logState;
    const bool stampOn = st.timestampOn.load(std::memory_order_relaxed) != 0;

    char stamp[udp::kStampSize] = {};
    if (level != udp::kLevelRaw && stampOn) {
        (void)udp::FormatStamp(stamp);
    }

    char text[udp::kTextSize] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        // Longer text is cut at 463 characters; the stamp still fits beside it.
        (void)vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }

    char line[udp::kLineSize] = {};
    int length = snprintf(line, sizeof(line), "%s%s", stamp, text);
    if (length < 0) {
        length = 0;
    }

    // Read once: a concurrent log_set_callbacker(…, nullptr) must not leave
    // us calling a null pointer.
    const log_callback_fn callback = st.callback.load(std::memory_order_relaxed);
    if (callback != nullptr &&
        st.callbackLevel.load(std::memory_order_relaxed) <= static_cast<unsigned>(level)) {
        const int flag = (level == udp::kLevelRaw || stampOn) ? 1 : 0;
        (void)callback(id, level, flag, line, length);
    }
    if (!toOutput) {
        return;
    }

    if (st.mode.load(std::memory_order_relaxed) == 0) {
        // One write per line keeps lines of concurrent threads whole without
        // a lock; a failed write has nowhere to be reported.
        const ssize_t written = write(STDOUT_FILENO, line, static_cast<size_t>(length));
        (void)written;
        return;
    }

    log_buf_item item = {static_cast<uint16_t>(length), line};
    std::lock_guard<std::mutex> guard(st.lock);
    if (log_buf_push_back(item) != 0) {
        st.lossCount.fetch_add(1, std::memory_order_relaxed);
    }
}

void log_print_bytes(const unsigned char* buffer, int offset, unsigned int length) {
    log_print_mod(LOG_ID_BYTES, udp::kLevelRaw, "len:%d\n", static_cast<int>(length));
    if (buffer != nullptr) {
        const unsigned char* p = buffer + offset;
        unsigned int done = 0;
        while (length - done >= 4) {
            log_print_mod(LOG_ID_BYTES, udp::kLevelRaw, "%02x%02x%02x%02x ", p[done], p[done + 1],
                          p[done + 2], p[done + 3]);
            done += 4;
            if (done % 16 == 0) {
                log_print_mod(LOG_ID_BYTES, udp::kLevelRaw, "\n");
            }
        }
        for (; done < length; ++done) {
            log_print_mod(LOG_ID_BYTES, udp::kLevelRaw, "%02x", p[done]);
        }
    }
    log_print_mod(LOG_ID_BYTES, udp::kLevelRaw, "\n");
}

int log_get_priority(int id) {
    if (!udp::IdInRange(id)) {
        return udp::kLogSilent;
    }
    return g_logState.priority[id].load(std::memory_order_relaxed);
}

void log_set_priority(int id, int priority) {
    const uint8_t value = static_cast<uint8_t>(priority);
    if (id < 0) {
        for (auto& entry : g_logState.priority) {
            entry.store(value, std::memory_order_relaxed);
        }
        return;
    }
    if (id < LOG_ID_COUNT) {
        g_logState.priority[id].store(value, std::memory_order_relaxed);
    }
}

void log_set_mode(int mode) {
    if (g_logState.mode.exchange(mode, std::memory_order_relaxed) != mode) {
        g_logState.lossCount.store(0, std::memory_order_relaxed);
    }
}

void log_set_callbacker(int level, log_callback_fn callback) {
    g_logState.callbackLevel.store(static_cast<uint8_t>(level), std::memory_order_relaxed);
    g_logState.callback.store(callback, std::memory_order_relaxed);
}

void log_set_filter(const void* block) {
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_logState.filterLock);
    memcpy(g_logState.filter, block, sizeof(g_logState.filter));
}

void log_set_timestamp_en(int on) {
    g_logState.timestampOn.store(static_cast<uint8_t>(on), std::memory_order_relaxed);
}

int log_prt_init(int mode, int units, log_spawn_fn spawn) {
    udp::LogState& st = g_logState;
    // The log lock is statically initialised and never re-initialised: a
    // drain thread from an earlier call may be holding it right now.
    for (auto& entry : st.priority) {
        entry.store(udp::kLogSilent, std::memory_order_relaxed);
    }
    st.savedIn.store(-1, std::memory_order_relaxed);
    st.savedOut.store(-1, std::memory_order_relaxed);
    st.savedErr.store(-1, std::memory_order_relaxed);
    st.devFd.store(-1, std::memory_order_relaxed);
    st.redirectFd.store(-1, std::memory_order_relaxed);
    st.callbackLevel.store(udp::kLogSilent, std::memory_order_relaxed);
    st.timestampOn.store(0, std::memory_order_relaxed);
    st.callback.store(nullptr, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(st.filterLock);
        memset(st.filter, 0, sizeof(st.filter));
    }
    st.lossCount.store(0, std::memory_order_relaxed);

    int result = 0;
    if (mode == 1) {
        if (spawn == nullptr) {
            result = -1;
        } else {
            // The size is units x 512 in log_buf_init's unsigned arithmetic,
            // whatever the sign of units: log_buf_init alone decides what it
            // can allocate (0 is refused there with -1).
            const unsigned size = static_cast<unsigned>(units) * 512u;
            {
                std::lock_guard<std::mutex> guard(st.lock);
                result = log_buf_init(size);
            }
            // Only a freshly created buffer gets a drain thread; a second
            // call finds the buffer (-1) and the first thread keeps working.
            if (result == 0) {
                result = spawn("log_print", log_print_task);
            }
        }
    }
    st.mode.store(mode, std::memory_order_relaxed);
    return result;
}

unsigned int log_get_loss_cnt(void) {
    return g_logState.lossCount.load(std::memory_order_relaxed);
}
