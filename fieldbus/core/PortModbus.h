// The Modbus port a bus thread owns: the local client on a serial line (active mode), or the
// same client exchanging its RTU frames with the emulator the service registered for the port
// number (emulation mode, EmulatedLine.h). Framing, CRC, retries and checks are the client's in
// both modes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "fieldbus/core/EmulatedLine.h"
#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/ModbusClient.h"

namespace mb {

// What the port needs of its owner.
class IPortModbusOwner : public IEmulatorSource {
  public:
    // The emulated line closed (0) or lost its emulator (-4): the status cell takes the value
    // and the published device count goes to 0.
    virtual void LineStatus(int32_t status) = 0;
};

// The client with the line of its mode: the serial line, or the emulated line that hands the
// frames to the registered emulator as code units.
class CPortModbus : public CLocalModbus {
  public:
    // Longest emulator answer taken, in code units: a whole RTU answer plus a spare pair.
    static constexpr size_t kMaxEmulatedAnswer = CEmulatedLine::kMaxMessage;
    // The open error of an emulated port whose emulator has not registered.
    static constexpr long kNoEmulator = CEmulatedLine::kNoEmulator;

    CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation);

    // Both modes log the mode as they open and close; the emulated port keeps the baud rate
    // and parity only for its trace and reports its closing to the owner.
    bool Open(int port, uint32_t baud, uint8_t parity, long& error) override;
    bool Close() override;
    // An emulated port is open only while an emulator is registered; without one the owner
    // hears -4.
    bool IsOpen() const override;

    bool Emulated() const { return emulated_ != nullptr; }

  private:
    CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, std::unique_ptr<CEmulatedLine> line);

    IPortModbusOwner* owner_;
    CEmulatedLine* emulated_;  // the client's line in emulation, else null
};

}  // namespace mb
