// Publishing the host application's two components in the framework's
// component pool, under the names modules look them up by.
//
// Threads: any (the pool locks); a component must stay registered while a
// module may be using it, so unregister only while no frame is processed.
#pragma once

#include <memory>

#include "LocalImageProcess.h"
#include "LocalTriggerSource.h"

namespace zerran_app {

// 0, or the pool's code of the first registration that failed (nothing stays
// registered then). A null component is skipped, to build a host without it.
int RegisterComponents(const std::shared_ptr<CLocalTriggerSource>& trigger,
                       const std::shared_ptr<CLocalImageProcess>& image);
// Removes both names from the pool (names not registered are ignored).
void UnregisterComponents();

// Creates both components, publishes them and withdraws them on destruction.
class CScopedComponents {
public:
    CScopedComponents();
    ~CScopedComponents();
    CScopedComponents(const CScopedComponents&) = delete;
    CScopedComponents& operator=(const CScopedComponents&) = delete;

    int Result() const { return m_nResult; }  // of the registration
    CLocalTriggerSource& Trigger() { return *m_pTrigger; }
    CLocalImageProcess& Image() { return *m_pImage; }

private:
    std::shared_ptr<CLocalTriggerSource> m_pTrigger;
    std::shared_ptr<CLocalImageProcess> m_pImage;
    int m_nResult;
};

}  // namespace zerran_app
