// What a device and its variables share: the slot a model declares a variable in, and what a
// variable needs of the device it belongs to. The device implements IItemOwner; a variable
// knows its device only through it, so the variable's unit includes nothing of the device's.
#pragma once
#include <cstdint>
#include <limits>
#include <string>

#include "fieldbus/core/DeviceItem.h"
#include "platform/types/hresult.h"
#include "platform/types/variant.h"

namespace mb {

// One variable as a model declares it. Empty slots have no name, handle -1 and the longest
// read interval.
struct ItemSlot {
    CDeviceItem* variable = nullptr;
    plat::VARTYPE raw_type = plat::VT_EMPTY;
    uint32_t min_interval_ms = std::numeric_limits<uint32_t>::max();
    plat::VARTYPE canonical_type = plat::VT_EMPTY;  // 0: same as raw
    std::string parent;
    std::string name;
    uint16_t reg = 0;
    uint8_t access = 0;       // bit 7: quiet; 9 is handed to the host as 3 (read/write)
    bool privileged = false;  // handed to the host as kAccessPrivileged: trusted clients only
    int32_t handle = -1;
    plat::Variant initial;
    uint32_t description_id = 0;  // string-table ids, 0 none
    uint32_t units_id = 0;
    int decimals = -1;
    double minimum = std::numeric_limits<double>::quiet_NaN();
    double maximum = std::numeric_limits<double>::quiet_NaN();
    bool alarm_help = false;

    bool IsEmpty() const { return name.empty(); }
};

// What a variable needs of its device. Host threads call it under the variable's device hold,
// the bus thread when it makes the variable.
class IItemOwner {
  public:
    virtual ~IItemOwner() = default;
    // The device's bus address, for log lines.
    virtual uint8_t OwnerAddress() const = 0;
    // The device is offline: a write is answered at once.
    virtual bool OwnerOffline() const = 0;
    // A client asked for a read-back of one variable: the device counts it as pending.
    virtual void MarkReadBack() = 0;
    // Host side: queues the write and flags the device for the scheduler.
    virtual plat::HRESULT QueueWrite(CDeviceItem* item, const plat::Variant& value,
                                     int32_t& id) = 0;
    // Text of a device error value (OPC property 301).
    virtual std::string DefineErrorText(int32_t value, plat::LCID lcid) = 0;
    // The device sits on a real line; false in emulation or without a port.
    virtual bool OnRealLine() const = 0;
};

}  // namespace mb
