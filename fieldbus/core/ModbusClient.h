// The library's Modbus client: the request builders with their retries over one transaction
// (CModbus), and the transaction on a byte line (CLocalModbus): RTU with CRC-16, or ASCII with
// LRC when stored settings ask for it; the echo, the silence that ends an answer and the pauses
// of a serial line. Requests and frames are pure code (ModbusPdu.h, ModbusFrame.h); the line
// (ByteLine.h) only moves bytes.
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

#include "fieldbus/core/ModbusFrame.h"
#include "platform/serial/serial.h"

namespace mb {

class CArchive;
class CLogFile;
class IByteLine;

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
    // `check` sees an answer the transaction took and turns it into the builder's code.
    template <class Check>
    int RunWithRetries(const pdu::Request& request, uint16_t encapsulation, Check check);
    int Finish(int code);

    std::recursive_timed_mutex lock_;
    std::atomic<uint16_t> retries_{1};
    std::atomic<uint32_t> pause_{0};
    std::atomic<bool> exceptions_{false};
    std::atomic<uint32_t> lock_timeout_{kInfinite};
};

// The client on a byte line: the local serial port unless another line is given. The line
// moves bytes; the framing, the answer and silent time-outs, the echo, the write wait and the
// closing pause are the client's.
// decisions FB-70
class CLocalModbus : public CModbus {
  public:
    static constexpr size_t kBufferSize = 512;
    static constexpr size_t kMaxAnswer = rtu::kMaxAnswer;
    static constexpr size_t kMaxFrame = rtu::kMaxFrame;

    // The port log is not owned and may be null.
    explicit CLocalModbus(CLogFile* port_log = nullptr);
    CLocalModbus(std::unique_ptr<IByteLine> line, CLogFile* port_log);
    ~CLocalModbus() override;

    void Serialize(CArchive& ar) override;
    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override;
    int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size, size_t& got,
                    uint32_t wait_ms) override;
    bool IsOpen() const override;

    // "COMn"; 0 / 0 / 0xFF take the stored port, baud and parity (0 none, 2 even). `error` is
    // the platform's code of the open.
    virtual bool Open(int port, uint32_t baud, uint8_t parity, long& error);
    virtual bool Close();
    // The platform's time-out record of a serial line: its write part bounds every write; the
    // answer and silent time-outs bound the reads. nullptr: reads return at once. False on a
    // closed port and on a line without one.
    bool SetTimeout(const plat::serial::Timeouts* timeouts);
    bool GetTimeouts(plat::serial::Timeouts& out);

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
    IByteLine& Line() const { return *line_; }
    int TransactionRtu(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                       size_t expected, uint16_t encapsulation, size_t& answer_length);
    int TransactionAscii(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                         size_t& answer_length);

    CLogFile* log_;
    uint8_t buffer_[kBufferSize] = {};  // the answer buffer, used under the port lock

  private:
    // How a read of an answer ended.
    enum class Read { kDone, kFailed, kTooLong };

    // Drops what either direction holds.
    bool Purge();
    // Sends a frame; on a serial line it returns once the frame has left the wire and its
    // character times have passed. The answer stopwatch starts then.
    bool WriteFrame(const uint8_t* frame, size_t length);
    // Reads an answer into `buffer` up to `cap` bytes: within the answer time-out for its first
    // byte behind `first` bytes (an echo), then until the silent time-out passes without one or
    // the line's message ends. On a serial line the closing pause follows.
    Read ReadFrame(uint8_t* buffer, size_t cap, size_t first, size_t& count);
    // A line failure: the error bits cleared and logged behind `note` (a message line logged
    // its own), and a vanished device closes the port so that the owner opens it again.
    void LineFailed(const char* note, long rc);
    uint32_t WriteWithin(size_t length) const;

    std::unique_ptr<IByteLine> line_;
    plat::serial::Timeouts timeouts_{};
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
