// Process-wide state of the logging facility (not installed).
//
// Shared by the log output, the ring buffer's drain and the redirection
// functions. All of it is static storage with constant initialisation, so the
// facility works from load on, even for lines logged by other static
// initialisers. Thread contract: the setters store without a lock from any
// thread, log_print_mod reads from any thread, hence every scalar is atomic
// (relaxed: a change only has to take effect for later calls). The log lock
// guards the ring buffer and nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "udptrans/udptrans_api.h"

namespace udp {

// Threshold that silences an id; also what log_get_priority reports for an id
// outside 0..299, which can never be output.
constexpr uint8_t kLogSilent = 8;
constexpr unsigned kLogFilterSize = 272;

struct LogState {
    // Serialises ring-buffer access between writers and the drain thread.
    std::mutex lock;

    // Per-id threshold: a line is output when threshold <= level.
    std::atomic<uint8_t> priority[LOG_ID_COUNT] = {};
    // 0 = direct write to descriptor 1, anything else = ring buffer.
    std::atomic<int> mode{0};

    // Descriptors of the redirection functions. They start at -1 (not 0)
    // so that a redirection made before log_prt_init does not mistake
    // descriptor 0 for an active one.
    std::atomic<int> savedIn{-1};
    std::atomic<int> savedOut{-1};
    std::atomic<int> savedErr{-1};
    std::atomic<int> devFd{-1};
    std::atomic<int> redirectFd{-1};

    std::atomic<uint8_t> callbackLevel{0};
    std::atomic<uint8_t> timestampOn{0};
    std::atomic<log_callback_fn> callback{nullptr};

    // Stored for the host; no output decision reads it. Guarded by filterLock
    // only so that two concurrent log_set_filter calls cannot tear it.
    std::mutex filterLock;
    unsigned char filter[kLogFilterSize] = {};

    // Lines refused by the ring buffer; written under the log lock by
    // writers, reset without it by the setters and redirection functions.
    std::atomic<uint32_t> lossCount{0};
};

// The one instance, defined in LogPrint.cpp.
extern LogState g_logState;

// True when the ring buffer's front record is a wrap marker (no line). Caller
// holds the log lock.
bool LogBufFrontIsMarker();

}  // namespace udp

extern "C" {
// Entry of the drain thread "log_print": forever moves at most one line per
// millisecond from the ring buffer to descriptor 1. Not exported; handed to
// the spawn function by log_prt_init.
void* log_print_task(void* arg);
}
