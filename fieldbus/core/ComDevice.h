// The port's system device: capture commands and raw requests for clients.
#pragma once
#include <memory>

#include "fieldbus/core/Device.h"

namespace mb {

// The system device of a real port; null when none can be made.
std::unique_ptr<CDevice> MakeSystemDevice(IDevicePort* port);

}  // namespace mb
