// The settings of a serial line, apart from the port so that the termios image of them
// (line_termios.h) needs nothing of the port.
#pragma once
#include <cstdint>

namespace plat::serial {

// The enumerators keep the platform's numeric values (NOPARITY..SPACEPARITY, ONESTOPBIT..).
enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : uint8_t { One = 0, OnePointFive = 1, Two = 2 };
// Toggle: RTS high while bytes go out (RS-485 direction), through TIOCSRS485; where the driver
// lacks it but has modem lines, Write raises RTS, drains and lowers it.
enum class RtsMode : uint8_t { Off, On, Toggle };

struct LineSettings {
    uint32_t baud = 9600;          // any rate; those without a Bxxx constant go through BOTHER
    uint8_t data_bits = 8;         // 5..8
    Parity parity = Parity::None;  // Mark and Space through CMSPAR
    StopBits stop_bits = StopBits::One;  // OnePointFive only with 5 data bits
    bool parity_check = false;           // INPCK: a byte with a parity or framing error reads as 0
    bool dtr = true;
    RtsMode rts = RtsMode::On;
    bool rtscts = false;          // hardware flow control
    bool xonxoff = false;         // software flow control, both directions
    bool abort_on_error = false;  // after a line error Read/Write fail until ClearErrors
    bool operator==(const LineSettings&) const = default;
};

}  // namespace plat::serial
