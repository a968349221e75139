// CComObjectPool: the process-wide table of named components.
#include "algo/ComObjectPool.h"

#include <string_view>
#include <utility>

namespace Infra {
namespace Component {

// Out of line so that IComponent's vtable and type_info live in libalgo.so
// only; dynamic_cast from a module then sees the same type as the host.
IComponent::~IComponent() = default;

CComObjectPool& CComObjectPool::getInstance() {
    static CComObjectPool pool;
    return pool;
}

CComObjectPool::CComObjectPool() = default;
CComObjectPool::~CComObjectPool() = default;

IComponent* CComObjectPool::getComponent(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    // Heterogeneous look-up: no std::string is built on this per-frame path.
    auto it = m_mapComponent.find(std::string_view(name));
    return it == m_mapComponent.end() ? nullptr : it->second.get();
}

int CComObjectPool::registerComponent(const std::string& name,
                                      std::shared_ptr<IComponent> component) {
    if (name.empty() || !component) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!m_mapComponent.emplace(name, std::move(component)).second) {
        return -2;
    }
    m_nGeneration.fetch_add(1, std::memory_order_release);
    return 0;
}

int CComObjectPool::unregisterComponent(const std::string& name) {
    std::shared_ptr<IComponent> removed;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto it = m_mapComponent.find(name);
        if (it == m_mapComponent.end()) {
            return -1;
        }
        removed = std::move(it->second);
        m_mapComponent.erase(it);
        m_nGeneration.fetch_add(1, std::memory_order_release);
    }
    // The component may be destroyed here, outside the lock.
    return 0;
}

}  // namespace Component
}  // namespace Infra
