// Arbitrary line rates through termios2. Kept apart because the kernel's termios2 header
// cannot be included next to <termios.h>.
#pragma once
#include <cstdint>

namespace plat::serial::detail {

// Switches the open terminal to `baud` (BOTHER) leaving every other setting; 0 or an errno.
int SetCustomBaud(int fd, uint32_t baud);
// The output rate the driver reports; 0 or an errno.
int GetBaud(int fd, uint32_t& baud);

}  // namespace plat::serial::detail
