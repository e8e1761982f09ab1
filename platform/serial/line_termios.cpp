#include "platform/serial/line_termios.h"

namespace plat::serial::detail {

void MakeRaw(termios& t) {
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IMAXBEL | INPCK | IGNPAR | IUCLC);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void ApplyLineSettings(termios& t, const LineSettings& s) {
    MakeRaw(t);
    t.c_cflag &= ~(CSIZE | CSTOPB);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.data_bits - 5];
    // 1.5 stop bits is what the UART sends for CSTOPB with 5 data bits.
    if (s.stop_bits != StopBits::One) t.c_cflag |= CSTOPB;
    switch (s.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            t.c_cflag |= PARENB;
            break;
        case Parity::Mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::Space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (s.parity_check && s.parity != Parity::None) t.c_iflag |= INPCK;
    if (s.rtscts) t.c_cflag |= CRTSCTS;
    if (s.xonxoff) t.c_iflag |= IXON | IXOFF;
}

}  // namespace plat::serial::detail
