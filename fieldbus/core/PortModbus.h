// The Modbus port a bus thread owns: the local client on a serial line (active mode), or the
// same client exchanging its RTU frames with the emulator the service registered for the port
// number (emulation mode). Framing, CRC, retries and checks are the client's in both modes.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

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

class CPortModbus : public CLocalModbus {
  public:
    // Longest emulator answer taken, in code units: a whole RTU answer plus a spare pair.
    static constexpr size_t kMaxEmulatedAnswer = 257;

    CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation);
    ~CPortModbus() override;

    bool Emulated() const { return emulation_; }

    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override;
    int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size, size_t& got,
                    uint32_t wait_ms) override;
    bool IsOpen() const override;
    bool Open(int port, uint32_t baud, uint8_t parity, long& error) override;
    bool SetTimeout(const plat::serial::Timeouts* timeouts) override;
    bool GetTimeouts(plat::serial::Timeouts& out) override;
    bool Close() override;
    bool Purge() override;
    bool WriteQuery(const uint8_t* frame, size_t length, size_t& written) override;
    bool ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                    size_t sent) override;

    // The open error of an emulated port whose emulator has not registered.
    static constexpr long kNoEmulator = 255;

  private:
    // Emulation: brings the held emulator up to the one registered now (a new registration
    // replaces the old one, an unregistration drops it); the held handle or null. Port lock.
    void* SyncEmulator();
    void DropEmulator();

    IPortModbusOwner* owner_;
    const bool emulation_;
    std::atomic<bool> emu_open_{false};
    std::atomic<int> emu_port_{0};
    void* held_ = nullptr;   // the emulator in use (one reference), under the port lock
    bool oversize_ = false;  // the last emulated answer was longer than any RTU answer
    std::vector<char16_t> units_;
};

}  // namespace mb
