#include "fieldbus/core/ComDevice.h"

namespace mb {

std::unique_ptr<CDevice> MakeSystemDevice(IDevicePort* /*port*/) {
    return nullptr;  // no system device in this build yet
}

}  // namespace mb
