// One filling post behind a control unit. Its registers are the unit's holding registers at
// channel * 256 + offset; the unit's raw state word is translated into the post states.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/devices/ControlUnit.h"
#include "fieldbus/devices/DeviceKit.h"

namespace mb {

// Post states of the system.
enum PostState : int32_t {
    kPostIdle = 0,
    kPostWaitingKey = 1,
    kPostWorking = 7,
    kPostPaused = 80,
    kPostCommError = 169,
    kPostControllerError = 177,
    kPostOldController = 186,
    kPostNewController = 188,
};

// Raw state word -> post state; -1 for a raw state above 96.
int32_t RawToPostState(uint16_t raw);
// Post state -> raw state; -1 for a state without a raw form.
int32_t PostStateToRaw(int32_t state);

class CPost : public CDevice {
  public:
    static constexpr size_t kSlots = 60;

    CPost(CControlUnit* unit, int channel, uint16_t number, uint16_t base, int side,
          uint32_t identity, uint16_t option);
    ~CPost() override;

    // False when the post was refused (its branch already has a State).
    bool IsValid() const { return valid_; }

    int32_t SetState(int32_t code) override;
    int Scan() override;
    void SetBadQuality() override;
    bool CanCapture() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;
    void SetErrorCount(int32_t n) override;
    int32_t GetErrorCount() override;
    void IncErrorCount() override;
    void SetCrcErrorCount(int32_t n) override;
    void IncCrcErrorCount() override;
    void IncRequestCount() override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;
    std::string DefineErrorText(int32_t value, plat::LCID lcid) override;

    void SetActive(bool active);
    bool IsActive() const { return active_; }
    int Channel() const { return channel_; }
    uint16_t Number() const { return number_; }
    uint16_t BaseNumber() const { return base_; }
    int Side() const { return side_; }
    uint32_t Identity() const { return identity_; }
    uint16_t OptionWord() const { return option_; }
    uint32_t Features() const { return features_; }
    // A post that asks the unit to re-create it under NewNumber().
    bool WantsRecreate() const { return recreate_; }
    uint16_t NewNumber() const { return new_number_; }
    uint16_t RawState() const { return raw_; }
    bool Dispensing() const { return dispensing_; }
    int DecimalPoint() const { return decimal_point_; }
    // Flags in the order of the creation log: temperature, density, mass, volume,
    // productivity, level, free state.
    std::array<bool, 7> Flags() const {
        return {temperature_, density_, mass_, volume_, productivity_, level_, free_state_};
    }
    ItemSlot* Find(const std::string& name);

  private:
    uint16_t Reg(uint16_t offset) const;
    void Define();
    bool Limited() const;
    void ActivationCheck();
    int ReadWords(uint16_t offset, uint16_t count, std::vector<uint16_t>& out);
    int WriteWords(uint16_t offset, std::span<const uint16_t> words);
    void PublishFlags(uint16_t flags);
    void PublishText(ItemSlot& slot, std::span<const uint16_t> words);
    void SnapSensorCheck(uint16_t snap);
    bool ReadState();
    void PublishState(bool read_ok);
    int ReadException();
    int ReadDozeMicro();
    int WriteState(int32_t state);
    int WriteDozeMicro(const plat::Variant& value);
    int WriteText(ItemSlot& slot, const kit::SlotKind& kind, const plat::Variant& value);
    double Scale() const;

    CControlUnit* unit_;
    int channel_;
    uint16_t number_, base_;
    int side_;
    uint32_t identity_;
    uint16_t option_;
    uint32_t features_ = 0;
    bool temperature_ = false, density_ = false, mass_ = false, volume_ = false;
    bool productivity_ = false, level_ = false, free_state_ = false;
    bool valid_ = true;
    bool active_ = false;
    bool initialised_ = false;
    bool recreate_ = false;
    uint16_t new_number_ = 0;
    uint16_t raw_ = 0, prev_raw_ = 0;
    bool have_prev_ = false;
    // State shows "no link" (SetBadQuality): the next good read publishes, changed or not.
    bool state_stale_ = false;
    bool state_failed_ = false;
    bool dispensing_ = false;
    uint32_t dispensing_since_ = 0;
    uint16_t flags_word_ = 0;
    int stable_total_ = 0;
    bool idle_pending_ = false;
    std::string last_total_;
    int decimal_point_ = 0;
    size_t next_slot_ = 0;
    std::string branch_;
    int32_t branch_handle_ = -1;
    std::array<ItemSlot, kSlots> slots_;
    std::array<kit::SlotKind, kSlots> kinds_;
    // Values written while inactive, resent on activation; empty variant = none.
    std::array<plat::Variant, kSlots> held_;
};

}  // namespace mb
