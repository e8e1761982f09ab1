// Modbus frames on a serial line (pure code: no line, log or clock): RTU with CRC-16, the
// encapsulation word and echo removal, and the ASCII framing with LRC.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fieldbus/core/Checksum.h"
#include "fieldbus/core/ModbusPdu.h"

namespace mb {

// CRC-16/MODBUS (table-driven); 0 for an empty input or a length beyond the bytes. A frame
// carries it low byte first, so the CRC over a frame including its CRC is 0.
uint16_t Crc16(std::span<const uint8_t> bytes, size_t length);
inline uint16_t Crc16(std::span<const uint8_t> bytes) {
    return Crc16(bytes, bytes.size());
}
// Modbus ASCII LRC: two's complement of the 8-bit sum.
uint8_t Lrc(std::span<const uint8_t> bytes);

namespace rtu {

inline constexpr size_t kMaxAnswer = 255;  // bytes of one answer, echo not counted
inline constexpr size_t kMaxFrame = 256;   // longest frame sent, CRC included

// The frame of a request: the encapsulation word (when not 0) and the request, then its CRC low
// byte first. 42 for a request too long for the word (over 80 bytes) or for a frame. `expected`
// (the answer's length without CRC, 0 for any) grows by the echoed word.
int EncodeRequest(std::span<const uint8_t> request, uint16_t encapsulation,
                  std::vector<uint8_t>& frame, size_t& expected);
// How far the read of the answer to a frame of `sent` bytes may go into a buffer of
// `capacity`: to the expected answer and its CRC (behind the echo), at most a whole answer.
// decisions FB-18
size_t ReadCap(size_t capacity, size_t expected, size_t sent, bool echo);
// Where the answer proper starts in what is read: behind the echo.
inline size_t AnswerStart(size_t sent, bool echo) {
    return echo ? sent : 0;
}
// Judges what was read behind the frame `sent`: 0 with the answer (without CRC and the echoed
// word) in `answer`, 1 for nothing, 2 for a broken or short answer (a short one is handed
// back), 3 for a CRC error, 0x8000 + code for an exception answer (0xC1 hands its body over).
// decisions FB-22
int DecodeAnswer(std::span<const uint8_t> read, std::span<const uint8_t> sent, bool echo,
                 size_t expected, uint16_t encapsulation, std::vector<uint8_t>& answer,
                 size_t& answer_length);

}  // namespace rtu

namespace ascii {

// ":" the request and its LRC in hexadecimal, CR LF.
std::string EncodeRequest(std::span<const uint8_t> request);
// Whether what is read is a whole frame: more than 5 characters ending in CR LF.
bool Ended(std::span<const uint8_t> read);
// Judges a frame read: 0 with the bytes (address, function, data), 1 for nothing, 3 for a
// short frame or an LRC mismatch, 2 without address and function, 0x8000 + code for an
// exception answer. Hexadecimal digits are read as upper case only; others count as 0.
int DecodeAnswer(std::span<const uint8_t> read, std::vector<uint8_t>& answer,
                 size_t& answer_length);

}  // namespace ascii
}  // namespace mb
