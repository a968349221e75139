// CHostRun: one run of udptrans-host, from loading the module to unloading
// it. Run() loads the module's shared object, starts the module with a working
// folder that holds its parameter store, publishes the application's trigger
// source and image-process component, answers commands that arrive on the
// module's port, hands the module frames on one processing thread, prints what
// reaches the target ports and returns the exit status. The destructor shuts
// everything down in the order the module needs, also when the run leaves
// early (a failure, an exception).
//
// Threads: the main thread constructs, runs and destroys the object; it loads,
// starts, waits (for the frames, for signals) and shuts down. The processing
// thread (CFrameDriver), the listener thread (CDatagramListener) and the
// proxy's thread (CCommandHandler) do the rest. The stop signals are blocked
// in every thread and taken by the main thread (StopSignals.h), so no handler
// ever runs in the middle of module code.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "AppRegistry.h"
#include "CommandHandler.h"
#include "Console.h"
#include "DatagramListener.h"
#include "FrameDriver.h"
#include "HostOptions.h"
#include "LogRelay.h"
#include "ModuleLibrary.h"
#include "StartupChecks.h"
#include "StopSignals.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"

namespace hostprog {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;
constexpr int kExitUsage = 64;

class CHostRun {
public:
    explicit CHostRun(const HostOptions& options);
    // Shutdown, in the order the module needs: no more frames; no more
    // commands that could reach the module; then the module itself, once the
    // proxy holds nothing of it; the listener; the components it looked up;
    // the log relay; then its code.
    ~CHostRun();
    CHostRun(const CHostRun&) = delete;
    CHostRun& operator=(const CHostRun&) = delete;

    // The whole run; its exit status (kExit*, or 128 + N when signal N ended it).
    int Run();

private:
    // The store folder, the module's object, its logging facility and the
    // relay of its lines. False after one line on standard error.
    bool Load();
    // The components, the proxy, the module, the frame driver and the
    // command handler. False after one line on standard error.
    bool Create();
    // The module's start with its store, then the --set values; the status.
    int Start();
    // --show-params, or the banner, the listener, the frames and the waits
    // after them; the status.
    int Drive();
    // Listens on each target that this machine can receive on; the list.
    std::string Listen(const std::string& targetIp, int targetPort, const std::string& hbIp,
                       int hbPort);
    // Stops the driver, takes the handler off the proxy, destroys the module
    // and waits until the proxy holds none of its replies. Once only.
    void StopModule();
    void PrintSummary();

    const HostOptions& m_options;
    CConsole m_console;
    CConsole m_errors;
    const std::chrono::steady_clock::time_point m_startTime;
    const std::string m_strModulePath;
    const bool m_bRingLog;
    const std::string m_strStoreShown;

    CModuleLibrary m_library;
    CLogRelay m_relay;
    RequestedPorts m_requested;  // read before the start writes bound ports back
    std::optional<zerran_app::CScopedComponents> m_components;
    CCommProxy* m_pProxy = nullptr;
    CAbstractUserModule* m_pModule = nullptr;  // null once destroyed
    std::optional<CFrameDriver> m_driver;
    std::optional<CCommandHandler> m_handler;
    CDatagramListener m_listener;
    CStopWatch m_watch;
    bool m_bStarted = false;  // frames were to be driven (not --show-params)
};

}  // namespace hostprog
