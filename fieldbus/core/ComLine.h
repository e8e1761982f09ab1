// What the library's serial ports share: opening a port by its number, the line settings of
// the board bus and DCON, and the table of the reflected CRC-16 polynomial 0xA001.
#pragma once
#include <array>
#include <cstdint>

#include "platform/serial/serial.h"

namespace mb {

// Opens "COM<n>", else "\\.\COM<n>"; the platform's error code of the last try.
long OpenComPort(plat::serial::SerialPort& port, int number);

// Opens the port and sets 8 data bits, one stop bit, `parity` (checked), DTR and RTS on, abort
// on error and the time-outs. Anything but success leaves the port closed.
long OpenComLine(plat::serial::SerialPort& port, int number, uint32_t baud, uint8_t parity,
                 const plat::serial::Timeouts& timeouts);

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
