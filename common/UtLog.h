// Log helpers for the module's own code (not installed).
//
// Every line of the module carries the same prefix: level tag, log id, module
// tag "udptrans", source file name (without extension) and source line. These
// macros fill it so each call site is one short line, and test the threshold
// before any argument is formatted. Each source file defines
//     namespace { constexpr char kLogFile[] = "udpMsg"; }
// and passes its log id:
//     UT_LOGE(m_nLogId, "Create failed, ret=%d\r\n", ret);
// Received bytes are always arguments ("%s"), never part of the format.
#pragma once

#include "udptrans/udptrans_api.h"

namespace udp {

// True when log_print_mod would deliver a line of this id and level anywhere
// (output or callback). Lock-free; a racing setter may be seen one line late.
bool LogWanted(int id, int level) noexcept;

}  // namespace udp

#define UT_LOG_PREFIX "| %-4s | %03d%s | %-12s:%04d: "
#define UT_LOG_RED "\033[31m"
#define UT_LOG_MAGENTA "\033[35m"
#define UT_LOG_RESET "\033[0m"

// As UT_LOG_AT, but the line printed is `line` rather than the call's own:
// for messages that readers of the log know by a fixed line number.
#define UT_LOG_AT_LINE(line, id, level, tag, color_on, color_off, fmt, ...)               \
    do {                                                                                  \
        const int ut_log_id_ = (id);                                                      \
        if (::udp::LogWanted(ut_log_id_, (level))) {                                      \
            log_print_mod(ut_log_id_, (level), color_on UT_LOG_PREFIX fmt color_off, tag, \
                          ut_log_id_, "udptrans", kLogFile, (line), ##__VA_ARGS__);       \
        }                                                                                 \
    } while (0)

#define UT_LOG_AT(id, level, tag, color_on, color_off, fmt, ...) \
    UT_LOG_AT_LINE(__LINE__, id, level, tag, color_on, color_off, fmt, ##__VA_ARGS__)

#define UT_LOGD(id, fmt, ...) \
    UT_LOG_AT(id, 3, "Debug", UT_LOG_MAGENTA, UT_LOG_RESET, fmt, ##__VA_ARGS__)
#define UT_LOGI(id, fmt, ...) UT_LOG_AT(id, 4, "Info", "", "", fmt, ##__VA_ARGS__)
#define UT_LOGE(id, fmt, ...) UT_LOG_AT(id, 6, "Err", UT_LOG_RED, UT_LOG_RESET, fmt, ##__VA_ARGS__)

// The same with a fixed line number.
#define UT_LOGI_AT(line, id, fmt, ...) \
    UT_LOG_AT_LINE(line, id, 4, "Info", "", "", fmt, ##__VA_ARGS__)
#define UT_LOGE_AT(line, id, fmt, ...) \
    UT_LOG_AT_LINE(line, id, 6, "Err", UT_LOG_RED, UT_LOG_RESET, fmt, ##__VA_ARGS__)
