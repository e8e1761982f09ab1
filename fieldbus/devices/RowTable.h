// The running-line display board on a board-bus port: one writable text, "String", and a link
// watch as its scan step.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fieldbus/core/Device.h"

namespace mb {

// The OEM code page of the boards (CP866). A character it lacks, a lone surrogate or a
// surrogate pair becomes one '?'.
std::string ToCp866(std::u16string_view text);

// The bytes a board is sent for a text. Framed: the running-mode prefix and suffix around texts
// longer than 16 characters, then 0x1A; unframed: a 255-byte block of 1, the text and 0x1A
// fill. 0, OPC_E_RANGE for a text longer than the form takes (170 or 250 characters), or
// E_INVALIDARG for a text holding U+001A, which ends a board's text.
int BoardTextBytes(std::u16string_view text, bool framed, std::vector<uint8_t>& out);

class CRowTable : public CDevice {
  public:
    static constexpr uint32_t kScanIntervalMs = 1000;
    static constexpr size_t kSlots = 20;

    // Creates "String" in the branch of the device's name (found, else made).
    CRowTable(IDevicePort* port, uint8_t address, std::string name);
    ~CRowTable() override;

    int Scan() override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;

    const ItemSlot& GetSlot(size_t i) const { return slots_.at(i); }

  private:
    std::array<ItemSlot, kSlots> slots_;
    int32_t branch_ = -1;
    uint32_t next_scan_ = 0;
};

struct DetectedDevice;
// The detection table's maker: "RowRun%i" (name shift + address), type "ROWTABLE".
std::unique_ptr<CDevice> MakeRowTable(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
