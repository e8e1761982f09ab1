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

long CComLine::Open(int number, uint32_t baud, uint8_t parity, const ser::Timeouts& timeouts) {
    if (number < 1 || number > 255 || baud == 0 || parity > 4) return plat::ERROR_INVALID_PARAMETER;
    const long rc = OpenComLine(port_, number, baud, parity, timeouts);
    if (rc != plat::ERROR_SUCCESS) return rc;
    open_.store(true);
    return plat::ERROR_SUCCESS;
}

bool CComLine::Close() {
    if (!port_.IsOpen()) {
        open_.store(false);
        return false;
    }
    port_.Purge(true, true);
    port_.Close();
    open_.store(false);
    return true;
}

void CComLine::Drop() {
    port_.Close();
    open_.store(false);
}

long CComLine::Write(const void* bytes, size_t count, size_t& written) {
    uint32_t done = 0;
    const long rc = port_.Write(bytes, static_cast<uint32_t>(count), done);
    written = done;
    return rc;
}

long CComLine::Read(void* buffer, size_t size, size_t& got) {
    uint32_t n = 0;
    const long rc = port_.Read(buffer, static_cast<uint32_t>(size), n);
    got = n;
    return rc;
}

bool CComLine::Purge(bool input, bool output) {
    return port_.Purge(input, output) == plat::ERROR_SUCCESS;
}

uint32_t CComLine::ClearErrors() {
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    return ec.errors;
}

bool CComLine::SetTimeouts(const ser::Timeouts& t) {
    return port_.SetTimeouts(t) == plat::ERROR_SUCCESS;
}

}  // namespace mb
