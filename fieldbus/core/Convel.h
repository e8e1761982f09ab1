// The board bus of the running-line display boards: the frame codec (pure code), the frame
// protocol over a byte line, and the port the bus thread owns for a board-bus line.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fieldbus/core/ByteLine.h"
#include "platform/serial/serial.h"

namespace mb {

class CLogFile;

namespace convel {

inline constexpr uint8_t kStart = 0x7E;   // '~'
inline constexpr uint8_t kEnd = 0x7C;     // '|'
inline constexpr uint8_t kEscape = 0x7D;  // the next byte is sent XOR 0x20
inline constexpr size_t kHeaderSize = 6;  // destination 2, source 2, command, sequence
inline constexpr size_t kMaxCollected = 4095;
inline constexpr size_t kDefaultBlock = 4087;
inline constexpr uint8_t kLastBlock = 0x80;
inline constexpr uint8_t kCmdNextBlock = 4;  // an inner block was taken
inline constexpr uint8_t kCmdResend = 5;     // send the block again
inline constexpr uint8_t kCmdDone = 14;      // accepted instead of the echoed command

// Frame-layer results.
inline constexpr int kOk = 0;
inline constexpr int kTimeout = 1;
inline constexpr int kInvalid = 2;
inline constexpr int kCrcError = 3;
// Line failures; the device models count them like the other ports' 8 and 9.
inline constexpr int kWriteError = 8;
inline constexpr int kReadError = 9;
// A display-board request or write that failed.
inline constexpr int kFailed = 1117;

// CRC-16/ARC: reflected 0xA001, initial 0, no final XOR.
uint16_t Crc16Arc(std::span<const uint8_t> bytes);
// CRC-8/MAXIM: reflected 0x8C, initial 0.
uint8_t Crc8Maxim(std::span<const uint8_t> bytes);

// One frame of header and data: '~', the bytes and their CRC (low byte first) escaped, '|'.
std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> header_and_data);

// Collects an answer frame byte by byte.
class AnswerReader {
  public:
    enum Status { kMore, kDone, kBadStart, kTooLong };
    Status Feed(uint8_t byte);
    // The unescaped bytes between '~' and '|' (header, data, CRC).
    const std::vector<uint8_t>& Collected() const { return collected_; }
    void Reset();

  private:
    bool started_ = false;
    bool escaped_ = false;
    std::vector<uint8_t> collected_;
};

// Checks a collected answer against the request's source and destination (the answer carries
// them swapped): 0, 2 (too short or wrong addresses) or 3 (CRC).
int CheckAnswer(std::span<const uint8_t> collected, const uint8_t source[2],
                const uint8_t destination[2]);

// Decodes one answer from a byte stream: 0 with the collected bytes, 1 when the stream ends
// before '|', 2 when it does not start with '~', OPC_E_RANGE for more than 4095 bytes, or a
// CheckAnswer code. `used` is how many bytes were taken.
int DecodeAnswer(std::span<const uint8_t> stream, const uint8_t source[2],
                 const uint8_t destination[2], std::vector<uint8_t>& collected, size_t& used);

}  // namespace convel

// Framed, escaped, CRC-protected blocks with a sequence number; unframed data writes. Each byte
// of an answer is read within the port's time-out record; a line failure gives 8 or 9, and a
// vanished device closes the line without purging so that the bus thread opens it again.
// decisions FB-27, FB-71
class CConvelProtocol {
  public:
    static constexpr plat::serial::Timeouts kTimeouts{100, 100, 1000, 100, 1000};

    explicit CConvelProtocol(IByteLine* line = nullptr, CLogFile* log = nullptr)
        : line_(line), log_(log) {}
    virtual ~CConvelProtocol() = default;

    void SetAddress(uint8_t first, uint8_t second) {
        destination_[0] = first;
        destination_[1] = second;
    }
    // Data bytes of one block (at least 1; the frame limit is this + 8).
    void SetMaxLength(size_t block);
    size_t MaxLength() const { return block_; }
    void SetPort(IByteLine* line) { line_ = line; }
    void SetLog(CLogFile* log) { log_ = log; }
    // The record the line's reads and writes are bounded by.
    void SetTimeouts(const plat::serial::Timeouts& t) { timeouts_ = t; }
    const plat::serial::Timeouts& Timeouts() const { return timeouts_; }

    // Sends the data in blocks and returns the last answer's command and data: 0, 1, 2, 3,
    // OPC_E_RANGE or a line code (8, 9).
    int Exchange(uint8_t command, std::span<const uint8_t> data, uint8_t& answer_command,
                 std::vector<uint8_t>& answer_data);
    // Raw: the command, the data and their CRC-8; then "OK" must come back. 0, 1117 or E_FAIL
    // (no answer).
    int SendData(uint8_t command, std::span<const uint8_t> data);
    // The single byte 0xCC, answered by "OK" like SendData.
    int SendCommandByte();

  private:
    // One block out and its answer in; `collected` holds the whole answer frame.
    int SendBlock(const std::vector<uint8_t>& frame_body, std::vector<uint8_t>& collected);
    int ReadAnswer(std::vector<uint8_t>& collected);
    int ExpectOk();
    // 0, or 8 when the bytes could not all be written.
    int Write(const uint8_t* bytes, size_t count);
    // 0 with a byte, 1 when none came in time, 9 on a line error.
    int ReadByte(uint8_t& byte);
    void PurgeInput() { line_->Purge(true, false); }
    void Failed(long rc);

    IByteLine* line_;
    plat::serial::Timeouts timeouts_ = kTimeouts;
    CLogFile* log_;
    uint8_t destination_[2] = {0, 0};
    uint8_t source_[2] = {0, 0};
    size_t block_ = convel::kDefaultBlock;
};

// The port of a board-bus line, owned by its bus thread.
class CLocalConvel {
  public:
    // The port log is not owned and may be null.
    explicit CLocalConvel(CLogFile* log = nullptr);
    ~CLocalConvel();
    CLocalConvel(const CLocalConvel&) = delete;
    CLocalConvel& operator=(const CLocalConvel&) = delete;

    // "COMn" with the mode's baud rate and parity (0 none, 2 even), 8 data bits, one stop bit.
    // 0 or the platform's error code; a port that cannot take its settings is closed again.
    long Open(int port, uint32_t baud = 9600, uint8_t parity = 0);
    bool Close();
    bool IsOpen() const;
    bool Purge();
    // Five values as the platform's time-out record; nullptr: reads return at once.
    bool SetTimeout(const plat::serial::Timeouts* timeouts);
    bool GetTimeouts(plat::serial::Timeouts& out);
    int PortNumber() const { return port_number_; }

    // The probe of one board address: 0 linked, 2 wrong answer, or a frame or line code.
    // With framed mode off every address counts as linked, without traffic.
    int CheckLink(uint8_t address);
    // A framed request: 0, 1117 (failed), E_FAIL, or OPC_E_RANGE for 3501 bytes or more.
    int Request(uint8_t first, uint8_t second, uint8_t command, std::span<const uint8_t> data);
    // An unframed data block (command 0x42) after the command byte 0xCC: 0, 1117 or E_FAIL.
    int WriteData(std::span<const uint8_t> bytes);
    static std::string GetErrorText(int code);

    // Framed mode (on by default); off, boards take unframed blocks and links are not checked.
    bool FramedMode() const { return framed_.load(); }
    void SetFramedMode(bool on) { framed_.store(on); }
    CConvelProtocol& Protocol() { return *protocol_; }

  private:
    CLogFile* log_;
    std::unique_ptr<CSerialLine> line_;
    std::unique_ptr<CConvelProtocol> protocol_;
    std::atomic<bool> framed_{true};
    int port_number_ = 0;
};

}  // namespace mb
