#include "platform/serial/baud_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace plat::serial::detail {

int SetCustomBaud(int fd, uint32_t baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}

int GetBaud(int fd, uint32_t& baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    baud = t.c_ospeed;
    return 0;
}

}  // namespace plat::serial::detail
