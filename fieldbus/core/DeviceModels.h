// The bus thread's detection table: which device model answers for a protocol and, on Modbus,
// for the type code of the Report Slave ID answer. The models live in fieldbus/devices; the
// table is defined there, the bus thread only looks it up.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace mb {

class CDevice;
class IDevicePort;

enum BusProtocol : int32_t { kProtocolModbus = 0, kProtocolBoardBus = 1, kProtocolDcon = 2 };

// What detection learnt of the address: the Report Slave ID answer as big-endian words
// (empty where the protocol has no identification request).
struct DetectedDevice {
    uint8_t address = 0;
    std::vector<uint16_t> id_words;
};

struct DeviceModel {
    int32_t protocol;         // BusProtocol
    int32_t type_code;        // Report Slave ID type code on Modbus; -1 matches any
    bool plain_9600 = false;  // Modbus at 9600 baud without parity, no identification request
    const char* name_format;  // "QMU%i": name shift + address
    const char* type_name;    // registry "Type", UTF-8
    bool reloadable;          // a remembered entry of this type is detected again at start
    std::unique_ptr<CDevice> (*make)(IDevicePort* port, const DetectedDevice& found);
};

// Every model the library has, in lookup order.
const std::vector<DeviceModel>& DeviceModels();

}  // namespace mb
