#include "fieldbus/core/ComLine.h"

#include <cstdio>

namespace mb {

namespace ser = plat::serial;

long OpenComPort(ser::SerialPort& port, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", number);
    long rc = port.Open(name);
    if (rc != plat::ERROR_SUCCESS) {
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
        rc = port.Open(name);
    }
    return rc;
}

long OpenComLine(ser::SerialPort& port, int number, uint32_t baud, uint8_t parity,
                 const ser::Timeouts& timeouts) {
    long rc = OpenComPort(port, number);
    if (rc != plat::ERROR_SUCCESS) return rc;
    ser::LineSettings ls;
    ls.baud = baud;
    ls.data_bits = 8;
    ls.parity = static_cast<ser::Parity>(parity);
    ls.stop_bits = ser::StopBits::One;
    ls.parity_check = true;
    ls.dtr = true;
    ls.rts = ser::RtsMode::On;
    ls.abort_on_error = true;
    rc = port.Configure(ls);
    if (rc == plat::ERROR_SUCCESS) rc = port.SetTimeouts(timeouts);
    if (rc != plat::ERROR_SUCCESS) {
        port.Purge(true, true);
        port.Close();
    }
    return rc;
}

}  // namespace mb
