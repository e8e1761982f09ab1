#include "fieldbus/core/ByteLine.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace mb {

namespace ser = plat::serial;

namespace {

using Steady = std::chrono::steady_clock;

// Reads hand over what is buffered; the wait is Read's own poll().
constexpr ser::Timeouts kImmediate{ser::MAXDWORD, 0, 0, 0, 0};
// A wait without end, in the steps poll() takes.
constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

// Opens "COM<n>", else "\\.\COM<n>"; the platform's code of the last try.
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

uint32_t MsLeft(Steady::time_point deadline) {
    const auto left = deadline - Steady::now();
    if (left <= Steady::duration::zero()) return 0;
    // Rounded up, so that a wait never ends before its deadline.
    return static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

LineConfig PlainLineConfig(int port, uint32_t baud, uint8_t parity) {
    LineConfig c;
    c.port = port;
    c.settings.baud = baud;
    c.settings.data_bits = 8;
    c.settings.parity = static_cast<ser::Parity>(parity);
    c.settings.stop_bits = ser::StopBits::One;
    c.settings.parity_check = true;
    c.settings.dtr = true;
    c.settings.rts = ser::RtsMode::On;
    c.settings.abort_on_error = true;
    return c;
}

LineRead ReadByRecord(IByteLine& line, uint8_t* buffer, size_t size, const ser::Timeouts& t) {
    if (t.read_interval == ser::MAXDWORD && t.read_total_multiplier == 0 &&
        t.read_total_constant == 0)
        return line.Read(buffer, size, 0);
    if (t.read_interval == ser::MAXDWORD && t.read_total_multiplier == ser::MAXDWORD &&
        t.read_total_constant > 0 && t.read_total_constant < ser::MAXDWORD)
        return line.Read(buffer, size, t.read_total_constant);
    const uint64_t total = uint64_t{t.read_total_multiplier} * size + t.read_total_constant;
    const bool interval = t.read_interval != 0 && t.read_interval != ser::MAXDWORD;
    const auto deadline = Steady::now() + std::chrono::milliseconds(total);
    LineRead out;
    while (out.got < size) {
        uint32_t wait = kNoLimit;
        if (total > 0) {
            wait = MsLeft(deadline);
            if (wait == 0) break;
        }
        const bool gap = interval && out.got > 0 && t.read_interval <= wait;
        if (gap) wait = t.read_interval;
        const LineRead r = line.Read(buffer + out.got, size - out.got, wait);
        out.got += r.got;
        out.error = r.error;
        out.end = r.end;
        out.overrun = r.overrun;
        if (r.error != 0 || r.overrun || r.end) break;
        if (r.got == 0 && (total > 0 || gap)) break;
    }
    return out;
}

// --- CSerialLine ------------------------------------------------------------------------------

long CSerialLine::Open(const LineConfig& config, bool* settings_refused) {
    if (settings_refused != nullptr) *settings_refused = false;
    Close();
    const auto parity = static_cast<unsigned>(config.settings.parity);
    if (config.port < 1 || config.port > 255 || parity > 4) return plat::ERROR_INVALID_PARAMETER;
    long rc = OpenComPort(port_, config.port);
    if (rc != plat::ERROR_SUCCESS) return rc;
    // Driver queue sizes have no counterpart here.
    rc = port_.Configure(config.settings);
    if (rc == plat::ERROR_SUCCESS) rc = port_.SetTimeouts(kImmediate);
    if (rc != plat::ERROR_SUCCESS) {
        if (settings_refused != nullptr) *settings_refused = true;
        port_.Purge(true, true);
        port_.Close();
        return rc;
    }
    open_.store(true);
    return plat::ERROR_SUCCESS;
}

bool CSerialLine::Close() {
    const bool was = port_.IsOpen();
    port_.Close();
    open_.store(false);
    return was;
}

bool CSerialLine::Purge(bool input, bool output) {
    return port_.Purge(input, output) == plat::ERROR_SUCCESS;
}

long CSerialLine::Write(const uint8_t* bytes, size_t count, size_t& written, uint32_t within_ms) {
    written = 0;
    ser::Timeouts t = kImmediate;
    t.write_total_constant = within_ms;
    port_.SetTimeouts(t);
    uint32_t done = 0;
    const long rc = port_.Write(bytes, static_cast<uint32_t>(count), done);
    written = done;
    return rc;
}

// decisions FB-25, FB-69
LineRead CSerialLine::Read(uint8_t* buffer, size_t size, uint32_t within_ms) {
    LineRead r;
    const auto deadline = Steady::now() + std::chrono::milliseconds(within_ms);
    bool woke = false;  // the last wait ended for input
    for (;;) {
        uint32_t got = 0;
        r.error = port_.Read(buffer, static_cast<uint32_t>(size), got);
        r.got = got;
        if (r.error != plat::ERROR_SUCCESS || got > 0 || size == 0) return r;
        const uint32_t left = MsLeft(deadline);
        if (left == 0) return r;
        if (woke) {
            // Input that left nothing to read (a discarded byte): a short sleep, not a spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(left, 2)));
            woke = false;
            continue;
        }
        pollfd p{port_.Fd(), POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(left, INT32_MAX)));
        if (n > 0 && (p.revents & POLLIN)) {
            woke = true;
        } else if (n != 0) {
            // A hang-up or error reports at once: the next read tells, or a step passes.
            woke = true;
        }
    }
}

bool CSerialLine::Drain() {
    // The platform reports the queue as empty only once the bytes have left.
    port_.Drain();
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    return ec.out_queue == 0;
}

uint32_t CSerialLine::ClearErrors() {
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    return ec.errors;
}

}  // namespace mb
