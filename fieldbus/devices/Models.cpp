#include "fieldbus/core/DeviceModels.h"

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/QMU.h"

namespace mb {

// One row per model; each model's file provides its maker.
const std::vector<DeviceModel>& DeviceModels() {
    static const std::vector<DeviceModel> models = {
        {kProtocolModbus, 0x20, false, "QMU%i", "QMU01", true, MakeQmu},
    };
    return models;
}

}  // namespace mb
