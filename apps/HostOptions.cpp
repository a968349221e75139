#include "HostOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "FileCheck.h"
#include "TextEscape.h"

namespace host {
namespace {

bool ParseInt(const std::string& text, long low, long high, int& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool ParseDouble(const std::string& text, double low, double high, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasInlineValue = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            hasInlineValue = true;
        }
        // Takes the option's argument from "--name=value" or the next word.
        auto argument = [&](std::string& out) {
            if (hasInlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = apps::EscapeText(name) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto bad = [&](const std::string& what) {
            error =
                "bad value for " + apps::EscapeText(name) + ": \"" + apps::EscapeText(what) + "\"";
            return ParseResult::kError;
        };
        auto flag = [&]() {
            if (hasInlineValue) {
                error = apps::EscapeText(name) + " takes no value";
                return false;
            }
            return true;
        };

        std::string text;
        if (name == "-h" || name == "--help") {
            return ParseResult::kHelp;
        } else if (name == "--module") {
            if (!argument(text))
                return ParseResult::kError;
            options.strModulePath = text;
        } else if (name == "--store") {
            if (!argument(text))
                return ParseResult::kError;
            if (text.empty())
                return bad(text);
            options.strStoreDir = text;
        } else if (name == "--set") {
            if (!argument(text))
                return ParseResult::kError;
            const size_t eq = text.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--set wants KEY=VALUE, got \"" + apps::EscapeText(text) + "\"";
                return ParseResult::kError;
            }
            options.vecSet.emplace_back(text.substr(0, eq), text.substr(eq + 1));
        } else if (name == "--frames") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseInt(text, 0, 100000000, options.nFrames))
                return bad(text);
        } else if (name == "--fps") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseDouble(text, 0.001, 1000.0, options.dFps))
                return bad(text);
        } else if (name == "--payload") {
            if (!argument(text))
                return ParseResult::kError;
            options.strPayload = text;
            options.bPayloadIsFile = false;
        } else if (name == "--payload-file") {
            if (!argument(text))
                return ParseResult::kError;
            std::string why;
            if (!apps::ReadRegularFile(text, kPayloadFileMax, options.strPayload, why)) {
                error = name + ": cannot read \"" + apps::EscapeText(text) + "\": " + why;
                return ParseResult::kError;
            }
            options.bPayloadIsFile = true;
        } else if (name == "--trigger") {
            if (!argument(text))
                return ParseResult::kError;
            if (text == "free") {
                options.eTrigger = TriggerMode::kFree;
            } else if (text == "soft") {
                options.eTrigger = TriggerMode::kSoft;
            } else {
                return bad(text);
            }
        } else if (name == "--process-ms") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseInt(text, 0, 600000, options.nProcessMs))
                return bad(text);
        } else if (name == "--test-image") {
            if (!flag())
                return ParseResult::kError;
            options.bTestImage = true;
        } else if (name == "--duration") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseDouble(text, 0.0, 86400.0 * 365, options.dDurationSec))
                return bad(text);
        } else if (name == "--listen") {
            if (!flag())
                return ParseResult::kError;
            options.eListen = ListenMode::kOn;
        } else if (name == "--no-listen") {
            if (!flag())
                return ParseResult::kError;
            options.eListen = ListenMode::kOff;
        } else if (name == "--ping") {
            if (!flag())
                return ParseResult::kError;
            options.bPing = true;
        } else if (name == "--no-ping") {
            if (!flag())
                return ParseResult::kError;
            options.bPing = false;
        } else if (name == "--allow-remote-set") {
            if (!flag())
                return ParseResult::kError;
            options.bAllowRemoteSet = true;
        } else if (name == "--log-level") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseInt(text, 0, 8, options.nLogLevel))
                return bad(text);
        } else if (name == "--log-mode") {
            if (!argument(text))
                return ParseResult::kError;
            if (text == "direct") {
                options.eLogMode = LogMode::kDirect;
            } else if (text == "ring") {
                options.eLogMode = LogMode::kRing;
            } else {
                return bad(text);
            }
        } else if (name == "--module-id") {
            if (!argument(text))
                return ParseResult::kError;
            if (!ParseInt(text, 0, 297, options.nModuleId))
                return bad(text);
        } else if (name == "-v" || name == "--verbose") {
            if (!flag())
                return ParseResult::kError;
            options.bVerbose = true;
        } else {
            error = "unknown option \"" + apps::EscapeText(name) + "\"";
            return ParseResult::kError;
        }
    }
    return ParseResult::kRun;
}

std::string UsageText(const char* program) {
    std::ostringstream out;
    out << "Usage: " << program << " [options]\n"
        << "\n"
        << "Loads the udptrans module, starts it with a parameter store, hands it frames\n"
        << "the way the camera's processing chain does and shows what it sends.\n"
        << "\n"
        << "Module and parameters:\n"
        << "  --module PATH         module to load (default: ../lib/libudptrans.so beside\n"
        << "                        this program)\n"
        << "  --store DIR           working folder with the parameter store udptrans.param,\n"
        << "                        created with defaults when absent (default: "
           "./udptrans-store)\n"
        << "  --set KEY=VALUE       set a parameter after start; repeatable, applied in\n"
        << "                        order. A refused value ends the program with status 2\n"
        << "  --module-id N         the module's log id, 0..297 (default 1)\n"
        << "\n"
        << "Frames:\n"
        << "  --frames N            frames on a timer; 0: none (default 10)\n"
        << "  --fps F               frame rate of the timer (default 5)\n"
        << "  --payload TEXT        result block of each frame; {frame} and {trigger} are\n"
        << "                        replaced by the counters\n"
        << "                        (default \"result frame={frame} trigger={trigger}\")\n"
        << "  --payload-file FILE   result block: the bytes of FILE as they are (a regular\n"
        << "                        file of at most 1 MiB; the module sends at most the\n"
        << "                        first 1028 bytes of a result block)\n"
        << "  --trigger free|soft   free-running (default), or triggered acquisition: a\n"
        << "                        software trigger before every frame\n"
        << "  --process-ms MS       soft trigger: time from a trigger to its frame's\n"
        << "                        hand-over (default 20)\n"
        << "  --test-image          frames come from a test image\n"
        << "  --duration SECONDS    keep running after the last frame (heartbeats, command\n"
        << "                        answers) before shutting down (default 3)\n"
        << "\n"
        << "Network:\n"
        << "  --listen, --no-listen print every datagram that reaches the target and\n"
        << "                        heartbeat target ports (default: on when they are\n"
        << "                        loopback addresses)\n"
        << "  --ping, --no-ping     send \"PING\" to the module's port once at start\n"
        << "                        (default on)\n"
        << "  --allow-remote-set    accept \"SET <key> <value>\" commands from the network.\n"
        << "                        The module listens on every interface: anyone who can\n"
        << "                        reach this machine may then change and save parameters\n"
        << "\n"
        << "Logging:\n"
        << "  --log-level N         threshold for the module's log lines: 3 debug, 4 info,\n"
        << "                        6 errors (default), 8 silent\n"
        << "  --log-mode direct|ring  the module's logging facility writes at once\n"
        << "                        (default) or runs its ring buffer and drain thread; the\n"
        << "                        module's own lines reach this program's output through\n"
        << "                        its log callback either way, escaped\n"
        << "  -v, --verbose         one line per frame handed over\n"
        << "  -h, --help            this text\n"
        << "\n"
        << "Commands answered on the module's port (answers go to the target):\n"
        << "  PING                  -> PONG\n"
        << "  GET <key>             -> the parameter's value\n"
        << "  TRIGGER               -> a software trigger (and a frame with --trigger soft);\n"
        << "                        at most " << kMaxPendingTriggers << " frames wait at a time\n"
        << "  SET <key> <value>     -> with --allow-remote-set only\n"
        << "  Anything else is counted and dropped, not answered.\n"
        << "\n"
        << "Signals: SIGINT, SIGTERM or SIGHUP stop the program cleanly; a second one ends\n"
        << "it at once.\n"
        << "\n"
        << "Exit status: 0 done, 1 start-up or resource failure, 2 a --set value was\n"
        << "refused, 64 bad command line, 128+N ended by signal N (130 Ctrl-C, 143\n"
        << "SIGTERM, 129 SIGHUP).\n";
    return out.str();
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

}  // namespace host
