// libFuzzer target: arbitrary bytes as a Modbus device's answer, through the RTU (or ASCII)
// framing checks and each request builder's validation. Only the line is replaced: the write
// is accepted at once and the read hands back the input, capped as the real read caps it.
//
// Input: byte 0 the request (low four bits), bit 4 echo in front, bit 5 ASCII, bit 6 an
// encapsulation word; byte 1 the address; bytes 2-3 a start/count word; the rest the answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fieldbus/core/ModbusClient.h"
#include "platform/time/clock.h"

namespace {

class LineModbus final : public mb::CLocalModbus {
  public:
    bool IsOpen() const override { return true; }
    bool Purge() override { return true; }
    bool WriteQuery(const uint8_t* frame, size_t length, size_t& written) override {
        sent_.assign(frame, frame + length);
        written = length;
        pending_.clear();
        if (echo) pending_ = sent_;
        pending_.insert(pending_.end(), answer.begin(), answer.end());
        at_ = 0;
        answer_watch_.Start();
        return true;
    }
    bool ReadAvailable(uint8_t* buffer, size_t size, size_t& count) override {
        count = std::min(size, pending_.size() - at_);
        if (count) std::memcpy(buffer, pending_.data() + at_, count);
        at_ += count;
        return true;
    }
    bool ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                    size_t sent) override {
        const size_t first = echo ? sent : 0;
        size_t cap = std::min(capacity, first + kMaxAnswer);
        if (expected >= 3) cap = std::min(cap, expected);
        ReadAvailable(buffer, cap, count);
        answer_watch_.Mark();
        return true;
    }
    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer_out,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override {
        if (!ascii)
            return CLocalModbus::Transaction(request, length, answer_out, expected, encapsulation,
                                             answer_length);
        answer_length = 0;
        if (answer_out.size() < expected) answer_out.resize(std::min(expected, kBufferSize));
        return TransactionAscii(request, length, answer_out, answer_length);
    }

    std::vector<uint8_t> answer;
    bool echo = false;
    bool ascii = false;

  private:
    std::vector<uint8_t> sent_;
    std::vector<uint8_t> pending_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Fake time: the ASCII read's idle wait costs nothing.
    plat::SetClock(new plat::FakeClock(true));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t op = data[0];
    const uint8_t address = data[1];
    const uint16_t word = static_cast<uint16_t>(data[2] << 8 | data[3]);
    LineModbus m;
    m.SetAnswerTimeout(20);
    m.echo = (op & 0x10) != 0;
    m.ascii = (op & 0x20) != 0;
    m.SetEcho(m.echo);
    m.answer.assign(data + 4, data + size);
    const uint16_t enc = (op & 0x40) ? 0x0102 : 0;
    const uint16_t count = word & 0xFF;

    switch (op & 0x0F) {
        case 0: {
            std::vector<uint8_t> out;
            if (m.ReadBank(address, word, count, out, enc) == mb::kMbOk && out.size() != count)
                __builtin_trap();
            break;
        }
        case 1: {
            std::vector<uint16_t> out;
            const uint16_t n = count & 0x7F;
            if (m.ReadHoldingRegisters(address, 0, n, out, enc) == mb::kMbOk && out.size() != n)
                __builtin_trap();
            break;
        }
        case 2: {
            std::vector<uint32_t> out;
            const uint16_t n = count & 0x3F;
            if (m.ReadRegisterPairs(address, 0, n, out, enc, (word & 0x100) != 0) == mb::kMbOk &&
                out.size() != n)
                __builtin_trap();
            break;
        }
        case 3: {
            std::vector<uint16_t> out;
            (void)m.ReportSlaveId(address, out, enc);
            break;
        }
        case 4: {
            std::vector<uint8_t> out;
            size_t n = 0;
            const size_t len = std::min<size_t>(count, m.answer.size());
            const int code = m.SendEncapsulated(address, m.answer.data(), len, out, n);
            if (code == mb::kMbOk && n != out.size()) __builtin_trap();
            break;
        }
        case 5: {
            std::vector<uint16_t> words(count % 130, word);
            (void)m.WriteMultipleRegisters(address, word, words, enc);
            break;
        }
        case 6:
            (void)m.WriteSingleRegister(address, word, static_cast<uint16_t>(~word), enc);
            break;
        case 7: {
            uint8_t status = 0;
            (void)m.ReadExceptionStatus(address, status, enc);
            break;
        }
        default:
            (void)m.Diagnostics(address, enc);
            break;
    }
    (void)mb::Crc16(m.answer, word);
    (void)m.GetErrorText(static_cast<int>(word) | ((op & 0x80) ? 0x8000 : 0));
    return 0;
}
