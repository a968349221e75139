#include "ModuleLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <system_error>

#include "FileCheck.h"
#include "algo/CommProxy.h"

namespace hostprog {
namespace {

// dlsym hands out data pointers; the module exports these names as functions
// of the given types, so the conversion is what the loader means.
template <class Fn>
bool Resolve(void* handle, const char* name, Fn& out, std::string& error) {
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char* why = dlerror();
        error = std::string("symbol ") + name + " not found: " + (why != nullptr ? why : "null");
        return false;
    }
    out = reinterpret_cast<Fn>(symbol);
    return true;
}

}  // namespace

CModuleLibrary::~CModuleLibrary() {
    std::string ignored;
    Unload(kIdleWaitMs, ignored);
}

bool CModuleLibrary::Load(const std::string& path, bool keepResident, std::string& error) {
    // dlopen would wait for ever on a FIFO and read a device without end.
    constexpr size_t kModuleMax = size_t{256} << 20;
    std::string notFile;
    if (!apps::CheckRegularFile(path, kModuleMax, notFile)) {
        error = "cannot load " + path + ": " + notFile;
        return false;
    }
    // RTLD_LOCAL: the module's own symbols must not resolve anything of the
    // host's. RTLD_NOW: a missing symbol shows here, not in the middle of a frame.
    const int flags = RTLD_NOW | RTLD_LOCAL | (keepResident ? RTLD_NODELETE : 0);
    m_bResident = keepResident;
    m_pHandle = dlopen(path.c_str(), flags);
    if (m_pHandle == nullptr) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    const bool ok = Resolve(m_pHandle, "CreateModule", m_fnCreate, error) &&
                    Resolve(m_pHandle, "DestroyModule", m_fnDestroy, error) &&
                    Resolve(m_pHandle, "log_prt_init", m_stLog.prtInit, error) &&
                    Resolve(m_pHandle, "log_set_priority", m_stLog.setPriority, error) &&
                    Resolve(m_pHandle, "log_set_mode", m_stLog.setMode, error) &&
                    Resolve(m_pHandle, "log_get_loss_cnt", m_stLog.getLossCount, error) &&
                    Resolve(m_pHandle, "log_set_callbacker", m_stLog.setCallback, error);
    if (!ok) {
        error = path + ": " + error;
        Close();  // nothing of the module has run
        return false;
    }
    return true;
}

bool CModuleLibrary::Unload(int idleMs, std::string& error) {
    if (m_pHandle == nullptr) {
        return true;
    }
    bool idle = true;
    try {
        idle = CCommProxy::getInstance().WaitIdle(idleMs);
    } catch (const std::system_error&) {
        // No proxy could be made, so none holds a callback of the module.
    }
    if (!idle) {
        error = "the proxy never became idle; the module stays loaded";
        return false;
    }
    if (Close() != 0) {
        const char* why = dlerror();
        error = std::string("dlclose: ") + (why != nullptr ? why : "unknown error");
        return false;
    }
    return true;
}

int CModuleLibrary::Close() {
    m_fnCreate = nullptr;
    m_fnDestroy = nullptr;
    m_stLog = ModuleLogApi{};
    // A resident object is never closed: a thread that never ends still runs
    // its code, so not even the reference count may drop to zero.
    const int rc = m_pHandle != nullptr && !m_bResident ? dlclose(m_pHandle) : 0;
    m_pHandle = nullptr;
    return rc;
}

void* CModuleLibrary::Symbol(const char* name) const {
    return Loaded() ? dlsym(m_pHandle, name) : nullptr;
}

std::string CModuleLibrary::DefaultPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return "../lib/libudptrans.so";
    }
    std::string dir(self, static_cast<size_t>(length));
    const size_t slash = dir.rfind('/');
    dir.resize(slash == std::string::npos ? 0 : slash);
    return dir + "/../lib/libudptrans.so";
}

}  // namespace hostprog
