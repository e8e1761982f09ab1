#include "fieldbus/core/ModbusFrame.h"

#include <algorithm>
#include <cstring>

namespace mb {

namespace {

int HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;  // lower case and anything else, as the ASCII framing has always read it
}

uint8_t HexByte(const uint8_t* p) {
    return static_cast<uint8_t>(HexDigit(p[0]) << 4 | HexDigit(p[1]));
}

void HandBack(const uint8_t* a, size_t n, std::vector<uint8_t>& answer, size_t& length) {
    answer.assign(a, a + n);
    length = n;
}

}  // namespace

uint16_t Crc16(std::span<const uint8_t> bytes, size_t length) {
    if (length == 0 || length > bytes.size()) return 0;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrc16Table[(crc ^ bytes[i]) & 0xFF];
    return crc;
}

uint8_t Lrc(std::span<const uint8_t> bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(-sum);
}

namespace rtu {

int EncodeRequest(std::span<const uint8_t> request, uint16_t encapsulation,
                  std::vector<uint8_t>& frame, size_t& expected) {
    frame.clear();
    frame.reserve(request.size() + 4);
    if (encapsulation != 0) {
        if (request.size() > 80) return kMbRequestTooLong;
        frame.push_back(uint8_t(encapsulation >> 8));
        frame.push_back(uint8_t(encapsulation));
        if (expected != 0) expected += 2;
    }
    frame.insert(frame.end(), request.begin(), request.end());
    // Longer than a Modbus frame may be: the far end could not take it.
    if (frame.size() + 2 > kMaxFrame) return kMbRequestTooLong;
    const uint16_t crc = Crc16(frame);
    frame.push_back(uint8_t(crc));
    frame.push_back(uint8_t(crc >> 8));
    return kMbOk;
}

size_t ReadCap(size_t capacity, size_t expected, size_t sent, bool echo) {
    // With an echo and an answer of any length there is no limit (the echo alone would reach it).
    size_t limit = expected + 2;
    if (echo) limit = expected != 0 ? sent + expected + 2 : 0;
    // The echo does not count against the 255 bytes of the answer.
    size_t cap = std::min(capacity, AnswerStart(sent, echo) + kMaxAnswer);
    if (limit >= 3) cap = std::min(cap, limit);
    return cap;
}

int DecodeAnswer(std::span<const uint8_t> read, std::span<const uint8_t> sent, bool echo,
                 size_t expected, uint16_t encapsulation, std::vector<uint8_t>& answer,
                 size_t& answer_length) {
    answer_length = 0;
    if (read.empty()) return kMbTimeout;
    const uint8_t* a = read.data();
    size_t got = read.size();
    if (echo) {
        if (got <= sent.size()) return kMbTimeout;
        if (got - sent.size() < 5 || std::memcmp(a, sent.data(), sent.size()) != 0)
            return kMbInvalidAnswer;
        a += sent.size();
        got -= sent.size();
    }
    const size_t taken = got;

    const uint8_t function = got > 1 ? a[1] : 0;
    if (function > 0x80) {
        if (function == 0xC1) {
            // The only exception answer whose body goes to the caller.
            if (got < 11 || Crc16({a, 11}) != 0) return kMbCrcError;
            HandBack(a, 9, answer, answer_length);
            return kMbDeviceException + a[2];
        }
        if (got < 5 || Crc16({a, 5}) != 0) return kMbCrcError;
        return kMbDeviceException + a[2];
    }
    if (Crc16({a, got}) != 0) return kMbCrcError;
    got = got > 2 ? got - 2 : 0;

    if (encapsulation != 0) {
        if (got <= 2) return kMbTimeout;
        a += 2;  // the echoed encapsulation word
        got -= 2;
        if (got < 3) return kMbInvalidAnswer;
        if (a[1] > 0x80) return kMbDeviceException + a[2];
    } else if (got < 2) {
        HandBack(a, got, answer, answer_length);
        return kMbInvalidAnswer;  // no address and function
    }
    HandBack(a, got, answer, answer_length);
    // Short: handed back, so that the builder can tell whether another attempt may help.
    if (expected > 2 && taken < expected + 2) return kMbInvalidAnswer;
    return kMbOk;
}

}  // namespace rtu

namespace ascii {

std::string EncodeRequest(std::span<const uint8_t> request) {
    const uint8_t lrc = Lrc(request);
    return ":" + HexText(request) + HexText({&lrc, 1}) + "\r\n";
}

bool Ended(std::span<const uint8_t> read) {
    const size_t n = read.size();
    return n > 5 && read[n - 2] == '\r' && read[n - 1] == '\n';
}

int DecodeAnswer(std::span<const uint8_t> read, std::vector<uint8_t>& answer,
                 size_t& answer_length) {
    answer_length = 0;
    const size_t count = read.size();
    if (count == 0) return kMbTimeout;
    if (count < 5) return kMbCrcError;
    const size_t n = (count - 5) / 2;
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = HexByte(read.data() + 1 + 2 * i);
    if (Lrc(bytes) != HexByte(read.data() + count - 4)) return kMbCrcError;
    if (n < 2) return kMbInvalidAnswer;
    if (bytes[1] >= 129) {
        if (n < 3) return kMbInvalidAnswer;
        return kMbDeviceException | bytes[2];
    }
    answer = std::move(bytes);
    answer_length = n;
    return kMbOk;
}

}  // namespace ascii
}  // namespace mb
