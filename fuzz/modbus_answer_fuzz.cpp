// libFuzzer target: arbitrary bytes as a Modbus device's answer, through the RTU (or ASCII)
// framing checks and each request builder's validation. Only the byte line is replaced: the
// write is accepted at once and the read hands back the input as far as the client reads.
//
// Input: byte 0 the request (low four bits), bit 4 echo in front, bit 5 ASCII, bit 6 an
// encapsulation word, bit 7 the emulated line instead (the answer's bytes handed back as code
// units by an emulator, any length); byte 1 the address; bytes 2-3 a start/count word; the rest
// the answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fieldbus/core/ByteLine.h"
#include "fieldbus/core/ModbusClient.h"
#include "fieldbus/core/PortModbus.h"
#include "platform/time/clock.h"
#include "tests/fieldbus/FakeEmulator.h"

namespace {

// The scripted line: the write is taken at once and the input is all there to read.
class ScriptedLine final : public mb::IByteLine {
  public:
    long Open(const mb::LineConfig&, bool*) override { return 0; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Purge(bool, bool) override { return true; }
    long Write(const uint8_t* frame, size_t length, size_t& written, uint32_t) override {
        sent_.assign(frame, frame + length);
        written = length;
        pending_.clear();
        if (echo) pending_ = sent_;
        pending_.insert(pending_.end(), answer.begin(), answer.end());
        at_ = 0;
        return 0;
    }
    mb::LineRead Read(uint8_t* buffer, size_t size, uint32_t) override {
        mb::LineRead r;
        r.got = std::min(size, pending_.size() - at_);
        if (r.got) std::memcpy(buffer, pending_.data() + at_, r.got);
        at_ += r.got;
        return r;
    }

    std::vector<uint8_t> answer;
    bool echo = false;

  private:
    std::vector<uint8_t> sent_;
    std::vector<uint8_t> pending_;
    size_t at_ = 0;
};

// The client with its framing chosen by the input, as stored settings choose it in service.
class FuzzModbus final : public mb::CLocalModbus {
  public:
    explicit FuzzModbus(std::unique_ptr<mb::IByteLine> line)
        : CLocalModbus(std::move(line), nullptr) {}
    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer_out,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override {
        if (!ascii)
            return CLocalModbus::Transaction(request, length, answer_out, expected, encapsulation,
                                             answer_length);
        answer_length = 0;
        if (answer_out.size() < expected) answer_out.resize(std::min(expected, kBufferSize));
        return TransactionAscii(request, length, answer_out, answer_length);
    }
    bool ascii = false;
};

class EmulatorOwner final : public mb::IPortModbusOwner {
  public:
    explicit EmulatorOwner(const mb::EmulatorSlot* slot) : slot_(slot) {}
    const mb::EmulatorSlot* Emulator() const override { return slot_; }
    void LineStatus(int32_t) override {}

  private:
    const mb::EmulatorSlot* slot_;
};

// Every request builder once, with the checks each success promises.
void RunBuilder(mb::CModbus& m, uint8_t op, uint8_t address, uint16_t word,
                const std::vector<uint8_t>& payload) {
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
            const size_t len = std::min<size_t>(count, payload.size());
            const int code = m.SendEncapsulated(address, payload.data(), len, out, n);
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
        case 8: {
            uint8_t buffer[300];
            size_t got = 0;
            (void)m.RawExchange(payload.data(), std::min<size_t>(count, payload.size()), buffer,
                                sizeof buffer, got, 10);
            if (got > sizeof buffer) __builtin_trap();
            break;
        }
        default:
            (void)m.Diagnostics(address, enc);
            break;
    }
}

// The emulated line: the emulator answers every frame with the input as code units.
void RunEmulated(uint8_t op, uint8_t address, uint16_t word, const std::vector<uint8_t>& answer) {
    fbtest::FakeEmulator emu;
    std::u16string units(answer.begin(), answer.end());
    emu.responder = [&](const std::u16string&) { return units; };
    fbtest::FakeRegistration reg;
    reg.Reg(&emu);
    {
        EmulatorOwner owner(reg.Slot());
        mb::CPortModbus m(&owner, nullptr, true);
        long error = 0;
        if (!m.Open(1, 19200, 0, error)) __builtin_trap();
        m.SetAnswerTimeout(20);
        m.SetEcho((op & 0x10) != 0);
        RunBuilder(m, op, address, word, answer);
        if (answer.size() > mb::CPortModbus::kMaxEmulatedAnswer) {
            uint8_t status = 0;
            if (m.ReadExceptionStatus(address, status) != mb::kMbInvalidAnswer) __builtin_trap();
        }
    }
    if (emu.refs.load() != 0) __builtin_trap();  // the port let go of its emulator
}

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
    std::vector<uint8_t> answer(data + 4, data + size);
    if (op & 0x80) {
        RunEmulated(op, address, word, answer);
        return 0;
    }
    auto owned = std::make_unique<ScriptedLine>();
    ScriptedLine& line = *owned;
    FuzzModbus m(std::move(owned));
    m.SetAnswerTimeout(20);
    line.echo = (op & 0x10) != 0;
    m.ascii = (op & 0x20) != 0;
    m.SetEcho(line.echo);
    line.answer = answer;
    RunBuilder(m, op, address, word, line.answer);
    (void)mb::Crc16(line.answer, word);
    (void)m.GetErrorText(static_cast<int>(word) | ((word & 0x8000) ? 0x8000 : 0));
    return 0;
}
