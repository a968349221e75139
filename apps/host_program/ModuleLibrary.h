// CModuleLibrary: the module's shared object as the host sees it: loaded with
// dlopen, never linked, so that the program runs the module the way the
// camera application does and can be pointed at any build of it.
//
// Besides the factory, the object exports the logging facility that the
// module's own code writes through; the host configures it through the
// pointers resolved here, so that it sets the state of the copy the module
// really uses.
//
// The host program loads the module through it, and so do the tests,
// benchmarks and fuzzers (tests/support's ModuleLoader), so that the rule for
// unloading (only once the framework's proxy holds nothing of the module)
// lives here alone.
//
// Threads: load and unload on one thread; the resolved functions may be
// called from any thread while the object is loaded.
#pragma once

#include <cstdint>
#include <string>

#include "algo/AbstractUserModule.h"

namespace hostprog {

struct ModuleLogApi {
    int (*prtInit)(int mode, int units, int (*spawn)(const char*, void* (*)(void*))) = nullptr;
    void (*setPriority)(int id, int priority) = nullptr;
    void (*setMode)(int mode) = nullptr;
    unsigned int (*getLossCount)() = nullptr;
    void (*setCallback)(int level, int (*callback)(int id, int level, int flag, const char* line,
                                                   int length)) = nullptr;
};

class CModuleLibrary {
public:
    CModuleLibrary() = default;
    ~CModuleLibrary();  // unloads as Unload does, waiting kIdleWaitMs at most
    CModuleLibrary(const CModuleLibrary&) = delete;
    CModuleLibrary& operator=(const CModuleLibrary&) = delete;

    // Loads `path` and resolves the factory and the logging functions. With
    // `keepResident` the object is never unmapped, not even by Unload (for a
    // module whose code still runs on a thread that cannot be stopped).
    // False with a message in `error`.
    bool Load(const std::string& path, bool keepResident, std::string& error);

    // Unloads the object once the framework's proxy is idle: a reply callback
    // that the module queued must not outlive its code. The caller makes sure
    // first that no other code of the module runs or can be called any more
    // (the module destroyed, its threads gone). An object loaded to stay
    // resident is never unmapped. False, with the reason in `error`, when the
    // proxy is still busy after `idleMs` (the object then stays loaded) or
    // dlclose failed.
    bool Unload(int idleMs, std::string& error);

    bool Loaded() const { return m_fnCreate != nullptr; }
    CreateModuleFn Create() const { return m_fnCreate; }
    DestroyModuleFn Destroy() const { return m_fnDestroy; }
    const ModuleLogApi& Log() const { return m_stLog; }

    // Any other exported function, by name (null when it is not exported or
    // nothing is loaded).
    void* Symbol(const char* name) const;
    template <class Fn>
    Fn Sym(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }

    // ../lib/libudptrans.so relative to the running program's own folder,
    // which is right both in the build tree (bin/ beside lib/) and in an
    // install prefix.
    static std::string DefaultPath();

    static constexpr int kIdleWaitMs = 5000;

private:
    int Close();  // dlclose's result

    void* m_pHandle = nullptr;
    bool m_bResident = false;
    CreateModuleFn m_fnCreate = nullptr;
    DestroyModuleFn m_fnDestroy = nullptr;
    ModuleLogApi m_stLog;
};

}  // namespace hostprog
