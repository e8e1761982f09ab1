#include "fieldbus/core/DeviceModels.h"

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/RowTable.h"

namespace mb {

// One row per model; each model's file provides its maker.
const std::vector<DeviceModel>& DeviceModels() {
    static const std::vector<DeviceModel> models = {
        // No identification request: every answering address is taken.
        {kProtocolBoardBus, -1, false, "RowRun%i", "ROWTABLE", true, MakeRowTable},
    };
    return models;
}

}  // namespace mb
