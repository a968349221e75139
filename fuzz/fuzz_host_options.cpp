// Fuzzes the command line of udptrans-host (CLI11 with the program's own
// checks): the input split at zero bytes into words (at most 64), parsed as
// argv.
//
// Checked for every input: no crash, no memory error, no wait (a word naming
// a FIFO or a device as a payload file must be refused at once); a parsed
// command line is within the documented ranges, and an error says what.
//
// Threads: libFuzzer's thread only.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostOptions.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_host_options: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = {"udptrans-host"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty() && words.size() < 64) {
        words.push_back(word);
    }
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);

    hostprog::HostOptions options;
    std::string error;
    switch (hostprog::ParseOptions(static_cast<int>(words.size()), argv.data(), options, error)) {
        case hostprog::ParseResult::kError:
            Check(!error.empty(), "an error without a message");
            for (const char c : error) {
                const auto u = static_cast<unsigned char>(c);
                Check(u >= 0x20 && u < 0x7f, "an unescaped byte in an error");
            }
            break;
        case hostprog::ParseResult::kHelp:
            Check(!hostprog::UsageText("udptrans-host").empty(), "no help text");
            break;
        case hostprog::ParseResult::kVersion:
            Check(hostprog::VersionText().rfind("udptrans-host ", 0) == 0, "no version line");
            break;
        case hostprog::ParseResult::kRun:
            Check(options.nFrames >= 0 && options.nFrames <= 100000000, "frames out of range");
            Check(options.dFps >= 0.001 && options.dFps <= 1000.0, "fps out of range");
            Check(options.nLogLevel >= 0 && options.nLogLevel <= 8, "log level out of range");
            Check(options.nModuleId >= 0 && options.nModuleId <= 297, "module id out of range");
            Check(!options.bPayloadIsFile || options.strPayload.size() <= hostprog::kPayloadFileMax,
                  "payload file beyond its bound");
            Check(!options.strStoreDir.empty(), "empty store folder");
            Check(options.nProcessMs >= 0 && options.nProcessMs <= 600000,
                  "process time out of range");
            Check(std::isfinite(options.dDurationSec) && options.dDurationSec >= 0.0,
                  "duration out of range");
            for (const auto& set : options.vecSet) {
                Check(!set.first.empty(), "--set with an empty key");
            }
            // Only text payloads are templates; keep the expansion bounded.
            if (!options.bPayloadIsFile && options.strPayload.size() < 4096) {
                (void)hostprog::ExpandPayload(options.strPayload, 2147483647, -2147483647);
            }
            break;
    }
    return 0;
}
