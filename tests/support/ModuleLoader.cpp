#include "ModuleLoader.h"

#include <filesystem>

namespace ts {

std::string ModulePath() {
    return UDPTRANS_SO_PATH;
}

std::string DescriptionPath() {
    return std::filesystem::path(ModulePath()).parent_path().string() + "/udptrans.pdesc";
}

bool ModuleLoader::Load(const std::string& path) {
    m_error.clear();
    if (!m_library.Load(path, false, m_error)) {
        return false;
    }
    create = m_library.Create();
    destroy = m_library.Destroy();
    priority = m_library.Log().setPriority;
    callbacker = m_library.Log().setCallback;
    return true;
}

bool ModuleLoader::Unload(int idleMs) {
    const bool unloaded = m_library.Unload(idleMs, m_error);
    if (!m_library.Loaded()) {
        create = nullptr;
        destroy = nullptr;
        priority = nullptr;
        callbacker = nullptr;
    }
    return unloaded;
}

}  // namespace ts
