// The termios image of a LineSettings (without the rate), apart from the port so that it can be
// checked where the driver would not show it: pseudo-terminals force CS8 and drop PARENB.
#pragma once
#include <termios.h>

#include <cstdint>

#include "platform/serial/line_settings.h"

namespace plat::serial::detail {

// Raw mode as cfmakeraw, plus VMIN 1 / VTIME 0: a nonblocking read of an empty line then
// gives EAGAIN, so a read of 0 bytes can only mean a hang-up.
void MakeRaw(termios& t);
// MakeRaw, then data bits, parity, stop bits, parity checking and flow control of `s`.
// `s` must have passed validation (data bits 5..8).
void ApplyLineSettings(termios& t, const LineSettings& s);

}  // namespace plat::serial::detail
