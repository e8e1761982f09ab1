// Discrete I/O plates behind a control unit in module mode: input plates with six inputs,
// output plates with four switched outputs. Every request goes through the unit.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/ControlUnit.h"
#include "fieldbus/devices/DeviceKit.h"

namespace mb {

inline constexpr int kCodePlateOutState = 64;
inline constexpr int kCodePlateOverload = 65;
inline constexpr int kCodePlateInput = 69;

class CPlate : public CDevice {
  public:
    static constexpr size_t kSlots = 20;

    // `place` is the plate's bit in the unit's plate mask (0 when found by probing).
    // decisions DEV-6
    CPlate(CControlUnit* unit, uint8_t module, int place, bool output);
    ~CPlate() override;

    bool IsOutput() const { return output_; }
    int Place() const { return place_; }
    const std::string& LogName() const { return log_name_; }
    // One step of the unit's module scan: 1 when an item was read.
    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;
    void ExecuteNextWrite() override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;
    ItemSlot& Slot(size_t i) { return slots_[i]; }

  private:
    int ReadRegister0(uint16_t& value);
    void PublishAll(uint16_t word);
    void BadAll();

    CControlUnit* unit_;
    int place_;
    bool output_;
    std::string log_name_;
    size_t next_ = 0;
    std::vector<int32_t> branches_;
    std::array<ItemSlot, kSlots> slots_;
    std::array<kit::SlotKind, kSlots> kinds_;
};

}  // namespace mb
