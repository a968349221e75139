// udptrans-host: runs the udptrans module on a developer's machine the way the
// camera application does (HostRun.h): loads it, starts it with its parameter
// store, hands it frames, prints what reaches the target ports, and shuts
// everything down in the order the module needs.
//
// Everything printed that came from the network, the store or the command
// line is escaped first (TextEscape.h); the module's own log lines reach
// standard error through CLogRelay, escaped too. Standard output carries the
// run (banner, datagrams, summary), standard error the warnings, failures and
// the module's lines, so `2>/dev/null` or --quiet leaves either alone.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>

#include "HostOptions.h"
#include "HostRun.h"
#include "StopSignals.h"
#include "TextEscape.h"

int main(int argc, char** argv) {
    using namespace hostprog;
    HostOptions options;
    std::string error;
    try {
        switch (ParseOptions(argc, argv, options, error)) {
            case ParseResult::kHelp:
                std::fputs(UsageText("udptrans-host").c_str(), stdout);
                return kExitOk;
            case ParseResult::kVersion:
                std::printf("%s\n", VersionText().c_str());
                return kExitOk;
            case ParseResult::kError:
                std::fprintf(stderr, "udptrans-host: %s\nTry 'udptrans-host --help'.\n",
                             error.c_str());
                return kExitUsage;
            case ParseResult::kRun:
                break;
        }
        // Blocked before any thread exists, so every thread inherits the mask
        // and the signals wait for the main thread.
        BlockStopSignals();
        // A closed output pipe must not kill the program in the middle of shutdown.
        signal(SIGPIPE, SIG_IGN);
        CHostRun run(options);
        return run.Run();
    } catch (const std::exception& e) {
        // Resources of the host itself (memory, threads): the run's
        // destructor has stopped what it started on the way out.
        std::fprintf(stderr, "udptrans-host: stopped: %s\n", apps::EscapeText(e.what()).c_str());
        return kExitFailure;
    }
}
