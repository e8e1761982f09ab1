// The library's Modbus client: request builders, the transaction over a serial line (RTU with
// CRC-16, or ASCII with LRC when stored settings ask for it), retries and error codes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/serial/serial.h"

namespace mb {

class CArchive;
class CLogFile;
class IModbusLine;
class CSerialModbusLine;

// Result codes of the field-bus ports.
enum ModbusError : int {
    kMbOk = 0,
    kMbTimeout = 1,
    kMbInvalidAnswer = 2,
    kMbCrcError = 3,
    kMbWriteError = 8,
    kMbReadError = 9,
    kMbPortNotOpen = 10,
    kMbLockTimeout = 11,
    kMbByteCount = 12,
    kMbMultiBank = 40,
    kMbRequestTooLong = 42,
    kMbDeviceException = 0x8000,  // + the device's exception code
};

inline bool IsDeviceException(int code) {
    return code >= 0x8000 && code <= 0x80FF;
}

// CRC-16/MODBUS (table-driven); 0 for an empty input or a length beyond the bytes. A frame
// carries it low byte first, so the CRC over a frame including its CRC is 0.
uint16_t Crc16(std::span<const uint8_t> bytes, size_t length);
inline uint16_t Crc16(std::span<const uint8_t> bytes) {
    return Crc16(bytes, bytes.size());
}
// Modbus ASCII LRC: two's complement of the 8-bit sum.
uint8_t Lrc(std::span<const uint8_t> bytes);
// Upper-case hexadecimal, two characters a byte, no separators.
std::string HexText(std::span<const uint8_t> bytes);

// Stopwatch on the process clock's performance counter.
class CPerformanceCounter {
  public:
    CPerformanceCounter();
    bool IsValid() const { return frequency_ > 0; }
    void Start();
    void Mark();
    // Marks and returns mark - start.
    int64_t ElapsedToNow();
    int64_t Elapsed() const { return mark_ - start_; }
    double ToMs(int64_t ticks) const;
    double ElapsedMs() const { return ToMs(Elapsed()); }
    double MsSinceStart() const;

  private:
    int64_t frequency_ = 0;
    int64_t start_ = 0;
    int64_t mark_ = 0;
};

class CModbusException : public std::exception {
  public:
    CModbusException(std::string text, uint16_t code);
    // "%s error #%d" (text, code), or "%s error" for code 0, cut to size - 1 bytes.
    bool GetErrorMessage(char* buffer, size_t size) const;
    const char* what() const noexcept override { return message_.c_str(); }
    uint16_t Code() const { return code_; }
    const std::string& Text() const { return text_; }

  private:
    std::string text_;
    uint16_t code_;
    std::string message_;
};

// What does not depend on the line: retries, the exception switch, the port lock and the request
// builders. Every builder sends through Transaction and returns a code (0 = success).
class CModbus {
  public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    CModbus() = default;
    virtual ~CModbus() = default;
    CModbus(const CModbus&) = delete;
    CModbus& operator=(const CModbus&) = delete;

    virtual void Serialize(CArchive& ar);
    // One attempt: frames the request, waits for the answer, checks it. `answer` receives the
    // answer without CRC (and without the encapsulation prefix); `expected` is its length
    // without CRC, 0 for any. A short answer is handed back with code 2.
    virtual int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                            size_t expected, uint16_t encapsulation, size_t& answer_length) = 0;
    // A frame as it is, no CRC; whatever comes back within the wait.
    virtual int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                            size_t& got, uint32_t wait_ms) = 0;
    virtual std::string GetErrorText(int code) const;
    virtual bool IsOpen() const = 0;

    // 0x43: `count` bytes of one 256-byte bank; 40 without traffic when they span two banks.
    int ReadBank(uint8_t address, uint16_t start, uint16_t count, std::vector<uint8_t>& out,
                 uint16_t encapsulation = 0);
    // 0x03; with an encapsulation word at most 14 registers (42 otherwise).
    int ReadHoldingRegisters(uint8_t address, uint16_t start, uint16_t count,
                             std::vector<uint16_t>& out, uint16_t encapsulation = 0);
    // 0x03 over 2n registers; high_word_first: the first register of a pair is the high half.
    int ReadRegisterPairs(uint8_t address, uint16_t start, uint16_t n, std::vector<uint32_t>& out,
                          uint16_t encapsulation, bool high_word_first);
    // 0x11: the answer from its byte 3 on as big-endian words (an odd last byte is the high
    // half of a word whose low half is 0).
    int ReportSlaveId(uint8_t address, std::vector<uint16_t>& out, uint16_t encapsulation = 0);
    // 0x42 with the payload; `out` receives the answer behind address and function.
    int SendEncapsulated(uint8_t address, const uint8_t* payload, size_t length,
                         std::vector<uint8_t>& out, size_t& out_length);
    // 0x10; more registers than one frame can carry give 42 without traffic.
    int WriteMultipleRegisters(uint8_t address, uint16_t start, std::span<const uint16_t> words,
                               uint16_t encapsulation = 0);
    // 0x06.
    int WriteSingleRegister(uint8_t address, uint16_t reg, uint16_t value,
                            uint16_t encapsulation = 0);
    // 0x07: the device's status byte; also the bus thread's probe.
    int ReadExceptionStatus(uint8_t address, uint8_t& out, uint16_t encapsulation = 0);
    // 0x08 sub-function 0 with data 0, which the device must echo.
    int Diagnostics(uint8_t address, uint16_t encapsulation = 0);

    // Number of attempts (0 counts as 1).
    uint16_t GetRetries() const { return retries_.load(); }
    void SetRetries(uint16_t n) { retries_.store(n); }
    uint32_t GetPause() const { return pause_.load(); }
    bool GetExceptionSwitch() const { return exceptions_.load(); }
    void SetExceptionSwitch(bool on) { exceptions_.store(on); }
    // How long Open, Transaction and RawExchange wait for the port lock; kInfinite (the
    // default) waits without limit. A lock not had in time gives 11.
    uint32_t GetLockTimeout() const { return lock_timeout_.load(); }
    void SetLockTimeout(uint32_t ms) { lock_timeout_.store(ms); }

  protected:
    // The port lock, re-entrant so that Open may close the port it holds.
    class PortGuard {
      public:
        explicit PortGuard(CModbus& m);
        ~PortGuard();
        PortGuard(const PortGuard&) = delete;
        PortGuard& operator=(const PortGuard&) = delete;
        explicit operator bool() const { return owns_; }

      private:
        CModbus& m_;
        bool owns_;
    };

    void SetPause(uint32_t ms) { pause_.store(ms); }
    // Sleeps the pause after a transaction, if any.
    void PauseAfterTransaction() const;

    // Set when a request has left the line, marked at the first answer byte.
    CPerformanceCounter answer_watch_;

  private:
    friend class IModbusLine;

    template <class Check>
    int RunWithRetries(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                       size_t expected, uint16_t encapsulation, Check check, size_t stop_below = 0);
    int Finish(int code);

    std::recursive_timed_mutex lock_;
    std::atomic<uint16_t> retries_{1};
    std::atomic<uint32_t> pause_{0};
    std::atomic<bool> exceptions_{false};
    std::atomic<uint32_t> lock_timeout_{kInfinite};
};

// How a line's read of an answer ended.
enum class ReadResult {
    kRead,     // what came (possibly nothing) is in the buffer
    kFailed,   // a line error
    kTooLong,  // longer than any RTU answer: refused, nothing taken
};

// The client on a line: the local serial port unless another line is given (IModbusLine,
// ModbusLine.h). The framing is here; the line only moves bytes.
class CLocalModbus : public CModbus {
  public:
    static constexpr size_t kBufferSize = 512;
    static constexpr size_t kMaxAnswer = 255;  // bytes of one RTU answer, echo not counted
    static constexpr size_t kMaxFrame = 256;   // longest RTU frame sent, CRC included

    // The port log is not owned and may be null.
    explicit CLocalModbus(CLogFile* port_log = nullptr);
    CLocalModbus(std::unique_ptr<IModbusLine> line, CLogFile* port_log);
    ~CLocalModbus() override;

    void Serialize(CArchive& ar) override;
    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override;
    int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size, size_t& got,
                    uint32_t wait_ms) override;
    bool IsOpen() const override;

    // "COMn"; 0 / 0 / 0xFF take the stored port, baud and parity (0 none, 2 even). `error` is
    // the platform's code of the open.
    bool Open(int port, uint32_t baud, uint8_t parity, long& error);
    // Five values as the platform's time-out record; nullptr: reads return at once.
    bool SetTimeout(const plat::serial::Timeouts* timeouts);
    bool GetTimeouts(plat::serial::Timeouts& out);
    bool Close();
    bool Purge();
    bool WriteQuery(const uint8_t* frame, size_t length, size_t& written);
    // One read of what is there, up to `size` bytes.
    bool ReadAvailable(uint8_t* buffer, size_t size, size_t& count);
    // RTU answer into `buffer` (capacity bytes); `expected` is the read limit (none below 3),
    // `sent` the frame length an echo takes.
    bool ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected, size_t sent);

    uint32_t GetSilentTimeout() const { return silent_timeout_.load(); }
    void SetSilentTimeout(uint32_t ms) {
        if (ms != 0) silent_timeout_.store(ms);
    }
    uint32_t GetAnswerTimeout() const { return answer_timeout_.load(); }
    void SetAnswerTimeout(uint32_t ms) { answer_timeout_.store(ms); }
    uint32_t GetBaud() const { return baud_.load(); }
    void SetBaud(uint32_t baud) { baud_.store(baud); }
    uint8_t GetParity() const { return parity_.load(); }
    void SetParity(uint8_t parity) { parity_.store(parity); }
    void SetEcho(bool on) { echo_.store(on); }
    int GetPortNumber() const { return port_number_.load(); }
    uint16_t GetDataBits() const { return data_bits_.load(); }
    bool IsAscii() const { return ascii_.load() != 0; }
    // Latency of the last answer: from the end of the write wait to its first byte.
    double LastLatencyMs() const { return answer_watch_.ElapsedMs(); }

  protected:
    IModbusLine& Line() const { return *line_; }
    int TransactionRtu(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                       size_t expected, uint16_t encapsulation, size_t& answer_length);
    int TransactionAscii(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                         size_t& answer_length);

    CLogFile* log_;
    uint8_t buffer_[kBufferSize] = {};  // the answer buffer, used under the port lock

  private:
    friend class IModbusLine;
    friend class CSerialModbusLine;

    // The line's read of an RTU answer, capped as ReadAnswer says.
    ReadResult ReadLineAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                              size_t sent);

    std::unique_ptr<IModbusLine> line_;
    std::atomic<uint16_t> data_bits_{8};
    std::atomic<uint32_t> answer_timeout_{1000};
    std::atomic<uint32_t> silent_timeout_{0};
    std::atomic<int> port_number_{1};
    std::atomic<uint32_t> baud_{19200};
    std::atomic<uint8_t> parity_{0};
    uint8_t stop_bits_ = 0;
    uint8_t spare_ = 0;
    std::atomic<uint16_t> ascii_{0};
    std::atomic<bool> echo_{false};
};

}  // namespace mb
