#include "HostOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "FileCheck.h"
#include "ParamTable.h"
#include "TextEscape.h"
#include "udptrans/udptrans_version.h"

namespace hostprog {
namespace {

// Numbers are checked on their text before CLI11 converts them: decimal only,
// finite, within the bounds, so that "0x10", "1e3" for a count or "nan" never
// slip through a conversion.
CLI::Validator IntIn(long low, long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || errno != 0 || *end != '\0' || value < low || value > high) {
                return "bad value \"" + text + "\", want a whole number in " + std::to_string(low) +
                       ".." + std::to_string(high);
            }
            return {};
        },
        "", "");
}

CLI::Validator NumberIn(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) ||
                value < low || value > high) {
                return "bad value \"" + text + "\", want a number in " +
                       CLI::detail::to_string(low) + ".." + CLI::detail::to_string(high);
            }
            return {};
        },
        "", "");
}

CLI::Validator OneOf(std::vector<std::string> words) {
    return CLI::Validator(
        [words](std::string& text) -> std::string {
            if (std::find(words.begin(), words.end(), text) != words.end()) {
                return {};
            }
            return "bad value \"" + text + "\", want " + CLI::detail::join(words, " or ");
        },
        "", "");
}

std::string ParameterKeys() {
    std::string keys;
    std::string line = " ";
    for (const ParamInfo& row : ParamTable()) {
        const std::string word = std::string(" ") + row.pKey;
        if (line.size() + word.size() > 78) {
            keys += line + "\n";
            line = " ";
        }
        line += word;
    }
    return keys + line + "\n";
}

const char kDescription[] =
    "Loads the udptrans module, starts it with a parameter store, hands it frames\n"
    "the way the camera's processing chain does and shows what it sends.";

std::string Footer() {
    return "Parameter keys for --set (--show-params lists values, ranges and sources):\n" +
           ParameterKeys() +
           "\n"
           "Commands answered on the module's port (answers go to the target):\n"
           "  PING                  -> PONG\n"
           "  GET <key>             -> the parameter's value\n"
           "  TRIGGER               -> a software trigger (and a frame with --trigger soft);\n"
           "                        at most " +
           std::to_string(kMaxPendingTriggers) +
           " frames wait at a time\n"
           "  SET <key> <value>     -> with --allow-remote-set only\n"
           "  Anything else is counted and dropped, not answered.\n"
           "\n"
           "Output: datagrams that reach the listener and the run's lines on standard\n"
           "output; warnings, failures and the module's log lines on standard error\n"
           "(coloured only when it is a terminal). Everything that came from the network,\n"
           "the store or the command line is escaped: \\r \\n \\t \\\\ \\\" and \\xNN.\n"
           "\n"
           "Signals: SIGINT, SIGTERM or SIGHUP stop the program cleanly; a second one ends\n"
           "it at once.\n"
           "\n"
           "Exit status: 0 done, 1 start-up or resource failure, 2 a --set value was\n"
           "refused, 64 bad command line, 128+N ended by signal N (130 Ctrl-C, 143\n"
           "SIGTERM, 129 SIGHUP).";
}

// The application with every option bound to `options`. Options that come in
// pairs or repeat act in command-line order (trigger_on_parse), as the last
// word on the line is what a user means.
std::unique_ptr<CLI::App> MakeApp(HostOptions& options) {
    auto app = std::make_unique<CLI::App>(kDescription, "udptrans-host");
    app->set_version_flag("--version", VersionText(),
                          "the project's version (also in libudptrans.so)");
    app->footer(Footer());
    app->get_formatter()->column_width(28);
    app->option_defaults()->always_capture_default();
    // A repeated option: the last word wins, as it always did.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    app->add_option("--module", options.strModulePath,
                    "module to load (default: ../lib/libudptrans.so beside this program)")
        ->type_name("PATH");
    app->add_option("--store", options.strStoreDir,
                    "working folder with the parameter store udptrans.param, created with "
                    "defaults when absent")
        ->type_name("DIR")
        ->check(CLI::Validator(
            [](std::string& text) {
                return text.empty() ? std::string("an empty folder name") : "";
            },
            "", ""));
    app->add_option_function<std::string>(
           "--set",
           [&options](const std::string& text) {
               const size_t eq = text.find('=');
               if (eq == std::string::npos || eq == 0) {
                   throw CLI::ValidationError("--set", "wants KEY=VALUE, got \"" + text + "\"");
               }
               options.vecSet.emplace_back(text.substr(0, eq), text.substr(eq + 1));
           },
           "set a parameter after start; repeatable, applied in order. The value is saved "
           "in the store. A refused value ends the program with status 2")
        ->type_name("KEY=VALUE")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app->add_flag("--show-params", options.bShowParams,
                  "start the module, apply --set, list the parameters with their values, "
                  "ranges and where each value came from, and stop");
    app->add_option("--module-id", options.nModuleId, "the module's log id, 0..297")
        ->type_name("N")
        ->check(IntIn(0, 297));

    app->add_option("--frames", options.nFrames, "frames on a timer; 0: none")
        ->type_name("N")
        ->check(IntIn(0, 100000000));
    app->add_option("--fps", options.dFps, "frame rate of the timer")
        ->type_name("F")
        ->check(NumberIn(0.001, 1000.0));
    app->add_option_function<std::string>(
           "--payload",
           [&options](const std::string& text) {
               options.strPayload = text;
               options.bPayloadIsFile = false;
           },
           "result block of each frame; {frame} and {trigger} are replaced by the counters "
           "(default \"result frame={frame} trigger={trigger}\")")
        ->type_name("TEXT")
        ->trigger_on_parse();
    app->add_option_function<std::string>(
           "--payload-file",
           [&options](const std::string& path) {
               std::string why;
               if (!apps::ReadRegularFile(path, kPayloadFileMax, options.strPayload, why)) {
                   throw CLI::ValidationError("--payload-file",
                                              "cannot read \"" + path + "\": " + why);
               }
               options.bPayloadIsFile = true;
           },
           "result block: the bytes of FILE as they are (a regular file of at most 1 MiB; the "
           "module sends at most the first 1028 bytes of a result block)")
        ->type_name("FILE")
        ->trigger_on_parse();
    app->add_option_function<std::string>(
           "--trigger",
           [&options](const std::string& text) {
               options.eTrigger = text == "soft" ? TriggerMode::kSoft : TriggerMode::kFree;
           },
           "free-running (default), or triggered acquisition: a software trigger before "
           "every frame")
        ->type_name("free|soft")
        ->check(OneOf({"free", "soft"}));
    app->add_option("--process-ms", options.nProcessMs,
                    "soft trigger: time from a trigger to its frame's hand-over")
        ->type_name("MS")
        ->check(IntIn(0, 600000));
    app->add_flag("--test-image", options.bTestImage, "frames come from a test image");
    app->add_option("--duration", options.dDurationSec,
                    "keep running after the last frame (heartbeats, command answers) before "
                    "shutting down")
        ->type_name("SECONDS")
        ->check(NumberIn(0.0, 86400.0 * 365));

    app->add_flag_callback(
           "--listen", [&options] { options.eListen = ListenMode::kOn; },
           "print every datagram that reaches the target and heartbeat target ports "
           "(default: on when they are loopback addresses)")
        ->trigger_on_parse();
    app->add_flag_callback(
           "--no-listen", [&options] { options.eListen = ListenMode::kOff; },
           "do not listen on the target ports")
        ->trigger_on_parse();
    app->add_flag("--json", options.bJson,
                  "the listener's lines as JSON objects, as udptrans-monitor --json prints them");
    app->add_flag_callback(
           "--ping", [&options] { options.bPing = true; },
           "send \"PING\" to the module's port once at start (default)")
        ->trigger_on_parse();
    app->add_flag_callback(
           "--no-ping", [&options] { options.bPing = false; }, "no start-up PING")
        ->trigger_on_parse();
    app->add_flag("--allow-remote-set", options.bAllowRemoteSet,
                  "accept \"SET <key> <value>\" commands from the network. The module listens "
                  "on every interface: anyone who can reach this machine may then change and "
                  "save parameters");

    app->add_option("--log-level", options.nLogLevel,
                    "threshold for the module's log lines: 3 debug, 4 info, 6 errors, 8 silent")
        ->type_name("N")
        ->check(IntIn(0, 8));
    app->add_option_function<std::string>(
           "--log-mode",
           [&options](const std::string& text) {
               options.eLogMode = text == "ring" ? LogMode::kRing : LogMode::kDirect;
           },
           "the module's logging facility writes at once (default) or runs its ring "
           "buffer and drain thread; the module's lines reach standard error through "
           "its log callback either way, escaped")
        ->type_name("direct|ring")
        ->check(OneOf({"direct", "ring"}));
    app->add_flag("-v,--verbose", options.bVerbose, "one line per frame handed over");
    app->add_flag("-q,--quiet", options.bQuiet,
                  "only warnings, failures and the module's log lines (standard error); no "
                  "datagram lines, banner or summary");
    return app;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    try {
        std::unique_ptr<CLI::App> app = MakeApp(options);
        // Flags take no value: "--listen=1" or "--no-ping=0" is a mistake, not
        // a yes or no, as it always was for this program.
        for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
            const std::string word = argv[i];
            const size_t eq = word.find('=');
            if (word.rfind("--", 0) != 0 || eq == std::string::npos) {
                continue;
            }
            const CLI::Option* option = app->get_option_no_throw(word.substr(0, eq));
            if (option != nullptr && option->get_expected_max() == 0) {
                throw CLI::ArgumentMismatch(word.substr(0, eq) + " takes no value");
            }
        }
        app->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return ParseResult::kHelp;
    } catch (const CLI::CallForAllHelp&) {
        return ParseResult::kHelp;
    } catch (const CLI::CallForVersion&) {
        return ParseResult::kVersion;
    } catch (const CLI::ParseError& e) {
        // Values in the message are the user's bytes: only what could act on
        // a terminal is escaped.
        error = apps::EscapeLogLine(e.what(), false);
        if (error.empty()) {
            error = "bad command line";
        }
        return ParseResult::kError;
    }
    return ParseResult::kRun;
}

std::string UsageText(const char* program) {
    HostOptions scratch;
    std::unique_ptr<CLI::App> app = MakeApp(scratch);
    app->name(program);
    return app->help();
}

std::string VersionText() {
    return std::string("udptrans-host ") + UDPTRANS_VERSION_STRING;
}

std::string ExpandPayload(const std::string& payload, int frame, int trigger) {
    static const std::string kFrame = "{frame}";
    static const std::string kTrigger = "{trigger}";
    std::string out;
    out.reserve(payload.size() + 16);
    for (size_t i = 0; i < payload.size();) {
        if (payload.compare(i, kFrame.size(), kFrame) == 0) {
            out += std::to_string(frame);
            i += kFrame.size();
        } else if (payload.compare(i, kTrigger.size(), kTrigger) == 0) {
            out += std::to_string(trigger);
            i += kTrigger.size();
        } else {
            out += payload[i++];
        }
    }
    return out;
}

}  // namespace hostprog
