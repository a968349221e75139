// The command line of udptrans-monitor, parsed with CLI11.
//
// Threads: main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Address.h"
#include "Expectations.h"

namespace monitor {

// Exit statuses of the program (also listed by --help).
constexpr int kExitMet = 0;
constexpr int kExitBroken = 1;   // an expectation was broken, or a command got no answer
constexpr int kExitStartup = 2;  // a socket or the capture file could not be opened
constexpr int kExitUsage = 64;   // bad command line

struct MonitorOptions {
    std::vector<wire::Address> vecListen;
    bool bJson = false;
    bool bQuiet = false;
    std::string strPcap;
    bool bHeartbeatText = false;
    std::string strHeartbeatText;
    double dStatsEveryS = 0;
    wire::Expectations expect;
    bool bSend = false;
    std::string strSend;
    wire::Address to;
    double dAnswerWaitS = 2;
    double dDurationS = 0;  // 0: until interrupted
    uint64_t nCount = 0;    // 0: no limit
};

// Parses the command line into `options`. Returns -1 when the program should
// run; otherwise the status to exit with at once (0 after --help or
// --version, kExitUsage with the reason on standard error).
int ParseMonitorOptions(int argc, char** argv, MonitorOptions& options);

}  // namespace monitor
