// What the posts and plates behind a filling-post control unit need of it. The unit model
// (CQMUDevice, QMU.h) implements it and makes its posts and plates; they know their unit only
// through this class, so their units include nothing of the unit model's.
#pragma once
#include <cstdint>

#include "fieldbus/core/Device.h"

namespace mb {

class CPost;

// Kind codes of the unit's slots (its posts use some of them too).
inline constexpr int kCodeAddress = 19;
inline constexpr int kCodeText = 25;
inline constexpr int kCodeUid = 50;
inline constexpr int kCodeFirmware = 85;
inline constexpr int kCodeInspector = 98;
inline constexpr int kCodeConfiguration = 0xF003;

// The unit as its posts and plates see it: the bus device their requests go through (its
// address, port and link counters), its firmware and the calls they make on it.
class CControlUnit : public CDevice {
  public:
    using CDevice::CDevice;

    virtual uint16_t Version() const = 0;
    virtual uint16_t Build() const = 0;
    // 1 above version 6, -1 at version 0, else 0.
    virtual int Limited() const = 0;
    // The unit's option bits, which posts of an old build take for their own.
    virtual bool OptionA() const = 0;
    virtual bool OptionB() const = 0;
    virtual bool OptionC() const = 0;
    // A post going away (the port may delete adopted posts before the unit): no longer listed.
    virtual void ForgetPost(CPost* post) = 0;
    // Post activation: reads the status byte naming the two active posts. False on failure.
    virtual bool ActivatePosts() = 0;
    // Plate request through the unit: 0x03 of one register, or 0x10 of one register.
    virtual int PlateRead(uint8_t module, uint16_t reg, uint16_t& value) = 0;
    virtual int PlateWrite(uint8_t module, uint16_t reg, uint16_t value) = 0;
};

}  // namespace mb
