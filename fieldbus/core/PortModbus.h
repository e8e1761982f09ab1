// The Modbus port a bus thread owns: the local client on a serial line (active mode), or the
// same client exchanging its RTU frames with the emulator the service registered for the port
// number (emulation mode, the emulated line in PortModbus.cpp). Framing, CRC, retries and
// checks are the client's in both modes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/ModbusClient.h"

namespace mb {

// What the port needs of its owner.
class IPortModbusOwner {
  public:
    virtual ~IPortModbusOwner() = default;
    // The service's emulator registration for the port; null when none was given.
    virtual const EmulatorSlot* Emulator() const = 0;
    // The emulated line closed (0) or lost its emulator (-4): the status cell takes the value
    // and the published device count goes to 0.
    virtual void LineStatus(int32_t status) = 0;
};

// The client with the line of its mode: the serial line, or the emulated line that hands the
// frames to the registered emulator as code units.
class CPortModbus : public CLocalModbus {
  public:
    // Longest emulator answer taken, in code units: a whole RTU answer plus a spare pair.
    static constexpr size_t kMaxEmulatedAnswer = 257;
    // The open error of an emulated port whose emulator has not registered.
    static constexpr long kNoEmulator = 255;

    CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation);

    bool Emulated() const { return emulation_; }

  private:
    const bool emulation_;
};

}  // namespace mb
