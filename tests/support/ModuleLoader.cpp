#include "ModuleLoader.h"

#include <dlfcn.h>

#include <filesystem>

#include "algo/CommProxy.h"

namespace ts {

std::string ModulePath() {
    return UDPTRANS_SO_PATH;
}

std::string DescriptionPath() {
    return std::filesystem::path(ModulePath()).parent_path().string() + "/udptrans.pdesc";
}

bool ModuleLoader::Load(const std::string& path) {
    m_error.clear();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        m_error = dlerror();
        return false;
    }
    create = Sym<CreateFn>("CreateModule");
    destroy = Sym<DestroyFn>("DestroyModule");
    priority = Sym<PriorityFn>("log_set_priority");
    callbacker = Sym<CallbackerFn>("log_set_callbacker");
    if (create == nullptr || destroy == nullptr || priority == nullptr || callbacker == nullptr) {
        m_error = "factory or log functions not exported by " + path;
        return false;
    }
    return true;
}

bool ModuleLoader::Unload(int idleMs) {
    if (m_handle == nullptr) {
        return true;
    }
    // A reply callback queued by the module must not outlive its code.
    if (!CCommProxy::getInstance().WaitIdle(idleMs)) {
        m_error = "the proxy never became idle; the module stays loaded";
        return false;
    }
    const int rc = dlclose(m_handle);
    m_handle = nullptr;
    create = nullptr;
    destroy = nullptr;
    priority = nullptr;
    callbacker = nullptr;
    if (rc != 0) {
        m_error = dlerror();
        return false;
    }
    return true;
}

void* ModuleLoader::Resolve(const char* name) const {
    return m_handle != nullptr ? dlsym(m_handle, name) : nullptr;
}

}  // namespace ts
