// The serial port of one native-protocol poll thread: one line (a COM port or, in emulation,
// the emulator registered for that COM number), the request/answer exchange of the dispenser
// controllers over the frames of ZrnFrame.h with their logs and retries, a read wait
// that adapts to the line, line statistics and the close report in the port's log. Also the
// value codecs the controller classes build requests and read answers with.
//
// A port is used by its own poll thread only; nothing in it is locked.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/com/unknown.h"
#include "platform/serial/serial.h"
#include "platform/types/variant.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/NativeFrame.h"
#include "service/core/ports/PortStatus.h"
#include "service/typelib/TypeLib.h"

namespace drv {

// What the port needs of the poll thread that owns it.
struct IPortOwner {
    virtual void SetPortState(int code) = 0;  // the per-port status
    virtual void ClearSeen() = 0;             // forget when each address last answered a probe
    virtual ~IPortOwner() = default;
};

struct TZrnStats {
    uint64_t Requests = 0;
    uint64_t Writes = 0;
    uint64_t WritesSinceAnswerByte = 0;
    uint64_t WriteErrors = 0;
    uint64_t Echoes = 0;
    uint64_t Reads = 0;
    uint64_t AvgAnswerTime = 0;  // ms
    uint64_t ReadDelay = 200;    // ms
    uint64_t SuccReads = 0;
    uint64_t Pops = 0;  // kept for the report; no exchange advances it
    uint64_t Unexpected = 0;
    uint64_t ChecksumErrors = 0;
    uint64_t InvalidPackets = 0;
    uint64_t BytesSent = 0;      // not reset at open
    uint64_t BytesReceived = 0;  // not reset at open
};

// Time sums in seconds (not reset at open).
struct TZrnTimes {
    double NoAnswerPackets = 0;
    double DrvCalc = 0;
    double Line = 0;
    double SlaveCalc = 0;
};

class TZrnPort {
  public:
    static constexpr uint64_t kMaxReadDelay = 200;
    // Least time between two attempts to open a line that failed to open.
    // decisions CORE-21
    static constexpr uint32_t kReopenIntervalMs = 1000;
    // Least time between two reopens of a line that heard nothing since the last one.
    // decisions CORE-22
    static constexpr uint32_t kSilentReopenMs = 60000;

    // Does not open the line. owner may be null.
    TZrnPort(IPortOwner* owner, uint32_t baud, bool emulation, uint8_t com_number);
    ~TZrnPort();
    TZrnPort(const TZrnPort&) = delete;
    TZrnPort& operator=(const TZrnPort&) = delete;

    // Opens the line (0 = the stored COM number) and returns the port status (kPort*), which
    // also goes to the owner.
    int Open(uint8_t com_number = 0);
    // Closes (with the report) and opens the line again. A closed line whose last open failed
    // is tried again only once kReopenIntervalMs have passed since that attempt.
    void Reopen();
    // Opens a closed line when an attempt is due; true when the line is open.
    bool OpenIfDue();
    uint64_t OpenAttempts() const { return open_attempts_; }
    // Purges and closes the line; the owner's status becomes -1. The close report is written
    // when the line was open.
    void Close();
    bool IsOpen() const;

    // One framed exchange. `answer` gets the data part of a valid answer (the bare answer when
    // expected < 6), cut to `capacity`; it is empty after a failure. Arguments that cannot make
    // a frame (address above 31, expected outside 1..255, data longer than 250 characters) are
    // refused before anything is sent.
    bool Transact(uint8_t address, uint8_t command, std::string_view data, int expected,
                  std::string& answer, size_t capacity = kZrnMaxFrame, bool single_attempt = false,
                  int mode = kModeNormal, bool quiet = false);
    // Reads one controller parameter ('X'); value = NibblesToByte of the second and third data
    // characters. `data`, when given, gets the whole answer data (three characters).
    bool ReadParam(uint8_t address, uint8_t param, int mode, bool single_attempt, uint8_t& value,
                   std::string* data = nullptr);

    // Reopens the line or raises the read delay, by the line's statistics.
    void CheckLine();

    const TZrnStats& Stats() const { return stats_; }
    const TZrnTimes& Times() const { return times_; }
    uint32_t CommandCount(uint8_t address, uint8_t command) const;
    // The address stayed silent (not one answer byte) in its last transaction.
    bool NoAnswerLast(uint8_t address) const { return no_answer_last_[address] != 0; }
    uint8_t LastAnswerAddress() const { return last_answer_address_; }
    uint8_t ComNumber() const { return com_; }
    uint32_t Baud() const { return baud_; }
    bool Emulated() const { return emulation_; }
    double CharTime() const { return char_time_; }
    plat::DATE OpenTime() const { return open_time_; }
    plat::DATE CloseTime() const { return close_time_; }
    TTxtProt& Log() { return log_; }

  private:
    // The line (TZrnLine): a serial port, or the emulator registered for the COM number.
    struct Line {
        plat::serial::SerialPort serial;
        plat::ComPtr<tlb::IHWEmu> emu;
    };

    bool OpenDue() const;
    // Not a byte came and no write failed since the line was opened.
    bool HeardNothing() const;
    // Close with the report only when `report`.
    void CloseLine(bool report);
    void ResetStats();
    void WriteCloseReport();
    void Purge();
    // Emulation: brings the line's emulator up to the registered one; false (and the line
    // dropped) when none is registered any more.
    bool SyncEmulator();
    // Emulation: a call to the line's emulator failed with `hr`.
    void EmulatorFailed(plat::HRESULT hr);
    // false on a failed or short write.
    bool WriteFrame(const std::string& frame);
    // One read into the receive buffer for an answer of `expected` bytes, at most `max` more;
    // false when the read failed (the port is reopened then).
    bool ReadSome(size_t expected, size_t max);
    void NoteAnswerTime();
    void RaiseReadDelay();
    void Note(std::string_view text, int level, bool quiet, std::string_view key = {});

    IPortOwner* owner_;
    bool emulation_;
    uint8_t com_;
    uint32_t baud_;
    double char_time_;
    TTxtProt log_;
    Line line_;

    TZrnStats stats_;
    TZrnTimes times_;
    int64_t stamp_ = 0;  // performance counter of the last accounting point, 0 = none
    int64_t frequency_ = 1;
    plat::DATE open_time_ = 0;
    plat::DATE close_time_ = 0;
    uint64_t opened_tick_ = 0, closed_tick_ = 0;  // TimeTotal, on the monotonic clock
    uint32_t read_start_ = 0;                     // tick at the end of the last write
    std::unique_ptr<std::array<std::array<uint32_t, 256>, kZrnAddresses>> counters_;
    std::array<uint8_t, 256> no_answer_last_{};
    bool reading_ = false;
    std::string rx_;  // receive buffer, at most kZrnMaxFrame bytes
    uint8_t last_answer_address_ = 0;
    uint32_t open_tick_ = 0;    // tick of the last open attempt
    int open_error_ = kPortOk;  // status of the last open attempt
    long open_rc_ = 0;          // its system error
    uint64_t open_attempts_ = 0;
    uint32_t silent_reopens_ = 0;  // reopens in a row of a line that heard nothing
};

// --- value codecs --------------------------------------------------------------------------

// Two characters: high nibble + '0', low nibble + '0' (10..15 become ':'..'?').
std::string ByteToNibbles(uint8_t v);
// Both characters in '0'..'?': (c1 - '0') * 16 + (c2 - '0'); otherwise 0 and a log line. Fewer
// than two characters count as invalid.
uint8_t NibblesToByte(std::string_view two);
// Both characters in '0'..'?': (c1 - '0') * 10 + (c2 - '0'); otherwise 0 and a log line.
uint8_t DigitsToByte(std::string_view two);
// (v div 10) * 16 + v mod 10, kept to 8 bits: packed BCD for 0..99.
uint8_t ByteToBcd(uint8_t v);
// value is fixed point x10000. Exactly int_digits + decimals digits of
// round(value * 10^decimals / 10000) (halves away from zero), zero-padded on the left; higher
// digits and a minus sign are dropped. Use FitsDecimal first where a value may not fit.
std::string FormatDecimal(int int_digits, int decimals, int64_t value);
// True when FormatDecimal shows the value whole: not negative and no digit dropped.
bool FitsDecimal(int int_digits, int decimals, int64_t value);
// Characters from..to (1-based; to 0 = the text's length) as a fixed-point value x10000. Digits
// before position dec_pos are whole units, from dec_pos on fractions. With dec_pos 255 one ','
// is accepted and the fraction starts after it. Missing whole digits between to and dec_pos
// scale the value by 10 each. With is_signed a '-' just before `from` negates it.
// error: 0 fine, 1 a character that does not belong (or positions outside the text),
// 2 the value does not fit 64 bits; the value is 0 with an error, and a log line is written.
int64_t ParseDecimal(std::string_view text, int from, int dec_pos, bool is_signed, int to,
                     int& error);

// Frame bytes as a log shows them: printable ASCII as it is, '\' doubled, any other byte \xHH.
std::string FrameText(std::string_view bytes);

}  // namespace drv
