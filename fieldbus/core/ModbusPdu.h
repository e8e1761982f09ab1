// Modbus requests and the checks of their answers (pure code: no line, log or clock). A request
// is address, function and data; its answer arrives here without frame, CRC or encapsulation.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mb {

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

namespace pdu {

// A request as the transaction sends it, with what its answer is read to.
struct Request {
    std::vector<uint8_t> bytes;
    size_t expected = 0;    // the answer's length without CRC; 0 for any
    size_t stop_below = 0;  // a short answer of fewer bytes ends the attempts
    int refused = kMbOk;    // not 0: refused with this code before anything is sent
};

// Each check sees an answer the transaction took and turns it into the builder's code; one that
// sets `stop` ends the attempts whatever the code.

// 0x43: `count` bytes of one 256-byte bank; 40 when they span two banks.
Request ReadBank(uint8_t address, uint16_t start, uint16_t count);
int ReadBankAnswer(std::span<const uint8_t> a, uint8_t address, uint16_t count,
                   std::vector<uint8_t>& out);
// 0x03; with an encapsulation word at most 14 registers (42 otherwise).
// decisions FB-21
Request ReadHoldingRegisters(uint8_t address, uint16_t start, uint16_t count, bool encapsulated);
int RegistersAnswer(std::span<const uint8_t> a, uint8_t address, uint16_t count,
                    std::vector<uint16_t>& out);
// Pairs of registers as 32-bit values; high_word_first: the first of a pair is the high half.
void RegisterPairs(std::span<const uint16_t> words, bool high_word_first,
                   std::vector<uint32_t>& out);
// 0x11: the answer from its byte 3 on as big-endian words (an odd last byte is the high half
// of a word whose low half is 0).
Request ReportSlaveId(uint8_t address);
int SlaveIdAnswer(std::span<const uint8_t> a, uint8_t address, std::vector<uint16_t>& out);
// 0x42 with the payload; `out` receives the answer behind address and function.
Request Encapsulated(uint8_t address, std::span<const uint8_t> payload);
int EncapsulatedAnswer(std::span<const uint8_t> a, uint8_t address, std::vector<uint8_t>& out);
// 0x10; more registers than one frame carries are refused with 42.
Request WriteMultipleRegisters(uint8_t address, uint16_t start, std::span<const uint16_t> words);
int WriteMultipleAnswer(std::span<const uint8_t> a, const Request& request, bool& stop);
// 0x06; the device echoes the request.
Request WriteSingleRegister(uint8_t address, uint16_t reg, uint16_t value);
int WriteSingleAnswer(std::span<const uint8_t> a, const Request& request, bool& stop);
// 0x07: the device's status byte.
Request ReadExceptionStatus(uint8_t address);
int ExceptionStatusAnswer(std::span<const uint8_t> a, uint8_t address, uint8_t& out, bool& stop);
// 0x08 sub-function 0 with data 0, which the device must echo.
Request Diagnostics(uint8_t address);
int DiagnosticsAnswer(std::span<const uint8_t> a, const Request& request);

}  // namespace pdu
}  // namespace mb
