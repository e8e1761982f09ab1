// What a device needs of one of its variables. The variable class implements it; device code
// and the write queue know variables only through it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types/variant.h"

namespace mb {
struct IModbusItem;
}

namespace mb {

// OPC qualities the devices set.
inline constexpr uint16_t kQualityGood = 192;
inline constexpr uint16_t kQualityBad = 0;
// A value that was good and could not be refreshed.
inline constexpr uint16_t kQualityUncertain = 68;

class CDeviceItem {
  public:
    virtual ~CDeviceItem() = default;

    // Item name, for log lines.
    virtual std::string ItemName() const = 0;
    // Register (or model-specific index) the variable lives at.
    virtual uint16_t ItemRegister() const = 0;
    // The device's own type of the value.
    virtual plat::VARTYPE RawType() const = 0;
    // Clients may not write it.
    virtual bool IsReadOnly() const = 0;
    // Clears the read-back mark; true when it was set.
    virtual bool TakeReadBackMark() = 0;
    // A value read from the device, or only a new quality, with its UTC time (FILETIME).
    virtual void NewSample(plat::Variant value, uint16_t quality, uint64_t time) = 0;
    virtual void SetQuality(uint16_t quality, uint64_t time) = 0;
    // Hands the initial value to the host once the item exists there.
    virtual void SendInitialValue() {}
    // The interface the host holds for the variable (pItemCreate); null for a variable that
    // has none.
    virtual IModbusItem* HostItem() { return nullptr; }
    // The handle the host gave the item.
    virtual void SetHostHandle(int32_t /*handle*/) {}
};

}  // namespace mb
