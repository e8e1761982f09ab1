// The native protocol's frames, without a line: building a request, telling when the bytes read
// so far make a whole answer, stripping the echo, the repairs of known line faults and the
// validation of an answer. Nothing here does I/O, logs or keeps state, so every rule can be
// tested and fuzzed on plain bytes; TZrnPort runs the exchange around it.
//
// Request: 'H', address, command, data, checksum, 'E'; the checksum is the 8-bit sum of every
// other byte. Answer: 'A', 'H', address, command, data, checksum, 'E' of a length the caller
// knows beforehand; its checksum is the 8-bit sum from 'H' to 'E' without the checksum itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace drv {

// Exchange modes.
constexpr int kModeNormal = 0;
constexpr int kModeChecksumLow1 = 1;  // also accept a checksum 0x10 below the sum
constexpr int kModeChecksumLow2 = 2;  // same as 1
constexpr int kModeSilenceAck = 3;    // silence counts as the acknowledgement "A"

constexpr int kZrnAddresses = 32;
constexpr size_t kZrnMaxFrame = 255;              // receive buffer and request frame limit
constexpr size_t kZrnMaxData = kZrnMaxFrame - 5;  // 'H', address, command, checksum, 'E'
// Expected lengths below this are a bare acknowledgement, not a framed answer.
constexpr size_t kZrnMinFramedAnswer = 6;

// 8-bit sum of the bytes.
uint8_t ZrnSum(std::string_view bytes);

// The arguments make a request frame: address below 32, expected answer length 1..255 and at
// most kZrnMaxData data characters.
bool ZrnRequestFits(uint8_t address, size_t data_size, int expected);

// The request frame. Call only with arguments ZrnRequestFits accepts.
std::string ZrnRequest(uint8_t address, uint8_t command, std::string_view data);

// Bytes worth reading for one exchange: the echo and the answer, at most a receive buffer.
size_t ZrnReadLimit(size_t expected, size_t frame_size);

// The bytes read so far make a whole answer: the read limit is reached, or the expected
// length is there and the echo of `frame` is not in front.
bool ZrnReadComplete(std::string_view received, std::string_view frame, size_t expected);

// How many bytes the next read of an exchange asks for, `received` already there and at most
// `limit` in all: up to the expected length first, where an answer without echo is complete,
// and only then up to the limit (an echo in front); never less than the driver already holds
// (`available`), so a whole echo and answer, or an answer that runs long, still come in one
// read. A line without echo thus never waits for the bytes an echo would have added.
size_t ZrnReadSize(size_t received, size_t expected, size_t limit, size_t available);

// Cuts the echo of `frame` off the front of `received` when the whole frame is there; true
// when it did.
bool ZrnStripEcho(std::string& received, std::string_view frame);

enum class ZrnRepair {
    kNone,
    // A lost byte made the checksum look like the frame start ("CS = BP"): the answer is cut
    // to the expected length and ends in 'E' again. The line needs reopening.
    kChecksumAsStart,
    kTooLong,     // cut to the expected length
    kSilenceAck,  // nothing came in the silence mode: the answer is "A"
};

// Repairs the answer (echo already stripped) in place. `received` tells whether any byte came.
ZrnRepair ZrnRepairAnswer(std::string& answer, size_t expected, bool received, int mode);

enum class ZrnVerdict {
    kValid,     // a valid answer: its data is ZrnAnswerData
    kRejected,  // wrong length or not starting with 'A'
    kNak,       // the controller answered 'B' (of any length): it saw a bad checksum
    kInvalid,   // length and 'A' right, the frame is not (checksum, 'H', address, command, 'E')
};

// Judges a repaired answer of a request with this address and command. An expected length
// below kZrnMinFramedAnswer needs only the length and the leading 'A'. A framed answer's
// address byte may carry any of the bits 0xE0 when its low four bits are the address.
ZrnVerdict ZrnJudge(std::string_view answer, size_t expected, uint8_t address, uint8_t command,
                    int mode);

// The part handed back of a valid answer: the data of a framed one, a bare one whole.
std::string_view ZrnAnswerData(std::string_view answer, size_t expected);

// The address byte of a valid framed answer.
inline uint8_t ZrnAnswerAddress(std::string_view answer) {
    return static_cast<uint8_t>(answer[2]);
}

}  // namespace drv
