#include "fieldbus/core/DeviceModels.h"

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/DensMeter.h"
#include "fieldbus/devices/FQ5.h"
#include "fieldbus/devices/GRQ.h"
#include "fieldbus/devices/QMU.h"
#include "fieldbus/devices/RowTable.h"
#include "fieldbus/devices/Terminal.h"

namespace mb {

// One row per model; each model's file provides its maker.
const std::vector<DeviceModel>& DeviceModels() {
    static const std::vector<DeviceModel> models = {
        // No identification request on these: every answering address is taken.
        {kProtocolBoardBus, -1, false, "RowRun%i", "ROWTABLE", true, MakeRowTable},
        {kProtocolDcon, -1, false, "DensMeter%i", "LVX3ICPCON", true, MakeDensMeterIcpcon},
        {kProtocolModbus, -1, true, "DensMeter%i", "LVX3", true, MakeDensMeter},
        {kProtocolModbus, 8, false, "Terminal%i", "KX310", true, &MakeKX310},
        {kProtocolModbus, 9, false, "Terminal%i", "KX310Ex", true, &MakeKX310Ex},
        {kProtocolModbus, 0x30, false, "Post%i", "FQ5", true, &MakeFQ5},
        // decisions DEV-25
        {kProtocolModbus, 0x85, false, "GRQ%i", "ГРК", true, &MakeGRQ},
        {kProtocolModbus, 0x20, false, "QMU%i", "QMU01", true, MakeQmu},
    };
    return models;
}

}  // namespace mb
