#include "fieldbus/core/ModbusPdu.h"

#include <algorithm>
#include <cstring>

namespace mb::pdu {

namespace {

Request Make(std::initializer_list<uint8_t> bytes, size_t expected) {
    Request r;
    r.bytes = bytes;
    r.expected = expected;
    return r;
}

uint8_t Hi(uint16_t v) {
    return static_cast<uint8_t>(v >> 8);
}
uint8_t Lo(uint16_t v) {
    return static_cast<uint8_t>(v);
}

bool Echoes(std::span<const uint8_t> a, const Request& request, size_t n) {
    return a.size() >= n && request.bytes.size() >= n &&
           std::memcmp(a.data(), request.bytes.data(), n) == 0;
}

}  // namespace

Request ReadBank(uint8_t address, uint16_t start, uint16_t count) {
    Request r =
        Make({address, 0x43, Hi(start), Lo(start), Hi(count), Lo(count)}, size_t{count} + 3);
    if ((start & 0xFF) + count > 256) r.refused = kMbMultiBank;
    return r;
}

int ReadBankAnswer(std::span<const uint8_t> a, uint8_t address, uint16_t count,
                   std::vector<uint8_t>& out) {
    if (a.size() < 3 || a[0] != address || a[1] != 0x43) return kMbInvalidAnswer;
    if (a[2] != count) return kMbByteCount;
    const size_t want = size_t{count} + 3;
    if (a.size() < want) return kMbInvalidAnswer;
    out.assign(a.begin() + 3, a.begin() + static_cast<ptrdiff_t>(want));
    return kMbOk;
}

Request ReadHoldingRegisters(uint8_t address, uint16_t start, uint16_t count, bool encapsulated) {
    Request r =
        Make({address, 0x03, Hi(start), Lo(start), Hi(count), Lo(count)}, 2 * size_t{count} + 3);
    if (encapsulated && count > 14) r.refused = kMbRequestTooLong;
    return r;
}

int RegistersAnswer(std::span<const uint8_t> a, uint8_t address, uint16_t count,
                    std::vector<uint16_t>& out) {
    if (a.size() < 3 || a[0] != address || a[1] != 0x03) return kMbInvalidAnswer;
    if (a[2] != 2 * size_t{count}) return kMbByteCount;
    if (a.size() < 2 * size_t{count} + 3) return kMbInvalidAnswer;
    out.resize(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(a[3 + 2 * i] << 8 | a[4 + 2 * i]);
    return kMbOk;
}

void RegisterPairs(std::span<const uint16_t> words, bool high_word_first,
                   std::vector<uint32_t>& out) {
    out.resize(words.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint32_t first = words[2 * i], second = words[2 * i + 1];
        out[i] = high_word_first ? (first << 16 | second) : (second << 16 | first);
    }
}

Request ReportSlaveId(uint8_t address) {
    return Make({address, 0x11}, 0);
}

int SlaveIdAnswer(std::span<const uint8_t> a, uint8_t address, std::vector<uint16_t>& out) {
    const size_t n = a.size();
    if (n < 2 || a[0] != address || a[1] != 0x11) return kMbInvalidAnswer;
    const size_t words = (n - 2) / 2;
    if (words == 0) return kMbInvalidAnswer;
    out.resize(words);
    for (size_t i = 0; i < words; ++i) {
        const size_t hi = 3 + 2 * i;
        const uint8_t lo = hi + 1 < n ? a[hi + 1] : 0;
        out[i] = static_cast<uint16_t>(a[hi] << 8 | lo);
    }
    return kMbOk;
}

Request Encapsulated(uint8_t address, std::span<const uint8_t> payload) {
    Request r = Make({address, 0x42}, 0);
    r.bytes.insert(r.bytes.end(), payload.begin(), payload.end());
    return r;
}

int EncapsulatedAnswer(std::span<const uint8_t> a, uint8_t address, std::vector<uint8_t>& out) {
    if (a.size() < 2 || a[0] != address || a[1] != 0x42) return kMbInvalidAnswer;
    out.assign(a.begin() + 2, a.end());
    return kMbOk;
}

Request WriteMultipleRegisters(uint8_t address, uint16_t start, std::span<const uint16_t> words) {
    const size_t count = words.size();
    Request r = Make({address, 0x10, Hi(start), Lo(start), Hi(static_cast<uint16_t>(count)),
                      Lo(static_cast<uint16_t>(count)), static_cast<uint8_t>(2 * count)},
                     6);
    r.stop_below = 6;
    // The byte count is one byte and a frame at most 256 bytes: 123 registers at most.
    if (count > 123) {
        r.refused = kMbRequestTooLong;
        return r;
    }
    for (uint16_t w : words) {
        r.bytes.push_back(Hi(w));
        r.bytes.push_back(Lo(w));
    }
    return r;
}

// decisions FB-23
int WriteMultipleAnswer(std::span<const uint8_t> a, const Request& request, bool& stop) {
    if (a.size() < 6) {
        stop = true;
        return kMbInvalidAnswer;
    }
    return Echoes(a, request, 6) ? kMbOk : kMbInvalidAnswer;
}

Request WriteSingleRegister(uint8_t address, uint16_t reg, uint16_t value) {
    Request r = Make({address, 0x06, Hi(reg), Lo(reg), Hi(value), Lo(value)}, 6);
    r.stop_below = 4;
    return r;
}

int WriteSingleAnswer(std::span<const uint8_t> a, const Request& request, bool& stop) {
    if (a.size() <= 3) stop = true;
    if (a.size() < 6) return kMbInvalidAnswer;
    return Echoes(a, request, 6) ? kMbOk : kMbInvalidAnswer;
}

Request ReadExceptionStatus(uint8_t address) {
    return Make({address, 0x07}, 3);
}

int ExceptionStatusAnswer(std::span<const uint8_t> a, uint8_t address, uint8_t& out, bool& stop) {
    if (a.size() < 3 || a[0] != address) {
        stop = true;
        return kMbInvalidAnswer;
    }
    out = a[2];
    return kMbOk;
}

Request Diagnostics(uint8_t address) {
    return Make({address, 0x08, 0x00, 0x00, 0x00, 0x00}, 6);
}

int DiagnosticsAnswer(std::span<const uint8_t> a, const Request& request) {
    return Echoes(a, request, 6) ? kMbOk : kMbInvalidAnswer;
}

}  // namespace mb::pdu
