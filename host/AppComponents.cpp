// Key functions of the component interfaces: defined here so that their
// vtables and type_info exist once, in libalgo.so, for host and modules alike.
#include "algo/AppComponents.h"

namespace zerran_app {

ITriggerSource::~ITriggerSource() = default;
IImageProcess::~IImageProcess() = default;

}  // namespace zerran_app
