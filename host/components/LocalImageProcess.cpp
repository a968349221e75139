// CLocalImageProcess: the test-image switch of the image pipeline.
#include "LocalImageProcess.h"

namespace zerran_app {

CLocalImageProcess::CLocalImageProcess() = default;
CLocalImageProcess::~CLocalImageProcess() = default;

int CLocalImageProcess::GetIntParam(const std::string& name, int& value) {
    if (name != "EnableTestImage") {
        return kErrUnknownName;
    }
    const int fail = m_nFailTestImage.load();
    if (fail != 0) {
        return fail;
    }
    value = m_nTestImage.load();
    return 0;
}

int CLocalImageProcess::SetFailure(const std::string& name, int code) {
    if (name != "EnableTestImage") {
        return kErrUnknownName;
    }
    m_nFailTestImage.store(code);
    return 0;
}

}  // namespace zerran_app
