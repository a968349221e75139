// Component pool: named components that the host application publishes and
// modules look up on every use.
//
// Threads: any; a mutex guards the table for one lookup or one change. A
// component must stay registered while a module may use it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "algo/AlgoExport.h"

namespace Infra {
namespace Component {

class ALGO_API IComponent {
public:
    virtual ~IComponent();
};

class ALGO_API CComObjectPool {
public:
    static CComObjectPool& getInstance();

    // The component registered under `name`, or null.
    IComponent* getComponent(const char* name);
    IComponent* getComponent(const std::string& name) { return getComponent(name.c_str()); }

    // 0, or -1 for an empty name / null component, -2 when the name is taken.
    int registerComponent(const std::string& name, std::shared_ptr<IComponent> component);
    // 0, or -1 when nothing is registered under `name`.
    int unregisterComponent(const std::string& name);

    CComObjectPool();
    ~CComObjectPool();
    CComObjectPool(const CComObjectPool&) = delete;
    CComObjectPool& operator=(const CComObjectPool&) = delete;

private:
    std::mutex m_mtx;  // guards m_mapComponent
    std::map<std::string, std::shared_ptr<IComponent>, std::less<>> m_mapComponent;
};

// The component of interface T, published under T::kComponentName (the
// interface name followed by ".local"), or null when absent or of another
// type. Allocation-free: the name is a constant.
template <class T>
T* getComponentInstance() {
    IComponent* component = CComObjectPool::getInstance().getComponent(T::kComponentName);
    return component == nullptr ? nullptr : dynamic_cast<T*>(component);
}

}  // namespace Component
}  // namespace Infra
