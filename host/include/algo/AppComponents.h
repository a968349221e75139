// Interfaces of the host application's components that modules use: the
// trigger source and the image-processing component. Getters return 0 with
// `value` written, or a failure code (value then means nothing).
#pragma once

#include <string>

#include "algo/AlgoExport.h"
#include "algo/ComObjectPool.h"

namespace zerran_app {

class ALGO_API ITriggerSource : public Infra::Component::IComponent {
public:
    static constexpr const char* kComponentName = "ITriggerSource.local";
    ~ITriggerSource() override;
    // "TriggerImageTime": decimal milliseconds on the get_up_time clock.
    virtual int GetStringParam(const std::string& name, std::string& value) = 0;
    // "TriggerMode" (1 = triggered acquisition), "TriggerCount".
    virtual int GetIntParam(const std::string& name, int& value) = 0;
};

class ALGO_API IImageProcess : public Infra::Component::IComponent {
public:
    static constexpr const char* kComponentName = "IImageProcess.local";
    ~IImageProcess() override;
    // "EnableTestImage" (1 = frames come from a test image).
    virtual int GetIntParam(const std::string& name, int& value) = 0;
};

}  // namespace zerran_app
