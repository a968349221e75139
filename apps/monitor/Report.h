// The figures of a monitoring run, written for a person or as one JSON object.
//
// Threads: called by the thread that owns the figures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Expectations.h"
#include "Statistics.h"

namespace monitor {

struct ReportContext {
    uint64_t nNowUs = 0;        // time since the start of the run
    uint64_t nKernelDrops = 0;  // datagrams the kernel dropped on our sockets
    std::string strHeartbeat;   // the heartbeat text, raw bytes; empty when unknown
    bool bHeartbeatKnown = false;
    bool bHeartbeatLearned = false;
    wire::Expectations expect;
};

void WriteFiguresText(FILE* out, const wire::CStatistics& figures, const ReportContext& context);

// `type`: "stats" for a report while running, "summary" for the last one,
// which also carries the exit status and the reason (empty: none).
void WriteFiguresJson(FILE* out, const char* type, const wire::CStatistics& figures,
                      const ReportContext& context, int status, const std::string& reason);

}  // namespace monitor
