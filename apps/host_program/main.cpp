// udptrans-host: runs the udptrans module on a developer's machine the way the
// camera application does. It loads the module's shared object, starts it
// with a working folder that holds its parameter store, publishes the
// application's trigger source and image-process component, answers commands
// that arrive on the module's port, hands the module frames on one processing
// thread, prints what reaches the target ports, and shuts everything down in
// the order the module needs.
//
// Threads: the main thread loads, starts, waits (for the frames, for signals)
// and shuts down; the processing thread (CFrameDriver), the listener thread
// (CDatagramListener) and the proxy's thread (CCommandHandler) do the rest.
// The stop signals are blocked in every thread and taken by the main thread
// (StopSignals.h), so no handler ever runs in the middle of module code.
//
// Everything printed that came from the network, the store or the command
// line is escaped first (TextEscape.h); the module's own log lines reach
// standard error through CLogRelay, escaped too. Standard output carries the
// run (banner, datagrams, summary), standard error the warnings, failures and
// the module's lines, so `2>/dev/null` or --quiet leaves either alone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "AppRegistry.h"
#include "CommandHandler.h"
#include "Console.h"
#include "DatagramListener.h"
#include "FrameDriver.h"
#include "HostOptions.h"
#include "LogRelay.h"
#include "ModuleLibrary.h"
#include "ParamTable.h"
#include "ResultCodes.h"
#include "StartupChecks.h"
#include "StopSignals.h"
#include "TextEscape.h"
#include "algo/CommProxy.h"
#include "algo/Thread.h"
#include "udptrans/udptrans_host.h"

namespace {

using apps::EscapeText;
using hostprog::CConsole;
using hostprog::HostOptions;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;
constexpr int kExitUsage = 64;

// Time after the last hand-over (or scheduled answer) in which the module's
// tasks send what is still queued: they serve their queues every millisecond,
// so this is a wide margin, not a measurement.
constexpr uint64_t kSettleMs = 300;
// How long shutdown waits for the proxy to finish a command in progress.
constexpr int kProxyIdleMs = 5000;
// Ring-buffer size in 512-byte units; the drain writes one line per ms.
constexpr int kLogRingUnits = 256;

// Starts the logging facility's drain thread: detached, because it never
// ends, and named so that it can be found in a thread listing.
struct LogThreadStart {
    void* (*entry)(void*);
    char name[16];
};

void* LogThreadMain(void* arg) {
    LogThreadStart* start = static_cast<LogThreadStart*>(arg);
    thread_set_name(start->name);
    void* (*entry)(void*) = start->entry;
    delete start;
    return entry(nullptr);
}

int SpawnLogThread(const char* name, void* (*entry)(void*)) {
    LogThreadStart* start = new (std::nothrow) LogThreadStart{entry, {}};
    if (start == nullptr || entry == nullptr) {
        delete start;
        return -1;
    }
    std::snprintf(start->name, sizeof(start->name), "%s", name != nullptr ? name : "log_print");
    THREAD_HANDLE handle;
    const int result = thread_spawn_ex(&handle, 1, 0, 0, 0, LogThreadMain, start);
    if (result != 0) {
        delete start;
    }
    return result;
}

uint64_t NowMs() {
    return zerran_app::UpTimeMs();
}

// One line on standard error, prefixed with the program's name.
void Fail(const std::string& text) {
    std::fprintf(stderr, "udptrans-host: %s\n", text.c_str());
}

// Waits until `done` holds or `deadlineMs` (up-time) has come. False when a
// stop signal arrived first; it is reported once and remembered, and from
// then on a second one ends the program at once.
class CStopWatch {
public:
    explicit CStopWatch(CConsole& console) : m_console(console) {}

    bool WaitUntil(uint64_t deadlineMs, const std::function<bool()>& done = {}) {
        for (;;) {
            if (m_nSignal != 0) {
                return false;
            }
            if (done && done()) {
                return true;
            }
            const uint64_t now = NowMs();
            if (now >= deadlineMs) {
                return true;
            }
            // Short slices: `done` is polled, not signalled.
            Take(hostprog::WaitStopSignal(
                static_cast<int>(std::min<uint64_t>(deadlineMs - now, 20))));
        }
    }
    // Before the module is stopped: a signal that came meanwhile is noted, and
    // any further one ends the program at once, since stopping the module may
    // take as long as its longest scheduled wait.
    void EnterShutdown() {
        if (m_nSignal == 0) {
            Take(hostprog::WaitStopSignal(0));
        }
        hostprog::ArmImmediateExit();
    }
    bool Stopped() const { return m_nSignal != 0; }
    int Signal() const { return m_nSignal; }

private:
    void Take(int signal) {
        if (signal == 0 || m_nSignal != 0) {
            return;
        }
        m_console.Print("udptrans-host: %s received, shutting down (again: at once)",
                        hostprog::StopSignalName(signal));
        m_nSignal = signal;
        hostprog::ArmImmediateExit();
    }

    CConsole& m_console;
    int m_nSignal = 0;
};

// The store's values as the framework lists them. GetParam answers the target
// addresses with nothing, so the store is the only place to learn them.
std::map<std::string, std::string> StoreValues(CAbstractUserModule& module) {
    std::map<std::string, std::string> values;
    auto list = std::make_unique<PARAM_VALUE_INFO_LIST>();
    if (module.GetAllParam(list.get()) != 0) {
        return values;
    }
    const int count = std::min(list->nNum, ALGO_LIST_MAX);
    for (int i = 0; i < count; ++i) {
        const PARAM_VALUE_INFO& info = list->stParam[i];
        values[std::string(info.szKey, strnlen(info.szKey, sizeof(info.szKey)))] =
            std::string(info.szValue, strnlen(info.szValue, sizeof(info.szValue)));
    }
    return values;
}

// The value the module itself reports (the engine's ports, the store's text
// for the rest); `fallback` when it answers nothing.
std::string ModuleValue(CAbstractUserModule& module, const char* key,
                        const std::string& fallback = {}) {
    char value[256] = {};
    int length = 0;
    if (module.GetParam(key, value, sizeof(value), &length) != 0 || value[0] == '\0') {
        return fallback;
    }
    return value;
}

int ToInt(const std::string& text, int fallback = 0) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? fallback : static_cast<int>(value);
}

bool ParseIpv4(const std::string& text, uint32_t& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return false;
    }
    address = ntohl(parsed.s_addr);
    return true;
}

bool IsLoopback(uint32_t address) {
    return (address >> 24) == 127;
}

void SendPing(uint16_t port, CConsole& console) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        console.Print("udptrans-host: no socket for the start-up PING: %s", std::strerror(errno));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    static const char kPing[] = "PING";
    if (sendto(fd, kPing, sizeof(kPing) - 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0) {
        console.Print("udptrans-host: start-up PING not sent: %s", std::strerror(errno));
    }
    close(fd);
}

// When the last answer may still be on its way: the scheduled delay after the
// last trigger while scheduled transmission is on, the settle margin after the
// last hand-over in any case.
uint64_t DrainDeadline(CAbstractUserModule& module, const hostprog::CFrameDriver& driver) {
    uint64_t deadline = driver.LastProcessMs() + kSettleMs;
    const uint64_t lastTrigger = driver.LastTriggerMs();
    if (lastTrigger != 0 &&
        ToInt(ModuleValue(module, UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE)) != 0) {
        const uint64_t delay = static_cast<uint64_t>(
            std::max(0, ToInt(ModuleValue(module, UDPTRANS_PARAM_SCHEDULED_TRANS_TIME))));
        deadline = std::max(deadline, lastTrigger + delay + kSettleMs);
    }
    return deadline;
}

struct RunCounts {
    hostprog::FrameStats stats;
    bool bListenerOn = false;
    uint64_t nArrived = 0;
    uint64_t nAnswered = 0;
    uint64_t nIgnored = 0;
};

// The one line that tells how the run went. "Queued" is what the module
// accepted (status 1): whether it left the machine only the listener can say.
std::string SummaryLine(const RunCounts& counts) {
    const hostprog::FrameStats& stats = counts.stats;
    uint64_t refusedTotal = 0;
    std::string byCode;
    for (const auto& [code, count] : stats.mapRefused) {
        refusedTotal += count;
        byCode += (byCode.empty() ? "" : ", ") + apps::HexCode(code) + " " +
                  apps::ResultReason(code) + ": " + std::to_string(count);
    }
    std::string line = "udptrans-host: summary: " + std::to_string(stats.nHandedOver) +
                       " frame(s) handed over, " + std::to_string(stats.nStatus1) +
                       " queued by the module (status 1), " + std::to_string(stats.nStatus0) +
                       " with status 0, " + std::to_string(refusedTotal) + " refused";
    if (!byCode.empty()) {
        line += " (" + byCode + ")";
    }
    if (stats.nThrew != 0) {
        line += ", " + std::to_string(stats.nThrew) + " ended with an exception";
    }
    line += counts.bListenerOn
                ? ", " + std::to_string(counts.nArrived) + " datagram(s) arrived at the listener"
                : std::string(", listener off");
    line += ", " + std::to_string(counts.nAnswered) + " command(s) answered, " +
            std::to_string(counts.nIgnored) + " datagram(s) ignored (not commands)";
    if (stats.nTriggersRefused != 0) {
        line += ", " + std::to_string(stats.nTriggersRefused) + " trigger(s) refused (" +
                std::to_string(hostprog::kMaxPendingTriggers) + " frames waiting)";
    }
    return line;
}

const char* HeartbeatModeText(int mode) {
    switch (mode) {
        case 0:
            return "off";
        case 1:
            return "from the module port";
        case 2:
            return "from the heartbeat port";
        default:
            return "unknown mode";
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Says on standard error what the module's start does not: a stored target
// address that keeps its transport from starting, and a host port that was
// taken and replaced by the next free one (the store now holds that one).
// True when the transport can have started.
bool WarnAboutStart(const std::map<std::string, std::string>& store,
                    const hostprog::RequestedPorts& requested, int hostPort, int hostHbPort) {
    bool usable = true;
    for (const char* key : {UDPTRANS_PARAM_TARGET_IP, UDPTRANS_PARAM_TARGET_HEARTBEAT_IP}) {
        const auto it = store.find(key);
        const std::string value = it == store.end() ? std::string() : it->second;
        if (!hostprog::TargetAddressUsable(value)) {
            Fail(std::string("warning: stored ") + key + " \"" + EscapeText(value) +
                 "\" is not a usable address: the module's transport did not start and "
                 "nothing will be sent; set it with --set " +
                 key + "=<address>");
            usable = false;
        }
    }
    if (!usable) {
        return false;
    }
    auto stepped = [](const char* key, const std::optional<int>& wanted, int bound) {
        if (wanted && bound > 0 && *wanted != bound) {
            Fail(std::string("warning: ") + key + " " + std::to_string(*wanted) +
                 " was taken by another socket; the module bound " + std::to_string(bound) +
                 " instead and saved it in the store");
        }
    };
    stepped(UDPTRANS_PARAM_HOST_PORT, requested.nHostPort, hostPort);
    stepped(UDPTRANS_PARAM_HOST_HEARTBEAT_PORT, requested.nHostHbPort, hostHbPort);
    return true;
}

// Where each parameter's value came from, by key: "--set" (this run's command
// line), "store" (a stored value other than the default: an earlier --set, a
// remote SET, an edited file), "bound" (a host port that was taken, so the
// module bound the next free one and stored it) or "default".
std::map<std::string, std::string> ParamSources(const hostprog::RequestedPorts& before,
                                                const HostOptions& options,
                                                const std::map<std::string, std::string>& store) {
    std::map<std::string, std::string> sources;
    for (const hostprog::ParamInfo& row : hostprog::ParamTable()) {
        const std::string key = row.pKey;
        const auto now = store.find(key);
        const std::string value = now == store.end() ? std::string() : now->second;
        const auto stored = before.mapStored.find(key);
        const int wanted = key == UDPTRANS_PARAM_HOST_PORT ? before.nHostPort.value_or(0)
                           : key == UDPTRANS_PARAM_HOST_HEARTBEAT_PORT
                               ? before.nHostHbPort.value_or(0)
                               : 0;
        std::string source = "default";
        if (std::any_of(options.vecSet.begin(), options.vecSet.end(),
                        [&key](const auto& set) { return set.first == key; })) {
            source = "--set";
        } else if (wanted != 0 && std::to_string(wanted) != value) {
            source = "bound (" + std::to_string(wanted) + " was taken)";
        } else if (stored != before.mapStored.end() && value != row.strDefault) {
            source = "store";
        }
        sources[key] = source;
    }
    return sources;
}

// --show-params: the thirteen keys, their values, ranges and sources.
void ShowParams(const std::map<std::string, std::string>& store,
                const std::map<std::string, std::string>& sources) {
    std::printf("%-21s %-17s %-17s %-25s %s\n", "KEY", "VALUE", "DEFAULT", "RANGE", "FROM");
    for (const hostprog::ParamInfo& row : hostprog::ParamTable()) {
        const auto value = store.find(row.pKey);
        std::printf("%-21s %-17s %-17s %-25s %s\n", row.pKey,
                    ("\"" + EscapeText(value == store.end() ? std::string() : value->second) + "\"")
                        .c_str(),
                    ("\"" + EscapeText(row.strDefault) + "\"").c_str(), row.strRange.c_str(),
                    sources.at(row.pKey).c_str());
    }
    std::fflush(stdout);
}

// The ports and addresses that are not the defaults, with where they came
// from: --set values persist and a stepped port is written back, so a later
// run may send elsewhere than the defaults say.
std::string NotFromDefaults(const std::map<std::string, std::string>& store,
                            const std::map<std::string, std::string>& sources) {
    std::string text;
    for (const char* key :
         {UDPTRANS_PARAM_HOST_IP, UDPTRANS_PARAM_HOST_PORT, UDPTRANS_PARAM_TARGET_IP,
          UDPTRANS_PARAM_TARGET_PORT, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT,
          UDPTRANS_PARAM_TARGET_HEARTBEAT_IP, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT}) {
        const std::string& source = sources.at(key);
        if (source != "default") {
            const auto value = store.find(key);
            text += (text.empty() ? "" : ", ") + std::string(key) + "=" +
                    EscapeText(value == store.end() ? std::string() : value->second) + " (" +
                    source + ")";
        }
    }
    return text;
}

// Calls `fn` on destruction unless released: the module is stopped in order
// also when the run leaves early.
class CScopeExit {
public:
    explicit CScopeExit(std::function<void()> fn) : m_fn(std::move(fn)) {}
    ~CScopeExit() {
        if (m_fn) {
            m_fn();
        }
    }
    CScopeExit(const CScopeExit&) = delete;
    CScopeExit& operator=(const CScopeExit&) = delete;

private:
    std::function<void()> m_fn;
};

int Run(const HostOptions& options) {
    CConsole console(stdout, options.bQuiet);
    CConsole errors(stderr);
    const auto startTime = std::chrono::steady_clock::now();
    const std::string modulePath = options.strModulePath.empty()
                                       ? hostprog::CModuleLibrary::DefaultPath()
                                       : options.strModulePath;
    const bool ringLog = options.eLogMode == hostprog::LogMode::kRing;
    const std::string storeShown = EscapeText(options.strStoreDir);

    std::error_code fsError;
    std::filesystem::create_directories(options.strStoreDir, fsError);
    if (fsError) {
        Fail("cannot create store folder " + storeShown + ": " + fsError.message());
        return kExitFailure;
    }

    // In ring-buffer mode the logging facility's drain thread runs the
    // module's code until the process ends and cannot be stopped, so the
    // object must stay mapped: it is loaded resident (RTLD_NODELETE, and the
    // library never calls dlclose on it).
    hostprog::CModuleLibrary library;
    std::string error;
    if (!library.Load(modulePath, ringLog, error)) {
        Fail(EscapeText(error));
        return kExitFailure;
    }
    const hostprog::ModuleLogApi& log = library.Log();
    const int logInit = log.prtInit(ringLog ? 1 : 0, ringLog ? kLogRingUnits : 0,
                                    ringLog ? SpawnLogThread : nullptr);
    if (logInit != 0) {
        errors.Print("udptrans-host: log set-up returned %d, module log lines may be lost",
                     logInit);
    }
    // The module's lines come through the relay to standard error, escaped;
    // the colour it puts around them means something only on a terminal.
    hostprog::CLogRelay relay(errors, isatty(STDERR_FILENO) == 1);
    relay.Install(log, options.nModuleId, options.nLogLevel);

    // Read before the start, which writes the bound ports back into the store.
    const hostprog::RequestedPorts requested = hostprog::ReadRequestedPorts(
        options.strStoreDir + "/udptrans.param", FolderOf(modulePath) + "/udptrans.pdesc");

    int exitCode = kExitOk;
    int stopSignal = 0;
    {
        zerran_app::CScopedComponents components;
        if (components.Result() != 0) {
            Fail("cannot publish the application components: " +
                 apps::DescribeResult(components.Result()));
            return kExitFailure;
        }
        components.Trigger().SetTriggerMode(options.eTrigger == hostprog::TriggerMode::kSoft ? 1
                                                                                             : 0);
        components.Image().SetTestImage(options.bTestImage ? 1 : 0);

        // The proxy's worker thread is made on first use.
        CCommProxy* proxy = nullptr;
        try {
            proxy = &CCommProxy::getInstance();
        } catch (const std::system_error& e) {
            Fail(std::string("cannot start the communication proxy's thread: ") + e.what());
            return kExitFailure;
        }

        CAbstractUserModule* module = library.Create()();
        if (module == nullptr) {
            Fail("CreateModule returned no module");
            return kExitFailure;
        }
        module->SetModuleId(options.nModuleId);

        // Handler and driver exist before the module starts: a command may
        // arrive as soon as the module has bound its port.
        hostprog::CFrameDriver driver(*module, components.Trigger(), options, console);
        hostprog::CCommandHandler handler(*module, driver, options.bAllowRemoteSet,
                                          options.bVerbose, console);
        // Shutdown, in the order the module needs: no more frames; no more
        // commands that could reach the module; then the module itself. Also
        // run when the run leaves early (a failure, an exception).
        bool moduleGone = false;
        auto stopModule = [&] {
            if (moduleGone) {
                return;
            }
            moduleGone = true;
            driver.Stop();
            proxy->SetCommandHandler(nullptr);
            if (!proxy->WaitIdle(kProxyIdleMs)) {
                errors.Print("udptrans-host: the proxy is still busy after %d ms", kProxyIdleMs);
            }
            library.Destroy()(nullptr, module);
            module = nullptr;
            // Records that arrived before the module stopped hold reply
            // callbacks that reference the module's endpoint; the proxy drops
            // them (no handler any more), and only then may the module's code
            // go away.
            if (!proxy->WaitIdle(kProxyIdleMs)) {
                errors.Print("udptrans-host: the proxy is still busy after %d ms", kProxyIdleMs);
            }
        };
        CScopeExit stopOnExit(stopModule);
        proxy->SetCommandHandler(
            [&handler](const CCommProxy::MessageInfo& request, std::string& reply) {
                return handler.Handle(request, reply);
            });

        hostprog::CDatagramListener listener(console, startTime);
        CStopWatch watch(console);
        RunCounts counts;
        bool started = false;

        // The module lets the store's exceptions out of its start: a failed
        // start like any other.
        try {
            const int startResult = module->SetPwd(options.strStoreDir.c_str());
            if (startResult != 0) {
                Fail("module start with store " + storeShown +
                     " failed: " + apps::DescribeResult(startResult));
                exitCode = kExitFailure;
            }
        } catch (const std::exception& e) {
            Fail("module start with store " + storeShown +
                 " failed with an exception: " + EscapeText(e.what()));
            exitCode = kExitFailure;
        }
        for (size_t i = 0; exitCode == kExitOk && i < options.vecSet.size(); ++i) {
            const auto& [key, value] = options.vecSet[i];
            const std::string shown = EscapeText(key) + "=" + EscapeText(value);
            try {
                const int result =
                    module->SetParam(key.c_str(), value.c_str(), static_cast<int>(value.size()));
                if (result != 0) {
                    Fail(shown + " refused: " + apps::DescribeResult(result));
                    exitCode = kExitRefused;
                }
            } catch (const std::exception& e) {
                Fail(shown + " refused with an exception: " + EscapeText(e.what()));
                exitCode = kExitRefused;
            }
        }

        if (exitCode == kExitOk)
            do {
                started = !options.bShowParams;
                const auto store = StoreValues(*module);
                auto storeValue = [&store](const char* key) {
                    const auto it = store.find(key);
                    return it == store.end() ? std::string() : it->second;
                };
                const std::string targetIp = storeValue(UDPTRANS_PARAM_TARGET_IP);
                const std::string hbIp = storeValue(UDPTRANS_PARAM_TARGET_HEARTBEAT_IP);
                const int hostPort = ToInt(ModuleValue(*module, UDPTRANS_PARAM_HOST_PORT));
                const int hostHbPort =
                    ToInt(ModuleValue(*module, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT));
                const int targetPort = ToInt(ModuleValue(*module, UDPTRANS_PARAM_TARGET_PORT));
                const int hbPort =
                    ToInt(ModuleValue(*module, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT));
                const int hbMode = ToInt(storeValue(UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE));
                const auto sources = ParamSources(requested, options, store);
                if (options.bShowParams) {
                    ShowParams(store, sources);
                    break;  // no frames: the module is stopped in order below
                }

                console.Print("udptrans-host: module %s, store %s", EscapeText(modulePath).c_str(),
                              storeShown.c_str());
                console.Print(
                    "udptrans-host: results from port %d to %s:%d; heartbeat %s, \"%s\" "
                    "every %s s (heartbeat port %d to %s:%d)",
                    hostPort, EscapeText(targetIp).c_str(), targetPort, HeartbeatModeText(hbMode),
                    EscapeText(storeValue(UDPTRANS_PARAM_HEARTBEAT_TEXT)).c_str(),
                    EscapeText(storeValue(UDPTRANS_PARAM_HEARTBEAT_INTERVAL)).c_str(), hostHbPort,
                    EscapeText(hbIp).c_str(), hbPort);
                const std::string notDefault = NotFromDefaults(store, sources);
                if (!notDefault.empty()) {
                    console.Print("udptrans-host: not the defaults: %s", notDefault.c_str());
                }
                WarnAboutStart(store, requested, hostPort, hostHbPort);
                const std::string payload = options.bPayloadIsFile
                                                ? options.strPayload
                                                : hostprog::ExpandPayload(options.strPayload, 0, 0);
                if (payload.size() > hostprog::kResultBlockMax) {
                    console.Print(
                        "udptrans-host: the result block is %zu bytes; the module sends "
                        "only its first %zu bytes",
                        payload.size(), hostprog::kResultBlockMax);
                }

                // Listen on each target that this machine can receive on.
                std::string listening;
                auto addTarget = [&](const std::string& ip, int port) {
                    uint32_t address = 0;
                    if (!ParseIpv4(ip, address) || port <= 0 || port > 65535) {
                        return;
                    }
                    const bool wanted =
                        options.eListen == hostprog::ListenMode::kOn ||
                        (options.eListen == hostprog::ListenMode::kAuto && IsLoopback(address));
                    if (!wanted) {
                        return;
                    }
                    const int bindError = listener.Add(address, static_cast<uint16_t>(port));
                    if (bindError != 0) {
                        errors.Print("udptrans-host: cannot listen on %s:%d: %s", ip.c_str(), port,
                                     std::strerror(bindError));
                        return;
                    }
                    listening += (listening.empty() ? "" : ", ") + ip + ":" + std::to_string(port);
                };
                addTarget(targetIp, targetPort);
                if (hbIp != targetIp || hbPort != targetPort) {
                    addTarget(hbIp, hbPort);
                }

                const char* mode = options.eTrigger == hostprog::TriggerMode::kSoft
                                       ? "soft-triggered"
                                       : "free-running";
                console.Print(
                    "udptrans-host: %d frames at %g fps, %s, then %g s; %s", options.nFrames,
                    options.dFps, mode, options.dDurationSec,
                    listening.empty() ? "not listening" : ("listening on " + listening).c_str());
                console.Print(
                    "udptrans-host: try  echo PING | nc -u -w1 127.0.0.1 %d   (Ctrl-C stops)",
                    hostPort);
                counts.bListenerOn = !listener.Empty();
                hostprog::CDatagramListener::Format format;
                format.bJson = options.bJson;
                format.bQuiet = options.bQuiet;
                format.strHeartbeat = storeValue(UDPTRANS_PARAM_HEARTBEAT_TEXT);
                listener.SetFormat(format);
                if (!listener.Start()) {
                    Fail("cannot start the listener's thread; stopping");
                    exitCode = kExitFailure;
                } else {
                    if (options.bPing && hostPort > 0) {
                        SendPing(static_cast<uint16_t>(hostPort), errors);
                    }
                    if (!driver.Start()) {
                        Fail("cannot start the processing thread; stopping");
                        exitCode = kExitFailure;
                    }
                }

                // Timed frames, then what they left queued, then the extra time.
                if (exitCode == kExitOk &&
                    watch.WaitUntil(UINT64_MAX, [&driver] { return driver.Idle(); }) &&
                    watch.WaitUntil(DrainDeadline(*module, driver))) {
                    watch.WaitUntil(NowMs() +
                                    static_cast<uint64_t>(options.dDurationSec * 1000.0 + 0.5));
                }
            } while (false);

        // No more frames; the answers to what the last ones triggered may
        // still be on their way.
        driver.Stop();
        if (started && exitCode == kExitOk && !watch.Stopped()) {
            watch.WaitUntil(DrainDeadline(*module, driver));
        }
        watch.EnterShutdown();
        stopModule();
        listener.Stop();
        stopSignal = watch.Signal();

        if (started && exitCode == kExitOk) {
            counts.stats = driver.Stats();
            counts.nArrived = listener.Count();
            counts.nAnswered = handler.Answered();
            counts.nIgnored = handler.Ignored();
            console.Print("%s", SummaryLine(counts).c_str());
        }
    }  // components withdrawn here, after the module that looked them up is gone
    relay.Remove();

    if (ringLog) {
        // Give the drain thread time to write what the shutdown logged; it
        // moves one line per millisecond and keeps running after main returns.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    library.Unload();
    // An interrupted run says so, as a shell's child ended by the signal would.
    if (exitCode == kExitOk && stopSignal != 0) {
        return 128 + stopSignal;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    std::string error;
    try {
        switch (hostprog::ParseOptions(argc, argv, options, error)) {
            case hostprog::ParseResult::kHelp:
                std::fputs(hostprog::UsageText("udptrans-host").c_str(), stdout);
                return kExitOk;
            case hostprog::ParseResult::kVersion:
                std::printf("%s\n", hostprog::VersionText().c_str());
                return kExitOk;
            case hostprog::ParseResult::kError:
                std::fprintf(stderr, "udptrans-host: %s\nTry 'udptrans-host --help'.\n",
                             error.c_str());
                return kExitUsage;
            case hostprog::ParseResult::kRun:
                break;
        }
        // Blocked before any thread exists, so every thread inherits the mask
        // and the signals wait for the main thread.
        hostprog::BlockStopSignals();
        // A closed output pipe must not kill the program in the middle of shutdown.
        signal(SIGPIPE, SIG_IGN);
        return Run(options);
    } catch (const std::exception& e) {
        // Resources of the host itself (memory, threads): the run's scopes
        // have stopped what they started on the way out.
        std::fprintf(stderr, "udptrans-host: stopped: %s\n", EscapeText(e.what()).c_str());
        return kExitFailure;
    }
}
