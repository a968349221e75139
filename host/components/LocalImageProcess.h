// CLocalImageProcess: the host application's image-processing component as
// far as modules see it: whether frames come from a test image.
//
// Threads: any; the values are atomic.
#pragma once

#include <atomic>
#include <string>

#include "algo/AppComponents.h"

namespace zerran_app {

class CLocalImageProcess : public IImageProcess {
public:
    static constexpr int kErrUnknownName = -1;

    CLocalImageProcess();
    ~CLocalImageProcess() override;

    // "EnableTestImage".
    int GetIntParam(const std::string& name, int& value) override;

    void SetTestImage(int enable) { m_nTestImage.store(enable); }

    // From now on the getter of `name` returns `code` (0 = answer again).
    // 0, or kErrUnknownName for a key this component does not have.
    int SetFailure(const std::string& name, int code);

private:
    std::atomic<int> m_nTestImage{0};
    std::atomic<int> m_nFailTestImage{0};
};

}  // namespace zerran_app
