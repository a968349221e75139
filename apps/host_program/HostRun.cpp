#include "HostRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "ParamTable.h"
#include "ResultCodes.h"
#include "TextEscape.h"
#include "algo/Thread.h"
#include "udptrans/udptrans_host.h"

namespace hostprog {
namespace {

using apps::EscapeText;

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

}  // namespace

CHostRun::CHostRun(const HostOptions& options)
    : m_options(options),
      m_console(stdout, options.bQuiet),
      m_errors(stderr),
      m_startTime(std::chrono::steady_clock::now()),
      m_strModulePath(options.strModulePath.empty() ? CModuleLibrary::DefaultPath()
                                                    : options.strModulePath),
      m_bRingLog(options.eLogMode == LogMode::kRing),
      m_strStoreShown(EscapeText(options.strStoreDir)),
      // The module's lines come through the relay to standard error, escaped;
      // the colour it puts around them means something only on a terminal.
      m_relay(m_errors, isatty(STDERR_FILENO) == 1),
      m_listener(m_console, m_startTime),
      m_watch(m_console) {}

CHostRun::~CHostRun() {
    StopModule();
    m_listener.Stop();
    m_handler.reset();
    m_driver.reset();
    // Withdrawn only now: the module looked them up until it was destroyed.
    m_components.reset();
    m_relay.Remove();
    if (m_bRingLog && m_library.Loaded()) {
        // Give the drain thread time to write what the shutdown logged; it
        // moves one line per millisecond and keeps running after main returns.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::string error;
    if (!m_library.Unload(kProxyIdleMs, error)) {
        m_errors.Print("udptrans-host: %s", EscapeText(error).c_str());
    }
}

int CHostRun::Run() {
    if (!Load() || !Create()) {
        return kExitFailure;
    }
    int exitCode = Start();
    if (exitCode == kExitOk) {
        exitCode = Drive();
    }

    // No more frames; the answers to what the last ones triggered may still
    // be on their way.
    m_driver->Stop();
    if (m_bStarted && exitCode == kExitOk && !m_watch.Stopped()) {
        m_watch.WaitUntil(DrainDeadline(*m_pModule, *m_driver));
    }
    m_watch.EnterShutdown();
    StopModule();
    m_listener.Stop();
    if (m_bStarted && exitCode == kExitOk) {
        PrintSummary();
    }
    // An interrupted run says so, as a shell's child ended by the signal would.
    if (exitCode == kExitOk && m_watch.Signal() != 0) {
        return 128 + m_watch.Signal();
    }
    return exitCode;
}

bool CHostRun::Load() {
    std::error_code fsError;
    std::filesystem::create_directories(m_options.strStoreDir, fsError);
    if (fsError) {
        Fail("cannot create store folder " + m_strStoreShown + ": " + fsError.message());
        return false;
    }

    // In ring-buffer mode the logging facility's drain thread runs the
    // module's code until the process ends and cannot be stopped, so the
    // object must stay mapped: it is loaded resident (RTLD_NODELETE, and the
    // library never calls dlclose on it).
    std::string error;
    if (!m_library.Load(m_strModulePath, m_bRingLog, error)) {
        Fail(EscapeText(error));
        return false;
    }
    const ModuleLogApi& log = m_library.Log();
    const int logInit = log.prtInit(m_bRingLog ? 1 : 0, m_bRingLog ? kLogRingUnits : 0,
                                    m_bRingLog ? SpawnLogThread : nullptr);
    if (logInit != 0) {
        m_errors.Print("udptrans-host: log set-up returned %d, module log lines may be lost",
                       logInit);
    }
    m_relay.Install(log, m_options.nModuleId, m_options.nLogLevel);

    // Read before the start, which writes the bound ports back into the store.
    m_requested = ReadRequestedPorts(m_options.strStoreDir + "/udptrans.param",
                                     FolderOf(m_strModulePath) + "/udptrans.pdesc");
    return true;
}

bool CHostRun::Create() {
    zerran_app::CScopedComponents& components = m_components.emplace();
    if (components.Result() != 0) {
        Fail("cannot publish the application components: " +
             apps::DescribeResult(components.Result()));
        return false;
    }
    components.Trigger().SetTriggerMode(m_options.eTrigger == TriggerMode::kSoft ? 1 : 0);
    components.Image().SetTestImage(m_options.bTestImage ? 1 : 0);

    // The proxy's worker thread is made on first use.
    try {
        m_pProxy = &CCommProxy::getInstance();
    } catch (const std::system_error& e) {
        Fail(std::string("cannot start the communication proxy's thread: ") + e.what());
        return false;
    }

    m_pModule = m_library.Create()();
    if (m_pModule == nullptr) {
        Fail("CreateModule returned no module");
        return false;
    }
    m_pModule->SetModuleId(m_options.nModuleId);

    // Handler and driver exist before the module starts: a command may
    // arrive as soon as the module has bound its port.
    CFrameDriver& driver = m_driver.emplace(*m_pModule, components.Trigger(), m_options, m_console);
    CCommandHandler& handler = m_handler.emplace(*m_pModule, driver, m_options.bAllowRemoteSet,
                                                 m_options.bVerbose, m_console);
    m_pProxy->SetCommandHandler(
        [&handler](const CCommProxy::MessageInfo& request, std::string& reply) {
            return handler.Handle(request, reply);
        });
    return true;
}

int CHostRun::Start() {
    // The module lets the store's exceptions out of its start: a failed start
    // like any other.
    try {
        const int startResult = m_pModule->SetPwd(m_options.strStoreDir.c_str());
        if (startResult != 0) {
            Fail("module start with store " + m_strStoreShown +
                 " failed: " + apps::DescribeResult(startResult));
            return kExitFailure;
        }
    } catch (const std::exception& e) {
        Fail("module start with store " + m_strStoreShown +
             " failed with an exception: " + EscapeText(e.what()));
        return kExitFailure;
    }
    for (const auto& [key, value] : m_options.vecSet) {
        const std::string shown = EscapeText(key) + "=" + EscapeText(value);
        try {
            const int result =
                m_pModule->SetParam(key.c_str(), value.c_str(), static_cast<int>(value.size()));
            if (result != 0) {
                Fail(shown + " refused: " + apps::DescribeResult(result));
                return kExitRefused;
            }
        } catch (const std::exception& e) {
            Fail(shown + " refused with an exception: " + EscapeText(e.what()));
            return kExitRefused;
        }
    }
    return kExitOk;
}

int CHostRun::Drive() {
    CAbstractUserModule& module = *m_pModule;
    m_bStarted = !m_options.bShowParams;
    const auto store = StoreValues(module);
    auto storeValue = [&store](const char* key) {
        const auto it = store.find(key);
        return it == store.end() ? std::string() : it->second;
    };
    const std::string targetIp = storeValue(UDPTRANS_PARAM_TARGET_IP);
    const std::string hbIp = storeValue(UDPTRANS_PARAM_TARGET_HEARTBEAT_IP);
    const int hostPort = ToInt(ModuleValue(module, UDPTRANS_PARAM_HOST_PORT));
    const int hostHbPort = ToInt(ModuleValue(module, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT));
    const int targetPort = ToInt(ModuleValue(module, UDPTRANS_PARAM_TARGET_PORT));
    const int hbPort = ToInt(ModuleValue(module, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT));
    const int hbMode = ToInt(storeValue(UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE));
    const auto sources = ParamSources(m_requested, m_options, store);
    if (m_options.bShowParams) {
        ShowParams(store, sources);
        return kExitOk;  // no frames: the module is stopped in order
    }

    m_console.Print("udptrans-host: module %s, store %s", EscapeText(m_strModulePath).c_str(),
                    m_strStoreShown.c_str());
    m_console.Print(
        "udptrans-host: results from port %d to %s:%d; heartbeat %s, \"%s\" "
        "every %s s (heartbeat port %d to %s:%d)",
        hostPort, EscapeText(targetIp).c_str(), targetPort, HeartbeatModeText(hbMode),
        EscapeText(storeValue(UDPTRANS_PARAM_HEARTBEAT_TEXT)).c_str(),
        EscapeText(storeValue(UDPTRANS_PARAM_HEARTBEAT_INTERVAL)).c_str(), hostHbPort,
        EscapeText(hbIp).c_str(), hbPort);
    const std::string notDefault = NotFromDefaults(store, sources);
    if (!notDefault.empty()) {
        m_console.Print("udptrans-host: not the defaults: %s", notDefault.c_str());
    }
    WarnAboutStart(store, m_requested, hostPort, hostHbPort);
    const std::string payload =
        m_options.bPayloadIsFile ? m_options.strPayload : ExpandPayload(m_options.strPayload, 0, 0);
    if (payload.size() > kResultBlockMax) {
        m_console.Print(
            "udptrans-host: the result block is %zu bytes; the module sends only its first %zu "
            "bytes",
            payload.size(), kResultBlockMax);
    }

    const std::string listening = Listen(targetIp, targetPort, hbIp, hbPort);
    const char* mode = m_options.eTrigger == TriggerMode::kSoft ? "soft-triggered" : "free-running";
    m_console.Print("udptrans-host: %d frames at %g fps, %s, then %g s; %s", m_options.nFrames,
                    m_options.dFps, mode, m_options.dDurationSec,
                    listening.empty() ? "not listening" : ("listening on " + listening).c_str());
    m_console.Print("udptrans-host: try  echo PING | nc -u -w1 127.0.0.1 %d   (Ctrl-C stops)",
                    hostPort);
    CDatagramListener::Format format;
    format.bJson = m_options.bJson;
    format.bQuiet = m_options.bQuiet;
    format.strHeartbeat = storeValue(UDPTRANS_PARAM_HEARTBEAT_TEXT);
    m_listener.SetFormat(format);
    if (!m_listener.Start()) {
        Fail("cannot start the listener's thread; stopping");
        return kExitFailure;
    }
    if (m_options.bPing && hostPort > 0) {
        SendPing(static_cast<uint16_t>(hostPort), m_errors);
    }
    if (!m_driver->Start()) {
        Fail("cannot start the processing thread; stopping");
        return kExitFailure;
    }

    // Timed frames, then what they left queued, then the extra time.
    CFrameDriver& driver = *m_driver;
    if (m_watch.WaitUntil(UINT64_MAX, [&driver] { return driver.Idle(); }) &&
        m_watch.WaitUntil(DrainDeadline(module, driver))) {
        m_watch.WaitUntil(NowMs() + static_cast<uint64_t>(m_options.dDurationSec * 1000.0 + 0.5));
    }
    return kExitOk;
}

std::string CHostRun::Listen(const std::string& targetIp, int targetPort, const std::string& hbIp,
                             int hbPort) {
    std::string listening;
    auto addTarget = [&](const std::string& ip, int port) {
        uint32_t address = 0;
        if (!ParseIpv4(ip, address) || port <= 0 || port > 65535) {
            return;
        }
        const bool wanted = m_options.eListen == ListenMode::kOn ||
                            (m_options.eListen == ListenMode::kAuto && IsLoopback(address));
        if (!wanted) {
            return;
        }
        const int bindError = m_listener.Add(address, static_cast<uint16_t>(port));
        if (bindError != 0) {
            m_errors.Print("udptrans-host: cannot listen on %s:%d: %s", ip.c_str(), port,
                           std::strerror(bindError));
            return;
        }
        listening += (listening.empty() ? "" : ", ") + ip + ":" + std::to_string(port);
    };
    addTarget(targetIp, targetPort);
    if (hbIp != targetIp || hbPort != targetPort) {
        addTarget(hbIp, hbPort);
    }
    return listening;
}

void CHostRun::StopModule() {
    if (m_pModule == nullptr) {
        return;
    }
    if (m_driver) {
        m_driver->Stop();
    }
    m_pProxy->SetCommandHandler(nullptr);
    if (!m_pProxy->WaitIdle(kProxyIdleMs)) {
        m_errors.Print("udptrans-host: the proxy is still busy after %d ms", kProxyIdleMs);
    }
    m_library.Destroy()(nullptr, m_pModule);
    m_pModule = nullptr;
    // Records that arrived before the module stopped hold reply callbacks that
    // reference the module's endpoint; the proxy drops them (no handler any
    // more), which runs the module's code: done before the relay goes, and
    // before the module's code may go away (Unload waits for it too).
    if (!m_pProxy->WaitIdle(kProxyIdleMs)) {
        m_errors.Print("udptrans-host: the proxy is still busy after %d ms", kProxyIdleMs);
    }
}

void CHostRun::PrintSummary() {
    RunCounts counts;
    counts.stats = m_driver->Stats();
    counts.bListenerOn = !m_listener.Empty();
    counts.nArrived = m_listener.Count();
    counts.nAnswered = m_handler->Answered();
    counts.nIgnored = m_handler->Ignored();
    m_console.Print("%s", SummaryLine(counts).c_str());
}

}  // namespace hostprog
