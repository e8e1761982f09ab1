// The pulse flow sensor of one filling post: state, volume counters, flow rate, temperature
// and identification, polled as two register blocks on every scan step.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"

namespace mb {

class CFQ5Device : public CDevice {
  public:
    static constexpr size_t kSlots = 20;
    // Slot flags: read on its interval while a read is asked for; no re-read after a write.
    static constexpr uint8_t kReadPeriodically = 1;
    static constexpr uint8_t kNoReadBack = 4;
    static constexpr const char* kControllerText = "Датчик оборотов ФК5";

    CFQ5Device(IDevicePort* port, uint8_t address, std::string name);
    ~CFQ5Device() override;

    // False when the host refused a branch or an item.
    bool Created() const { return created_; }

    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;
    std::string DefineErrorText(int32_t value, plat::LCID lcid) override;

    ItemSlot& Slot(size_t i) { return slots_[i]; }
    const std::string& Version() const { return version_; }

  private:
    struct SlotInfo {
        uint8_t size = 0;   // bytes in the device
        uint8_t flags = 0;  // kReadPeriodically, kNoReadBack
        int kind = 0;       // write dispatch
        int32_t rereads = 0;
    };

    // Both register blocks; false (and good values uncertain) when either read fails.
    bool BlockPoll();
    // The slot's own read by its type and size; stores the sample.
    int TypedRead(size_t slot);
    int TypedWrite(size_t slot, const plat::Variant& value);
    int ChangeAddress(const plat::Variant& value);
    int SlotOf(const CDeviceItem* item) const;

    std::array<ItemSlot, kSlots> slots_{};
    std::array<SlotInfo, kSlots> info_{};
    int32_t branch_ = -1;
    size_t next_ = 0;
    bool created_ = false;
    std::string version_;
};

std::unique_ptr<CDevice> MakeFQ5(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
