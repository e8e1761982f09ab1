// DCON ASCII modules (ICP-CON and Fastwel lines): the answer checks (pure code) and the port the
// bus thread owns for a DCON line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fieldbus/core/ByteLine.h"

namespace mb {

class CLogFile;

namespace dcon {

// Results of the DCON port.
inline constexpr int kOk = 0;
inline constexpr int kTimeout = 1;  // nothing, or a short answer without CR
inline constexpr int kWriteError = 8;
inline constexpr int kReadError = 9;
inline constexpr int kBadAnswer = 72;   // no CR, a wrong lead character or an unreadable field
inline constexpr int kBadAddress = 73;  // the answer names another module
inline constexpr int kRefused = 80;     // '?': the module refused the value query

inline constexpr size_t kStatusAnswer = 6;  // "!AASS\r"
inline constexpr size_t kValueAnswer = 22;  // lead, address, three fields of 6, CR

// "$AAI\r" and "#AA0\r", the address in upper-case hex.
std::string StatusCommand(uint8_t address);
std::string ValueCommand(uint8_t address);

// Checks a received answer to `command`: 1 when it is empty or short without a final CR,
// 73 when its characters 1-2 differ from the command's, else 72 when its last character is
// not CR, else 0.
int CheckAnswer(std::string_view answer, std::string_view command, size_t expected);
// The status byte of a status answer: a check code, or 72 for a lead other than '!', another
// length or characters 3-4 that are not hexadecimal (either case).
int ParseStatus(std::string_view answer, std::string_view command, uint8_t& status);
// The three fields of a value answer as decimal numbers (C locale, a leading sign allowed):
// 0, 80 for a refusal ('?'; fields it lacks or cannot be read give 0), 72 for a field that is
// not a number or a length other than 22, or a check code. `read`, when given, tells which of
// the three fields the answer carried as numbers (all of them with 0).
int ParseValues(std::string_view answer, std::string_view command, float out[3],
                bool* read = nullptr);

}  // namespace dcon

// The port of a DCON line, owned by its bus thread.
class CLocalICPCON {
  public:
    // The port log is not owned and may be null.
    explicit CLocalICPCON(CLogFile* log = nullptr);
    ~CLocalICPCON();
    CLocalICPCON(const CLocalICPCON&) = delete;
    CLocalICPCON& operator=(const CLocalICPCON&) = delete;

    // "COMn" with the mode's baud rate and parity (0 none, 2 even), 8 data bits, one stop bit.
    // 0 or the platform's error code; a port that cannot take its settings is closed again.
    long Open(int port, uint32_t baud = 9600, uint8_t parity = 0);
    bool Close();
    bool IsOpen() const { return line_.IsOpen(); }
    // The line-error bits since the last call.
    uint32_t ClearLineErrors();
    int PortNumber() const { return port_number_; }

    // The status query; also the probe of a module address.
    int ReadStatus(uint8_t address, uint8_t& status);
    int CheckModule(uint8_t address) {
        uint8_t status = 0;
        return ReadStatus(address, status);
    }
    // The value query, up to 3 tries while it fails: density, temperature, viscosity. A code
    // of the last try when all fail. `read` (3 flags) as ParseValues gives them.
    int ReadParameter(uint8_t address, float out[3], bool* read = nullptr);
    static std::string GetErrorText(int code);

  private:
    // One command and its answer: a DCON code; the answer as read.
    int Query(const std::string& command, size_t expected, std::string& answer);

    CLogFile* log_;
    CSerialLine line_;
    int port_number_ = 1;
};

}  // namespace mb
