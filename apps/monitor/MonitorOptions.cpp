#include "MonitorOptions.h"

#include <CLI/CLI.hpp>

#include "Classifier.h"
#include "udptrans/udptrans_version.h"

namespace monitor {

namespace {

const char kDescription[] =
    "Listens where a camera sends its results and shows at once whether its output is "
    "healthy: every datagram (escaped), its kind (result, heartbeat, \"NG\", answer) and the "
    "figures of the run.";

const char kFooter[] =
    "Kinds: a heartbeat is exactly the --heartbeat-text, or, without it, learned as a short\n"
    "datagram (at most 32 bytes) that comes twice in a row on a link idle for 0.9 s or more\n"
    "(a heartbeat interval is at least a second); its first copy shows as a result in its\n"
    "line but counts as a heartbeat in the figures. \"NG\" is the two bytes NG. An answer is the "
    "first other datagram within\n"
    "--answer-wait after --send.\n"
    "\n"
    "Figures (on Ctrl-C, at the end, every --stats-every seconds; with --json as JSON\n"
    "objects, the last one of type \"summary\"): datagrams and bytes per kind, rate, gaps\n"
    "between results (p50/p99/max), heartbeat period measured from the previous datagram\n"
    "(mean, worst error against --expect-heartbeat), duplicates within 1 ms, \"NG\" share\n"
    "of the answers to triggers, datagrams dropped by the kernel.\n"
    "\n"
    "Expectations: --expect-heartbeat S (each heartbeat S after the previous datagram, and\n"
    "no silence longer, within 10 % and at least 100 ms), --expect-rate R (results per\n"
    "second within 10 %), --max-gap MS (no larger gap between results).\n"
    "\n"
    "Exit status: 0 ended (by --duration, --count or the answer) with every expectation\n"
    "met; 1 an expectation broken, or no answer to --send, with a one-line reason on\n"
    "standard error; 2 a socket or the capture file could not be opened; 64 bad command\n"
    "line. Interrupted (SIGINT, SIGTERM) the monitor prints its figures and ends with\n"
    "128+signal (130 for Ctrl-C) when no expectation was given, and with 0 or 1 as above\n"
    "when one was, so a CI job may stop it with a signal. A second signal ends it at once.\n"
    "\n"
    "Everything printed that came from the network is escaped: \\r \\n \\t \\\\ \\\" and \\xHH.\n";

}  // namespace

int ParseMonitorOptions(int argc, char** argv, MonitorOptions& options) {
    CLI::App app(kDescription, "udptrans-monitor");
    app.set_version_flag("--version", std::string("udptrans-monitor ") + UDPTRANS_VERSION_STRING);
    app.footer(kFooter);
    app.get_formatter()->column_width(30);

    // Checked, without the checker's name appended to every "S" in --help.
    CLI::Validator positive = CLI::Validator(CLI::PositiveNumber).description("");
    std::vector<std::string> listen;
    std::string to;
    app.add_option("-l,--listen", listen,
                   "ADDR:PORT (or PORT for all interfaces) to listen on; may be repeated")
        ->type_name("ADDR:PORT");
    app.add_flag("--json", options.bJson, "one JSON object per line instead of text");
    app.add_flag("-q,--quiet", options.bQuiet, "no line per datagram, figures only");
    app.add_option("--pcap", options.strPcap, "also write every datagram to a capture file")
        ->type_name("FILE");
    app.add_option("--heartbeat-text", options.strHeartbeatText,
                   "the camera's heartbeat text (at most 32 bytes); learned when not given")
        ->type_name("TEXT");
    app.add_option("--stats-every", options.dStatsEveryS, "print the figures every S seconds")
        ->type_name("S")
        ->check(positive);
    app.add_option("--expect-heartbeat", options.expect.dHeartbeatS,
                   "expect a heartbeat every S seconds on an idle link")
        ->type_name("S")
        ->check(positive);
    app.add_option("--expect-rate", options.expect.dRate, "expect R results per second")
        ->type_name("R")
        ->check(positive);
    app.add_option("--max-gap", options.expect.dMaxGapMs,
                   "expect no gap between results longer than MS milliseconds")
        ->type_name("MS")
        ->check(positive);
    CLI::Option* send =
        app.add_option("--send", options.strSend,
                       "send this command to the camera (--to) and show its answer, which the "
                       "camera sends to its configured target")
            ->type_name("TEXT");
    app.add_option("--to", to, "the camera's command port, HOST:PORT")
        ->type_name("HOST:PORT")
        ->needs(send);
    send->needs("--to");
    app.add_option("--answer-wait", options.dAnswerWaitS,
                   "seconds to wait for the answer (default 2); without --listen the "
                   "monitor ends then")
        ->type_name("S")
        ->check(positive);
    app.add_option("--duration", options.dDurationS, "end after S seconds")
        ->type_name("S")
        ->check(positive);
    app.add_option("--count", options.nCount, "end after N datagrams")
        ->type_name("N")
        ->check(positive);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitUsage;
    }

    std::string error;
    for (const std::string& text : listen) {
        wire::Address address;
        if (!wire::ParseAddress(text, false, address, error)) {
            std::fprintf(stderr, "udptrans-monitor: --listen %s\n", error.c_str());
            return kExitUsage;
        }
        options.vecListen.push_back(address);
    }
    options.bSend = send->count() != 0;
    if (options.bSend) {
        if (!wire::ParseAddress(to, true, options.to, error) || options.to.nPort == 0) {
            std::fprintf(stderr, "udptrans-monitor: --to %s\n",
                         error.empty() ? "needs a port other than 0" : error.c_str());
            return kExitUsage;
        }
        // The camera reads at most 256 bytes of a command and cuts the rest.
        if (options.strSend.size() > 256) {
            std::fprintf(stderr, "udptrans-monitor: --send text longer than 256 bytes\n");
            return kExitUsage;
        }
    }
    options.bHeartbeatText = app.count("--heartbeat-text") != 0;
    if (options.strHeartbeatText.size() > wire::CClassifier::kMaxHeartbeat) {
        std::fprintf(stderr, "udptrans-monitor: --heartbeat-text longer than %zu bytes\n",
                     wire::CClassifier::kMaxHeartbeat);
        return kExitUsage;
    }
    if (options.vecListen.empty() && !options.bSend) {
        std::fprintf(stderr,
                     "udptrans-monitor: nothing to do: give --listen ADDR:PORT or --send with "
                     "--to (see --help)\n");
        return kExitUsage;
    }
    return -1;
}

}  // namespace monitor
