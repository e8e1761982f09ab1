// The line under the Modbus client: the byte I/O its framing talks to. The serial line is the
// local port; the emulated one (PortModbus.h) and the scripted ones in tests stand in for it.
// The framing (RTU and ASCII frames, CRC and LRC, exception answers, retries) stays in the
// client, which owns its line and holds the port lock around every call.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "fieldbus/core/ModbusClient.h"
#include "platform/serial/serial.h"

namespace mb {

class CLogFile;

class IModbusLine {
  public:
    virtual ~IModbusLine() = default;

    // Bound by the client that takes the line, before any other call.
    void Attach(CLocalModbus& client) { client_ = &client; }

    // "COMn"; 0 / 0 / 0xFF take the client's stored port, baud and parity. `error` is the
    // platform's (or the line's) code of the open.
    virtual bool Open(int port, uint32_t baud, uint8_t parity, long& error) = 0;
    virtual bool Close() = 0;
    // Lets go of the line as its client goes: a close without the notes a close writes and
    // without the status it reports.
    virtual void Shutdown() = 0;
    virtual bool IsOpen() const = 0;
    // Drops what either direction holds.
    virtual bool Purge() = 0;
    // Sends a frame and returns once it has left the wire; the client's answer stopwatch
    // starts then.
    virtual bool Write(const uint8_t* frame, size_t length, size_t& written) = 0;
    // One read of what is there, up to `size` bytes.
    virtual bool ReadAvailable(uint8_t* buffer, size_t size, size_t& count) = 0;
    // An answer into `buffer`: up to the answer time-out for its first byte behind
    // `first` bytes (an echo), then until the silent time-out passes without one, or `cap`
    // bytes. `capacity` is what the buffer holds. False on a line error.
    virtual ReadResult ReadAnswer(uint8_t* buffer, size_t capacity, size_t cap, size_t first,
                                  size_t& count) = 0;
    // A frame as it is and whatever comes back within `wait_ms` (0: the answer time-out).
    // Under the port lock; the client's pause is the line's to take.
    virtual int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                            size_t& got, uint32_t wait_ms) = 0;
    // The platform's time-out record, where the line has one; nullptr: reads return at once.
    virtual bool SetTimeout(const plat::serial::Timeouts*) { return false; }
    virtual bool GetTimeouts(plat::serial::Timeouts& out) {
        out = {};
        return false;
    }
    // Bytes received and not yet read.
    virtual uint32_t InputQueued() { return 0; }

  protected:
    using Guard = CLocalModbus::PortGuard;
    CLocalModbus& Client() const { return *client_; }
    CLogFile* Log() const { return client_->log_; }
    CPerformanceCounter& AnswerWatch() const { return client_->answer_watch_; }
    void PauseAfterTransaction() const { client_->PauseAfterTransaction(); }

  private:
    CLocalModbus* client_ = nullptr;
};

// The local serial port. Its timing is the wire's: a write returns when the frame has left
// (queue drained, then its time on the wire at the line's baud rate), and a read polls in steps
// of about one character, taking each byte as it comes.
class CSerialModbusLine : public IModbusLine {
  public:
    // `announce`: opening and closing log the active mode, as the bus thread's port does.
    explicit CSerialModbusLine(bool announce = false) : announce_(announce) {}
    ~CSerialModbusLine() override;

    bool Open(int port, uint32_t baud, uint8_t parity, long& error) override;
    bool Close() override;
    void Shutdown() override { CloseQuietly(); }
    bool IsOpen() const override { return open_.load(); }
    bool Purge() override;
    bool Write(const uint8_t* frame, size_t length, size_t& written) override;
    bool ReadAvailable(uint8_t* buffer, size_t size, size_t& count) override;
    ReadResult ReadAnswer(uint8_t* buffer, size_t capacity, size_t cap, size_t first,
                          size_t& count) override;
    int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size, size_t& got,
                    uint32_t wait_ms) override;
    bool SetTimeout(const plat::serial::Timeouts* timeouts) override;
    bool GetTimeouts(plat::serial::Timeouts& out) override;
    uint32_t InputQueued() override { return port_.InputQueued(); }

  private:
    bool CloseQuietly();
    // Sleeps of at most 5 ms until `ms` have passed since the stopwatch started.
    static void WaitSince(const CPerformanceCounter& since, uint32_t ms);
    // One poll step of a read: up to `ms`, over as soon as a byte is there. True when input
    // ended it early.
    bool WaitInput(uint32_t ms);
    void ClearLineErrors(uint32_t* errors = nullptr);
    // A device that vanished (ERROR_GEN_FAILURE) leaves the port closed, so that IsOpen tells
    // the owner to open it again.
    void NoteIoError(long rc);

    const bool announce_;
    plat::serial::SerialPort port_;
    CPerformanceCounter byte_watch_;
    std::atomic<bool> open_{false};
};

}  // namespace mb
