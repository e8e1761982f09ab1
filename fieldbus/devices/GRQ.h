// The grounding monitor of a filling point: grounding state (as a number and as a text),
// measured capacitance and its two limits. Measured at most every 100 ms, and only while a
// client asks for the state or the capacitance.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"

namespace mb {

class CGRQDevice : public CDevice {
  public:
    static constexpr size_t kSlots = 5;
    static constexpr uint32_t kIntervalMs = 100;
    static constexpr uint32_t kIdleSleepMs = 10;

    CGRQDevice(IDevicePort* port, uint8_t address, std::string name);
    ~CGRQDevice() override;

    bool Created() const { return created_; }
    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;

    ItemSlot& Slot(size_t i) { return slots_[i]; }
    // The state's text in the process's language.
    static std::string StateText(int32_t state);

  private:
    bool ReadMeasurement();
    // A limit: a register pair, low word first like the capacitance.
    bool ReadLimit(size_t slot);

    std::array<ItemSlot, kSlots> slots_{};
    int32_t branch_ = -1;
    uint32_t due_ = 0;  // tick of the next measurement
    bool created_ = false;
};

std::unique_ptr<CDevice> MakeGRQ(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
