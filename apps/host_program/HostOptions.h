// The command line of udptrans-host: what to load, where its store lives,
// which parameters to set, and how to drive frames.
//
// Threads: parsed once on the main thread before anything starts; read-only
// afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hostprog {

// Payload files are read whole at start; the module sends at most the first
// 1028 bytes of a result block, so a larger bound only serves a test of that.
constexpr size_t kPayloadFileMax = size_t{1} << 20;
constexpr size_t kResultBlockMax = 1028;
// Triggered frames that may wait for their processing time at once; a remote
// TRIGGER beyond that is refused, so a flood cannot grow the host's memory.
constexpr size_t kMaxPendingTriggers = 64;

enum class TriggerMode { kFree, kSoft };
enum class ListenMode { kAuto, kOn, kOff };
enum class LogMode { kDirect, kRing };

struct HostOptions {
    std::string strModulePath;  // empty: ../lib/libudptrans.so beside the program
    std::string strStoreDir = "./udptrans-store";
    std::vector<std::pair<std::string, std::string>> vecSet;  // in command-line order
    int nFrames = 10;
    double dFps = 5.0;
    std::string strPayload = "result frame={frame} trigger={trigger}";
    bool bPayloadIsFile = false;  // strPayload holds the bytes of --payload-file
    TriggerMode eTrigger = TriggerMode::kFree;
    int nProcessMs = 20;
    bool bTestImage = false;
    double dDurationSec = 3.0;
    ListenMode eListen = ListenMode::kAuto;
    bool bPing = true;
    bool bAllowRemoteSet = false;
    int nLogLevel = 6;
    LogMode eLogMode = LogMode::kDirect;
    int nModuleId = 1;
    bool bVerbose = false;
    bool bQuiet = false;       // warnings and failures only
    bool bJson = false;        // the listener's lines as JSON objects
    bool bShowParams = false;  // start, apply --set, show the parameters, stop
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills `options` from argv. kError comes with a message in `error`, escaped.
ParseResult ParseOptions(int argc, char** argv, HostOptions& options, std::string& error);

// The --help text; the --version line.
std::string UsageText(const char* program);
std::string VersionText();

// `payload` with every "{frame}" and "{trigger}" replaced by the counters
// (text payloads only; file payloads are sent as they are).
std::string ExpandPayload(const std::string& payload, int frame, int trigger);

}  // namespace hostprog
