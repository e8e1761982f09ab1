#include "fieldbus/core/DeviceModels.h"

#include "fieldbus/core/Device.h"

namespace mb {

// One row per model; each model's file provides its maker.
const std::vector<DeviceModel>& DeviceModels() {
    static const std::vector<DeviceModel> models = {};
    return models;
}

}  // namespace mb
