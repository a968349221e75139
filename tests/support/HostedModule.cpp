#include "HostedModule.h"

#include "algo/ParamManage.h"

namespace ts {

std::string WriteStoreFile(const std::string& path, const StoreValues& values) {
    CParamManage store;
    if (store.LoadDescription(DescriptionPath()) != 0 || store.LoadFile(path) != 0) {
        return "description or store " + path + " not loadable";
    }
    for (const auto& kv : values) {
        if (store.SetParam(kv.first.c_str(), kv.second.c_str(), 0) != 0) {
            return "store refused " + kv.first + "=" + kv.second;
        }
    }
    return store.SaveFile() == 0 ? "" : "store " + path + " not saved";
}

StoreValues LoopbackStore(uint16_t hostPort, uint16_t hostHbPort, uint16_t targetPort,
                          uint16_t targetHbPort) {
    return {{"HostPort", std::to_string(hostPort)},
            {"HostHeartbeatPort", std::to_string(hostHbPort)},
            {"TargetIp", "127.0.0.1"},
            {"TargetPort", std::to_string(targetPort)},
            {"TargetHeartbeatIp", "127.0.0.1"},
            {"TargetHeartbeatPort", std::to_string(targetHbPort)},
            {"AlgoEnable", "1"},
            {"HeartbeatTranMode", "0"},
            {"ScheduledTransEnable", "0"},
            {"ScheduledTransTime", "0"}};
}

bool HostedModule::Start(const StoreValues& values, int moduleId, const std::string& path) {
    if (!m_loader.Loaded() && !m_loader.Load(path)) {
        m_error = m_loader.Error();
        return false;
    }
    m_loader.priority(-1, 8);  // silent until the caller asks for lines
    m_error = WriteStoreFile(StorePath(), values);
    if (!m_error.empty()) {
        return false;
    }
    m_module = m_loader.create();
    if (m_module == nullptr) {
        m_error = "CreateModule returned nothing";
        return false;
    }
    m_module->SetModuleId(moduleId);
    if (m_module->SetPwd(m_dir.Path().c_str()) != 0) {
        m_error = "SetPwd refused the store in " + m_dir.Path();
        return false;
    }
    return true;
}

bool HostedModule::Stop() {
    if (m_module != nullptr) {
        m_loader.destroy(nullptr, m_module);
        m_module = nullptr;
    }
    if (!m_loader.Unload()) {
        m_error = m_loader.Error();
        return false;
    }
    return true;
}

}  // namespace ts
