// Component pool: named components that the host application publishes and
// modules look up on every use.
//
// Threads: any; a mutex guards the table for one lookup or one change. A
// component must stay registered while a module may use it.
// getComponentInstance answers from a per-type cache, valid as long as the
// table's generation has not moved, without taking the table's lock: modules
// look components up in every frame, and the table changes only when the
// host registers or withdraws one.
#pragma once

#include <atomic>
#include <cstdint>
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
    // Moves on with every successful registration and removal (never 0).
    uint64_t Generation() const { return m_nGeneration.load(std::memory_order_acquire); }

    CComObjectPool();
    ~CComObjectPool();
    CComObjectPool(const CComObjectPool&) = delete;
    CComObjectPool& operator=(const CComObjectPool&) = delete;

private:
    std::mutex m_mtx;  // guards m_mapComponent
    std::map<std::string, std::shared_ptr<IComponent>, std::less<>> m_mapComponent;
    std::atomic<uint64_t> m_nGeneration{1};  // written under m_mtx
};

namespace detail {

// One interface's last look-up and the generation it was made at, published
// with a sequence count: readers never wait, a stale or torn entry is simply
// a miss, and misses look up through the table as before.
template <class T>
class CLookupCache {
public:
    constexpr CLookupCache() = default;

    T* Get() {
        CComObjectPool& pool = CComObjectPool::getInstance();
        const uint64_t generation = pool.Generation();
        const uint64_t seq = m_nSeq.load(std::memory_order_acquire);
        if ((seq & 1u) == 0) {
            // Acquire loads keep the second look at the count after them.
            const uint64_t cachedGeneration = m_nGeneration.load(std::memory_order_acquire);
            T* const cached = m_pValue.load(std::memory_order_acquire);
            if (m_nSeq.load(std::memory_order_relaxed) == seq && cachedGeneration == generation) {
                return cached;
            }
        }
        IComponent* component = pool.getComponent(T::kComponentName);
        T* const found = component == nullptr ? nullptr : dynamic_cast<T*>(component);
        // The generation read before the look-up: a change made meanwhile
        // makes this entry stale at once.
        std::lock_guard<std::mutex> lock(m_mtxPublish);
        const uint64_t next = m_nSeq.load(std::memory_order_relaxed);
        m_nSeq.store(next + 1, std::memory_order_relaxed);
        // Release stores: a reader that sees one of them sees the odd count.
        m_nGeneration.store(generation, std::memory_order_release);
        m_pValue.store(found, std::memory_order_release);
        m_nSeq.store(next + 2, std::memory_order_release);
        return found;
    }

private:
    std::atomic<uint64_t> m_nSeq{0};         // odd while an entry is written
    std::atomic<uint64_t> m_nGeneration{0};  // 0: never looked up
    std::atomic<T*> m_pValue{nullptr};
    std::mutex m_mtxPublish;  // one writer of the entry at a time
};

template <class T>
inline CLookupCache<T> g_lookupCache;

}  // namespace detail

// The component of interface T, published under T::kComponentName (the
// interface name followed by ".local"), or null when absent or of another
// type. Allocation-free: the name is a constant.
template <class T>
T* getComponentInstance() {
    return detail::g_lookupCache<T>.Get();
}

}  // namespace Component
}  // namespace Infra
