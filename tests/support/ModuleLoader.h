// libudptrans.so as a host sees it, for tests, hardening, fuzzing and
// benchmarks: the host program's loader (CModuleLibrary: loaded with dlopen,
// driven through the factory, unloaded only once the framework's proxy holds
// no callback of the module any more, so that no reply can run code that is
// gone) with the resolved functions at hand. Free of GoogleTest: failures
// come back as false with the reason in Error().
//
// Threads: load and unload on one thread; the resolved functions may be
// called from any thread while the object is loaded.
#pragma once

#include <string>

#include "ModuleLibrary.h"
#include "algo/AbstractUserModule.h"

namespace ts {

// The module built with this tree, and its description beside it.
std::string ModulePath();
std::string DescriptionPath();

class ModuleLoader {
public:
    using CreateFn = CAbstractUserModule* (*)();
    using DestroyFn = void (*)(void*, void*);
    using PriorityFn = void (*)(int, int);
    using CallbackFn = int (*)(int id, int level, int flag, const char* line, int length);
    using CallbackerFn = void (*)(int level, CallbackFn callback);

    ModuleLoader() = default;
    ~ModuleLoader() { Unload(); }
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // Loads `path` and resolves the factory and the logging functions. False
    // when the object cannot be loaded or lacks one of them.
    bool Load(const std::string& path = ModulePath());
    // Waits up to `idleMs` for the proxy to be idle, then unloads. False when
    // the proxy never became idle (the object then stays loaded, as unloading
    // it would leave a callback into freed code) or dlclose failed.
    bool Unload(int idleMs = 5000);
    bool Loaded() const { return m_library.Loaded(); }
    const std::string& Error() const { return m_error; }

    // Any other exported function, by name (null when it is not exported).
    template <typename Fn>
    Fn Sym(const char* name) const {
        return m_library.Sym<Fn>(name);
    }

    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    PriorityFn priority = nullptr;      // log_set_priority: thresholds of direct output
    CallbackerFn callbacker = nullptr;  // log_set_callbacker

private:
    hostprog::CModuleLibrary m_library;
    std::string m_error;
};

}  // namespace ts
