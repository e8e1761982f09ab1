// Base of every device on a library port. For now only what the scheduling and the bus thread
// need: the bus address and the removal flag.
#pragma once
#include <atomic>
#include <cstdint>

#include "fieldbus/core/DeviceState.h"

namespace mb {

class CDevice : public CDeviceState {
  public:
    // A new device counts as just probed.
    explicit CDevice(uint8_t address) : address_(address) { SetState(kStateProbed); }
    ~CDevice() override = default;

    uint8_t GetAddress() const { return address_; }
    // Set by a model that wants to be removed and detected again.
    bool IsMarkedForRemoval() const { return remove_.load() != 0; }
    void MarkForRemoval(bool on = true) { remove_.store(on ? 1 : 0); }

  private:
    uint8_t address_;
    std::atomic<uint8_t> remove_{0};
};

}  // namespace mb
