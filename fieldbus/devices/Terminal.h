// The operator terminal with a character display, a keyboard and a card reader (KX310, and
// KX310Ex without discrete inputs and outputs in its identification). Every scan step polls
// the status byte; keys, card requests and restarts are acted on from it.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"

namespace mb {

class CTerminal : public CDevice {
  public:
    static constexpr size_t kSlots = 64;
    // Slots.
    static constexpr size_t kCardRequest = 0, kCharInput = 1, kRusChar = 2, kCharOutput = 3,
                            kStartTime = 4, kLastKey = 5, kBrightness = 6, kCursor = 7, kLine1 = 8,
                            // decisions DEV-27
        kField1 = 28, kCardID = 43, kBufferKey1 = 44, kMemoLine = 54, kMemoIndex = 55, kIn1 = 56,
                            kOut1 = 59, kAddress = 63;
    // Registers.
    static constexpr uint16_t kRegBrightness = 44, kRegCursor = 45, kRegOutputs = 254,
                              kRegControl = 255, kRegKeyHeader = 256, kRegKeyText = 257,
                              kRegInputs = 264, kRegCardID = 0x300, kRegField1 = 0x318,
                              kCardItemRegs = 24, kRegMemo = 0xF00, kMemoLineRegs = 10;
    static constexpr size_t kMemoLineChars = 2 * kMemoLineRegs;
    // Status byte bits (the high byte of the control word).
    static constexpr uint8_t kKeyWaiting = 0x02, kCardBit = 0x04, kCharInputBit = 0x08,
                             kRestarted = 0x80;

    CTerminal(IDevicePort* port, uint8_t address, std::string name, uint16_t type);
    ~CTerminal() override;

    bool Created() const { return created_; }
    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;

    ItemSlot& Slot(size_t i) { return slots_[i]; }
    uint16_t ControlWord() const { return control_; }
    // The card key type ("A0", "B0", "A1", "B1", "AT", "BT") and its register offset.
    void SetKeyType(std::string text) { key_type_ = std::move(text); }
    const std::string& KeyType() const { return key_type_; }
    uint16_t KeyTypeCode();
    // Display line write of a text: 0 or an error code; nothing is sent for a refused text.
    int WriteDisplay(const plat::WideString& text);

  private:
    // 0 when the step may go on.
    int StatusPoll();
    void ReadKeyBuffer();
    // The key of the control word's low byte into LastKey.
    void SetLastKey(uint16_t control, uint64_t time);
    void SetFlags(uint8_t status, uint64_t time);
    bool ReadCard(size_t slot);
    bool ReadBits(uint16_t reg, size_t first, size_t count);
    int WriteFlag(size_t slot, const plat::Variant& value);
    int WriteOutput(size_t slot, const plat::Variant& value);
    int WriteMemoLine(const plat::Variant& value);
    int WriteRegister(size_t slot, const plat::Variant& value);
    // Items whose value needs a request of its own when asked for.
    bool ReadsFromDevice(size_t slot) const;
    void LoadKeyType();
    int SlotOf(const CDeviceItem* item) const;

    std::array<ItemSlot, kSlots> slots_{};
    std::array<bool, kSlots> marked_{};  // card items to read once the card request falls
    std::array<int32_t, 6> branches_{-1, -1, -1, -1, -1, -1};
    uint16_t control_ = 0;
    uint8_t status_ = 0;
    uint8_t inputs_ = 0;
    uint8_t outputs_ = 0;
    uint8_t memo_index_ = 0;
    bool key_lost_ = false;
    std::string key_type_ = "A0";
    uint16_t type_;
    size_t next_ = 0;
    bool created_ = false;
};

std::unique_ptr<CDevice> MakeKX310(IDevicePort* port, const DetectedDevice& found);
std::unique_ptr<CDevice> MakeKX310Ex(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
