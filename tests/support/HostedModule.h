// libudptrans.so as a host runs it, for benchmarks and fuzzers that want a
// started module and nothing else: loaded through ModuleLoader (silent), its
// parameter store written in a temporary folder of its own, created through
// the factory and started with SetPwd; stopped by DestroyModule and unloaded
// by the loader, which waits for the proxy to be idle first. Free of
// GoogleTest: failures come back as false with the reason in Error().
//
// Threads: one thread starts and stops it; the module's operations may be
// called from any thread the module allows while it is started.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ModuleLoader.h"
#include "TempDir.h"

namespace ts {

using StoreValues = std::vector<std::pair<std::string, std::string>>;

// Writes `values` into the store file `path` over what it holds (the
// description's defaults when there is no file yet). Empty when saved, else
// why not.
std::string WriteStoreFile(const std::string& path, const StoreValues& values);

// The usual start-up values: the two host ports, both targets on 127.0.0.1 at
// the given ports, the engine enabled, heartbeat and scheduled transmission
// off.
StoreValues LoopbackStore(uint16_t hostPort, uint16_t hostHbPort, uint16_t targetPort,
                          uint16_t targetHbPort);

class HostedModule {
public:
    HostedModule() = default;
    ~HostedModule() { Stop(); }
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    // Loads `path` (unless Loader() was loaded already, by a caller that
    // installs a log callback before the start), writes `values` into a fresh
    // store, creates the module with `moduleId` and starts it. False when any
    // step fails, or SetPwd does not return 0.
    bool Start(const StoreValues& values, int moduleId, const std::string& path = ModulePath());
    // Destroys the module (its engine stops and joins its tasks), then
    // unloads; false when the object had to stay loaded.
    bool Stop();

    CAbstractUserModule* Module() const { return m_module; }
    ModuleLoader& Loader() { return m_loader; }
    std::string StorePath() const { return m_dir.Path() + "/udptrans.param"; }
    const std::string& Error() const { return m_error; }

private:
    ModuleLoader m_loader;
    TempDir m_dir;
    CAbstractUserModule* m_module = nullptr;
    std::string m_error;
};

}  // namespace ts
