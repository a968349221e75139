// Component look-up by name and interface type, and where the framework's
// one pool and one proxy live.
#include "algo/ComObjectPool.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "AppRegistry.h"
#include "algo/AppComponents.h"
#include "algo/CommProxy.h"

namespace {

using Infra::Component::CComObjectPool;
using Infra::Component::getComponentInstance;
using zerran_app::CLocalImageProcess;
using zerran_app::CLocalTriggerSource;
using zerran_app::IImageProcess;
using zerran_app::ITriggerSource;

TEST(ComObjectPoolTest, NullNameOrWronglyTypedComponentIsNull) {
    CComObjectPool& pool = CComObjectPool::getInstance();
    EXPECT_EQ(pool.getComponent(nullptr), nullptr);

    // An image-process component published under the trigger source's name.
    ASSERT_EQ(pool.registerComponent(ITriggerSource::kComponentName,
                                     std::make_shared<CLocalImageProcess>()),
              0);
    EXPECT_NE(pool.getComponent(ITriggerSource::kComponentName), nullptr);
    EXPECT_EQ(getComponentInstance<ITriggerSource>(), nullptr);
    EXPECT_EQ(pool.unregisterComponent(ITriggerSource::kComponentName), 0);
}

TEST(ComObjectPoolTest, PoolAndProxyEachLiveOnceInTheFrameworkLibrary) {
    // A copy in a header would land in each shared object; the module would
    // then not see what the host registered, and host and module would talk
    // to different proxies.
    for (const void* instance : {static_cast<const void*>(&CComObjectPool::getInstance()),
                                 static_cast<const void*>(&CCommProxy::getInstance())}) {
        Dl_info where{};
        ASSERT_NE(dladdr(instance, &where), 0);
        EXPECT_NE(std::strstr(where.dli_fname, "libalgo.so"), nullptr) << where.dli_fname;
    }
}

TEST(ComObjectPoolTest, RegistrationRefusesEmptyNullAndTakenNames) {
    CComObjectPool pool;
    auto trigger = std::make_shared<CLocalTriggerSource>();
    EXPECT_EQ(pool.registerComponent("", trigger), -1);
    EXPECT_EQ(pool.registerComponent("x", nullptr), -1);
    EXPECT_EQ(pool.registerComponent("x", trigger), 0);
    EXPECT_EQ(pool.registerComponent("x", std::make_shared<CLocalTriggerSource>()), -2);
    EXPECT_EQ(pool.getComponent("x"), trigger.get());
    EXPECT_EQ(pool.unregisterComponent("x"), 0);
    EXPECT_EQ(pool.unregisterComponent("x"), -1);
    EXPECT_EQ(trigger.use_count(), 1);  // the pool let go of it
}

TEST(ComObjectPoolTest, ScopedComponentsArePublishedAndWithdrawn) {
    {
        zerran_app::CScopedComponents components;
        ASSERT_EQ(components.Result(), 0);
        ITriggerSource* trigger = getComponentInstance<ITriggerSource>();
        IImageProcess* image = getComponentInstance<IImageProcess>();
        ASSERT_EQ(trigger, &components.Trigger());
        ASSERT_EQ(image, &components.Image());

        // A second host cannot publish over the first.
        zerran_app::CScopedComponents second;
        EXPECT_EQ(second.Result(), -2);
        EXPECT_EQ(getComponentInstance<ITriggerSource>(), trigger);
    }
    EXPECT_EQ(getComponentInstance<ITriggerSource>(), nullptr);
    EXPECT_EQ(getComponentInstance<IImageProcess>(), nullptr);
}

}  // namespace
