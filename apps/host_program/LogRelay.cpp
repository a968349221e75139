#include "LogRelay.h"

#include <string>
#include <string_view>

#include "TextEscape.h"

namespace hostprog {

std::atomic<CLogRelay*> CLogRelay::s_pInstalled{nullptr};

namespace {
constexpr int kLogSilent = 8;  // a threshold that no line reaches
}

void CLogRelay::Install(const ModuleLogApi& log, int moduleId, int level) {
    m_pLog = &log;
    m_nModuleId = moduleId;
    s_pInstalled.store(this);
    log.setPriority(moduleId, kLogSilent);
    log.setCallback(level, &CLogRelay::Deliver);
}

void CLogRelay::Remove() {
    if (m_pLog != nullptr && m_pLog->setCallback != nullptr) {
        m_pLog->setCallback(kLogSilent, nullptr);
    }
    m_pLog = nullptr;
    CLogRelay* self = this;
    s_pInstalled.compare_exchange_strong(self, nullptr);
}

int CLogRelay::Deliver(int id, int, int, const char* line, int length) {
    CLogRelay* relay = s_pInstalled.load();
    // Other ids (the byte dumps) are not the module's lines.
    if (relay == nullptr || line == nullptr || length <= 0 || id != relay->m_nModuleId) {
        return 0;
    }
    const std::string shown =
        apps::EscapeLogLine(std::string_view(line, static_cast<size_t>(length)), relay->m_bColour);
    relay->m_console.Print("%s", shown.c_str());
    return 0;
}

}  // namespace hostprog
