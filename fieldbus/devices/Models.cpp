#include "fieldbus/core/DeviceModels.h"

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/DensMeter.h"
#include "fieldbus/devices/RowTable.h"

namespace mb {

// One row per model; each model's file provides its maker.
const std::vector<DeviceModel>& DeviceModels() {
    static const std::vector<DeviceModel> models = {
        // No identification request on these: every answering address is taken.
        {kProtocolBoardBus, -1, false, "RowRun%i", "ROWTABLE", true, MakeRowTable},
        {kProtocolDcon, -1, false, "DensMeter%i", "LVX3ICPCON", true, MakeDensMeterIcpcon},
        {kProtocolModbus, -1, true, "DensMeter%i", "LVX3", true, MakeDensMeter},
    };
    return models;
}

}  // namespace mb
