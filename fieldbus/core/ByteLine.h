// The byte line under the field-bus protocols: open, close, write, read with a deadline, purge.
// It moves bytes and knows no frame: how long an answer may take, the silence that ends one, the
// pauses between frames and what a failure does to the line are the protocol's above it, which
// holds its own lock around every call.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/serial/serial.h"

namespace mb {

// How a line is opened: "COMn" and its settings.
struct LineConfig {
    int port = 1;
    plat::serial::LineSettings settings;
};

// 8 data bits, one stop bit, parity checked, DTR and RTS on, abort on error: a line whose modem
// lines stay on.
LineConfig PlainLineConfig(int port, uint32_t baud, uint8_t parity);

// How a read ended.
struct LineRead {
    long error = 0;        // 0, or the platform's code (ERROR_GEN_FAILURE: the device is gone)
    size_t got = 0;        // bytes handed over, also on an error
    bool end = false;      // a line of whole messages: these bytes end the far end's message
    bool overrun = false;  // a message longer than the line carries was refused, nothing taken
};

// decisions FB-68
class IByteLine {
  public:
    virtual ~IByteLine() = default;

    // 0, or the platform's code of the open (ERROR_INVALID_PARAMETER for a port number or
    // parity out of range). `settings_refused` tells that the port opened but did not take its
    // settings; the line is closed again then.
    virtual long Open(const LineConfig& config, bool* settings_refused = nullptr) = 0;
    // Closes what is open, without purging; false when nothing was.
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;
    // Drops what the chosen directions hold.
    virtual bool Purge(bool input, bool output) = 0;
    // Sends the bytes within `within_ms` (0: no limit); `written` tells how many went. 0 or the
    // platform's code.
    virtual long Write(const uint8_t* bytes, size_t count, size_t& written, uint32_t within_ms) = 0;
    // Up to `size` bytes: what is there, else the first to arrive within `within_ms`. The wait
    // is the kernel's (or the far end's), not a poll.
    virtual LineRead Read(uint8_t* buffer, size_t size, uint32_t within_ms) = 0;
    // Returns once the written bytes have left; false when some are still queued.
    virtual bool Drain() { return true; }
    // The line-error bits since the last call, acknowledged.
    virtual uint32_t ClearErrors() { return 0; }
    // A wire, whose bytes take their character times at the baud rate; false for a line that
    // hands whole messages over at once.
    virtual bool Paced() const { return true; }
};

// A read by the platform's time-out record, over deadline reads: immediate for {MAXDWORD, 0,
// 0}; the first byte within c for {MAXDWORD, MAXDWORD, c}; else up to `size` bytes within the
// total (multiplier * size + constant, none when both are 0), ended early by a gap longer than
// the interval after a byte.
LineRead ReadByRecord(IByteLine& line, uint8_t* buffer, size_t size,
                      const plat::serial::Timeouts& record);

// A COM port as the byte line. Reads wait in poll() for the first byte or the deadline, so a
// silent line sleeps in the kernel; a write does not wait for the bytes to leave (Drain does).
class CSerialLine final : public IByteLine {
  public:
    long Open(const LineConfig& config, bool* settings_refused = nullptr) override;
    bool Close() override;
    bool IsOpen() const override { return open_.load(); }
    bool Purge(bool input, bool output) override;
    long Write(const uint8_t* bytes, size_t count, size_t& written, uint32_t within_ms) override;
    LineRead Read(uint8_t* buffer, size_t size, uint32_t within_ms) override;
    bool Drain() override;
    uint32_t ClearErrors() override;

  private:
    plat::serial::SerialPort port_;
    std::atomic<bool> open_{false};
};

}  // namespace mb
