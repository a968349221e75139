// Registration of the application's components in the component pool.
#include "AppRegistry.h"

#include "algo/ComObjectPool.h"

namespace zerran_app {

using Infra::Component::CComObjectPool;

int RegisterComponents(const std::shared_ptr<CLocalTriggerSource>& trigger,
                       const std::shared_ptr<CLocalImageProcess>& image) {
    CComObjectPool& pool = CComObjectPool::getInstance();
    if (trigger) {
        const int rc = pool.registerComponent(ITriggerSource::kComponentName, trigger);
        if (rc != 0) {
            return rc;
        }
    }
    if (image) {
        const int rc = pool.registerComponent(IImageProcess::kComponentName, image);
        if (rc != 0) {
            if (trigger) {
                pool.unregisterComponent(ITriggerSource::kComponentName);
            }
            return rc;
        }
    }
    return 0;
}

void UnregisterComponents() {
    CComObjectPool& pool = CComObjectPool::getInstance();
    pool.unregisterComponent(ITriggerSource::kComponentName);
    pool.unregisterComponent(IImageProcess::kComponentName);
}

CScopedComponents::CScopedComponents()
    : m_pTrigger(std::make_shared<CLocalTriggerSource>()),
      m_pImage(std::make_shared<CLocalImageProcess>()),
      m_nResult(RegisterComponents(m_pTrigger, m_pImage)) {}

CScopedComponents::~CScopedComponents() {
    if (m_nResult == 0) {
        UnregisterComponents();
    }
}

}  // namespace zerran_app
