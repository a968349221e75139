// Fuzzes the parameters of a started module: random keys (the module's
// thirteen, unknown ones, null and empty), values (any bytes up to the first
// zero) and lengths through SetParam, GetParam and UpSingleParam of
// libudptrans.so, loaded with dlopen and started on a store in a temporary
// folder, on ports the kernel picked.
//
// Checked after every call: no crash or memory error (GetParam's buffer is
// exactly `size` bytes); the store file always loads again in a fresh store;
// what GetParam reports for every key matches that file: the stored text for
// the keys the store answers, the engine's port for the four port keys.
//
// The fuzzer never points the module at ports or hosts outside itself: a
// valid new host port or heartbeat mode is replaced by the current value, so
// only refusals reach the engine with random text; no frames are processed
// and the heartbeat stays off, so nothing is ever sent.
//
// Threads: libFuzzer's thread is the host's thread; the module's tasks run
// beside it and log through the (silenced) callback.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "HostedModule.h"
#include "UdpPeer.h"
#include "algo/AbstractUserModule.h"
#include "algo/ParamManage.h"

namespace {

const char* const kKeys[] = {"HostIp",
                             "HostPort",
                             "TargetIp",
                             "TargetPort",
                             "HostHeartbeatPort",
                             "TargetHeartbeatIp",
                             "TargetHeartbeatPort",
                             "AlgoEnable",
                             "ScheduledTransEnable",
                             "ScheduledTransTime",
                             "HeartbeatTranMode",
                             "HeartbeatText",
                             "HeartbeatInterval"};
constexpr size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

ts::HostedModule* g_host = nullptr;
CAbstractUserModule* g_module = nullptr;
CParamManage* g_check = nullptr;  // description only: CheckParam of candidate values

int QuietLog(int, int, int, const char* line, int length) {
    if (line == nullptr || std::strlen(line) != static_cast<size_t>(length)) {
        std::abort();
    }
    return 0;
}

std::string ModuleGet(const char* key) {
    char buf[256] = {0};
    int len = -1;
    const int rc = g_module->GetParam(key, buf, sizeof(buf), &len);
    Check(rc == 0, std::string("GetParam failed for ") + key);
    return buf;
}

void Setup() {
    g_host = new ts::HostedModule;
    // Every line of the module, the start-up's included, goes through the
    // callback that checks it.
    ts::ModuleLoader& lib = g_host->Loader();
    if (!lib.Load()) {
        Fail(lib.Error());
    }
    lib.callbacker(3, &QuietLog);
    const ts::StoreValues values = {{"HostPort", std::to_string(ts::FreePort())},
                                    {"HostHeartbeatPort", std::to_string(ts::FreePort())},
                                    {"TargetIp", "127.0.0.1"},
                                    {"TargetHeartbeatIp", "127.0.0.1"},
                                    {"HeartbeatTranMode", "0"}};
    if (!g_host->Start(values, 9)) {
        Fail("module start: " + g_host->Error());
    }
    g_module = g_host->Module();
    // At the end of the run the module stops as a host stops it, and its
    // working folder goes.
    std::atexit([] {
        g_module = nullptr;
        delete g_host;
    });

    g_check = new CParamManage();
    Check(g_check->LoadDescription(ts::DescriptionPath()) == 0, "description");
}

// Values the fuzzer must not hand to the engine as they are (see the header).
std::string Tame(const std::string& key, const std::string& value) {
    const bool guarded =
        key == "HostPort" || key == "HostHeartbeatPort" || key == "HeartbeatTranMode";
    if (!guarded || g_check->CheckParam(key.c_str(), value.c_str()) != 0) {
        return value;
    }
    return key == "HeartbeatTranMode" ? "0" : ModuleGet(key.c_str());
}

// The store file loads, and every key reads back through the module as the
// file holds it.
void CheckStoreMatches() {
    CParamManage file;
    Check(file.LoadDescription(ts::DescriptionPath()) == 0, "description");
    Check(file.LoadFile(g_host->StorePath()) == 0, "store file does not load");
    for (const char* key : kKeys) {
        const std::string stored = file.GetParam(key, 0);
        char buf[256];
        std::memset(buf, 0x5A, sizeof(buf));
        buf[sizeof(buf) - 1] = '\0';
        int len = -7;
        Check(g_module->GetParam(key, buf, sizeof(buf), &len) == 0, std::string("GetParam ") + key);
        const std::string got = buf;
        const std::string key_s = key;
        if (key_s == "TargetIp" || key_s == "TargetHeartbeatIp" || key_s == "HostIp") {
            // May be left unwritten; when written, it is the stored text.
            if (got != std::string(sizeof(buf) - 1, 'Z')) {
                Check(got == stored || key_s == "HostIp",
                      key_s + ": module says " + got + ", file holds " + stored);
            }
            continue;
        }
        Check(got == stored, key_s + ": module says '" + got + "', file holds '" + stored + "'");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) {
        return 0;
    }
    const uint8_t op = data[0] % 3u;
    const uint8_t keySel = data[1] % 16u;
    int32_t number = 0;
    std::memcpy(&number, data + 2, sizeof(number));
    std::string rest(reinterpret_cast<const char*>(data + 6), size - 6);
    rest = rest.substr(0, std::strlen(rest.c_str()));  // a C string ends at its first zero

    std::string key;
    const char* keyPtr = nullptr;
    if (keySel < kKeyCount) {
        key = kKeys[keySel];
        keyPtr = key.c_str();
    } else if (keySel < 14) {
        // An unknown key: the first word of the text, the rest the value.
        const size_t cut = std::min(rest.find(' '), rest.size());
        key = rest.substr(0, cut);
        rest = cut < rest.size() ? rest.substr(cut + 1) : std::string();
        keyPtr = key.c_str();
    } else if (keySel == 14) {
        keyPtr = "";
    }  // 15: null key

    switch (op) {
        case 0: {
            const std::string value = keyPtr ? Tame(keyPtr, rest) : rest;
            const int length = (number & 1) ? static_cast<int>(value.size()) : number;
            g_module->SetParam(keyPtr, (number & 2) && length == 0 ? nullptr : value.c_str(),
                               length);
            break;
        }
        case 1: {
            // The buffer is exactly `size` bytes: any write past it shows.
            const int bufSize = static_cast<int>(static_cast<uint32_t>(number) % 300u);
            std::vector<char> buf(bufSize > 0 ? static_cast<size_t>(bufSize) : 1, 'Q');
            int len = -3;
            g_module->GetParam(keyPtr, bufSize > 0 ? buf.data() : nullptr, bufSize,
                               (number & 0x1000) ? nullptr : &len);
            break;
        }
        default:
            g_module->UpSingleParam(keyPtr, (number & 1) != 0);
            break;
    }
    CheckStoreMatches();
    return 0;
}
