// Serial ports with the behaviour the system expects of a Windows COM port: open by "COMn",
// exclusive use, line settings, the COMMTIMEOUTS read and write rules, purge and line-error
// counts. Every call returns a Win32 error code (ERROR_SUCCESS when it worked).
//
// Names: "COMn" and "\\.\COMn" (any case, n = 1..256 without leading zeros) resolve through the
// registry value HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" named "COMn", which holds a device path;
// without that value the port is /dev/ttyS<n-1>. An absolute path opens as it stands. Any other
// name is not found.
//
// Open errors: not found (ENOENT, ENODEV, ENXIO, ENOTDIR, and a device node without hardware
// behind it, which Linux reports as EIO) -> ERROR_FILE_NOT_FOUND; EACCES, EPERM, EROFS, EISDIR ->
// ERROR_ACCESS_DENIED; in use (EBUSY from TIOCEXCL, a refused flock) -> ERROR_SHARING_VIOLATION;
// not a terminal -> ERROR_INVALID_FUNCTION; anything else -> ERROR_GEN_FAILURE.
//
// I/O errors: a device that vanished (EIO, a hang-up, the far end of a pseudo-terminal closed)
// -> ERROR_GEN_FAILURE, so the owner reopens the port. ERROR_OPERATION_ABORTED only ever means
// "abort on error" is set and a line error waits to be acknowledged with ClearErrors.
//
// Time-outs run on real time (steady clock and poll()): a fake process clock cannot make bytes
// arrive, so it plays no part here.
//
// Threads: Read and Write may run at the same time on two threads; Open, Close, Configure,
// SetTimeouts and ClearErrors need the port to themselves.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial/line_settings.h"
#include "platform/types/hresult.h"

namespace plat::serial {

// Win32 codes of this layer that hresult.h does not carry (published values).
constexpr long ERROR_INVALID_FUNCTION = 1;
constexpr long ERROR_GEN_FAILURE = 31;
constexpr long ERROR_OPERATION_ABORTED = 995;

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// Line-error bits of ClearErrors (the platform's CE_* values).
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// The platform's COMMTIMEOUTS, in milliseconds. Read rules:
//  - {MAXDWORD, 0, 0}: return at once with what is buffered, possibly nothing;
//  - {MAXDWORD, MAXDWORD, c} with 0 < c < MAXDWORD: return as soon as any byte is there, else
//    after c with nothing;
//  - otherwise the total time-out is multiplier * size + constant (none when both are 0) and
//    the interval time-out (0 and MAXDWORD: none) ends a read when the gap after a received
//    byte exceeds it; it starts only with the first byte. Without either the read waits for
//    the full size. A time-out is not an error: the read returns what it has.
// Write: total time-out multiplier * size + constant (0/0: none); at the time-out Write
// succeeds with fewer bytes written.
struct Timeouts {
    uint32_t read_interval = 0;
    uint32_t read_total_multiplier = 0;
    uint32_t read_total_constant = 0;
    uint32_t write_total_multiplier = 0;
    uint32_t write_total_constant = 0;
    bool operator==(const Timeouts&) const = default;
};

// What ClearErrors reports (the platform's error mask and COMSTAT queue counts).
struct ErrorCounts {
    uint32_t errors = 0;  // CE_* bits of what happened since the previous call
    uint32_t framing = 0, parity = 0, overrun = 0, buffer_overrun = 0, breaks = 0;  // deltas
    uint32_t in_queue = 0;   // bytes received, not yet read
    uint32_t out_queue = 0;  // bytes written, not yet sent
    bool counters = false;   // the driver keeps line-error counters (TIOCGICOUNT)
};

// What the best-effort parts of the last Configure achieved.
struct ConfigureNotes {
    bool modem_lines = false;  // DTR/RTS were set (pseudo-terminals have none)
    bool rs485 = false;        // the driver switches RTS itself (RS-485 mode, TIOCSRS485)
    bool soft_toggle = false;  // RTS toggle is done by Write instead
};

// The kernel's RS-485 settings of a line (TIOCGRS485/TIOCSRS485): the SER_RS485_* flags (mode,
// RTS polarity while and after sending) and the RTS delays around sending, in milliseconds.
struct Rs485Settings {
    uint32_t flags = 0;
    uint32_t delay_before_send = 0;
    uint32_t delay_after_send = 0;
    bool operator==(const Rs485Settings&) const = default;
};

namespace detail {

// What a port does to the kernel's RS-485 settings, and puts back at close. A mode the
// administrator enabled (udev rule, setserial, device tree) is kept whole on every line kind,
// polarity and delays included: the driver then switches the transceiver itself. With the mode
// off, an RTS-toggle line turns it on (RTS on while sending); the other kinds leave it off.
class Rs485Keeper {
  public:
    // The settings for a line of `rts` while the driver has `current`; none when they stay.
    std::optional<Rs485Settings> Configure(RtsMode rts, const Rs485Settings& current);
    // The settings found before this port changed them, to put back at close; none when it
    // changed nothing. Forgets them.
    std::optional<Rs485Settings> Close();

  private:
    std::optional<Rs485Settings> found_;
};

}  // namespace detail

// "COMn", "\\.\COMn" or an absolute path -> the device path; "" for any other name.
std::string ResolvePortName(std::string_view name);
// n of "COMn" / "\\.\COMn"; 0 for anything else.
int ComNumber(std::string_view name);
// Whether the port's device is there, without taking the port: opens the resolved path
// without a lock, exclusivity or settings and closes it again. The open error codes above
// (ERROR_SUCCESS when it opened). For whoever waits for a missing device to appear.
// decisions PLAT-SER-2
long ProbePort(std::string_view name);
// The cause of an open error in words: "not found", "access denied", "in use", "not a serial
// port" or "failed".
const char* OpenErrorCause(long rc);

class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens exclusively (closing what was open). The line is put into raw mode at once with the
    // driver's current rate, so bytes pass untouched even before Configure. The time-outs start
    // as all zeros (reads wait for the full size).
    long Open(std::string_view name);
    // Puts back the RS-485 settings Configure changed.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& DevicePath() const { return path_; }

    // ERROR_INVALID_PARAMETER for a rate of 0, data bits outside 5..8 or 1.5 stop bits with more
    // than 5 data bits; the settings then stay as they were. The modem-line and RS-485 parts
    // never fail it (see Notes()). A driver that refuses the rate fails it with the line
    // settings already applied.
    long Configure(const LineSettings& settings);
    // As last configured; the defaults after Open.
    const LineSettings& Settings() const { return settings_; }
    const ConfigureNotes& Notes() const { return notes_; }
    // The rate the driver reports now (TCGETS2).
    long DeviceBaud(uint32_t& baud) const;

    long SetTimeouts(const Timeouts& t);
    const Timeouts& GetTimeouts() const { return timeouts_; }

    // On an error `got`/`written` still tell how many bytes moved before it.
    long Read(void* buf, uint32_t size, uint32_t& got);
    long Write(const void* buf, uint32_t size, uint32_t& written);

    long Purge(bool rx, bool tx);   // tcflush
    long Drain();                   // tcdrain: blocks until the output has left the port
    uint32_t OutputQueued() const;  // TIOCOUTQ; 0 when unknown or closed
    uint32_t InputQueued() const;   // FIONREAD; 0 when unknown or closed

    // Line errors since the previous call (since Open for the first) and the queue counts;
    // acknowledges the errors for abort_on_error.
    long ClearErrors(ErrorCounts& out);

  private:
    struct Icount {
        uint32_t frame = 0, parity = 0, overrun = 0, buf_overrun = 0, brk = 0;
    };
    bool ReadIcount(Icount& c) const;
    bool ErrorPending() const;
    void SetRts(bool on);
    void RestoreRs485();

    int fd_ = -1;
    std::string path_;
    LineSettings settings_;
    Timeouts timeouts_;
    ConfigureNotes notes_;
    Icount last_icount_;
    detail::Rs485Keeper rs485_;
};

}  // namespace plat::serial
