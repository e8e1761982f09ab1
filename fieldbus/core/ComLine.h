// What the library's serial ports share: opening a port by its number, the line settings of
// the board bus and DCON and the byte line on them, and the table of the reflected CRC-16
// polynomial 0xA001.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/serial/serial.h"

namespace mb {

// Opens "COM<n>", else "\\.\COM<n>"; the platform's error code of the last try.
long OpenComPort(plat::serial::SerialPort& port, int number);

// Opens the port and sets 8 data bits, one stop bit, `parity` (checked), DTR and RTS on, abort
// on error and the time-outs. Anything but success leaves the port closed.
long OpenComLine(plat::serial::SerialPort& port, int number, uint32_t baud, uint8_t parity,
                 const plat::serial::Timeouts& timeouts);

// The byte line of the board bus and DCON on a COM port. A read's deadline is the port's
// time-outs, set at the open. The framing above it decides what a failure does to the line.
class CComLine {
  public:
    // "COMn" as OpenComLine opens it: 0 or the platform's code, ERROR_INVALID_PARAMETER for a
    // port number, baud rate or parity out of range (the port then untouched).
    long Open(int number, uint32_t baud, uint8_t parity, const plat::serial::Timeouts& timeouts);
    // Drops both directions and closes; false when it was not open.
    bool Close();
    // Closes without purging: what a device that vanished leaves.
    void Drop();
    bool IsOpen() const { return open_.load(); }
    // 0 or the platform's code.
    long Write(const void* bytes, size_t count, size_t& written);
    // Up to `size` bytes within the port's time-outs: 0 or the platform's code.
    long Read(void* buffer, size_t size, size_t& got);
    bool Purge(bool input, bool output);
    // The line-error bits since the last call.
    uint32_t ClearErrors();
    // Five values as the platform's time-out record.
    bool SetTimeouts(const plat::serial::Timeouts& t);
    plat::serial::Timeouts GetTimeouts() const { return port_.GetTimeouts(); }

  private:
    plat::serial::SerialPort port_;
    std::atomic<bool> open_{false};
};

// Modbus and CRC-16/ARC use one table; they differ in the start value.
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : c >> 1;
        t[i] = c;
    }
    return t;
}
inline constexpr std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();

}  // namespace mb
