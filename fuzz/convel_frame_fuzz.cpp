// libFuzzer target: the board-bus frame codec and exchange. Arbitrary bytes are decoded as an
// answer, encoded as a block and decoded back, and fed to a whole exchange as the line's
// answers. Nothing may crash, and the codec's promises are checked on every input.
//
// Input: byte 0 the board address, byte 1 the block length of the exchange (0 -> 1); the rest is
// the bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fieldbus/core/Convel.h"
#include "platform/types/hresult.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// Answers every write from the fuzz bytes, then falls silent.
class BytesLine : public mb::IByteLine {
  public:
    explicit BytesLine(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    long Open(const mb::LineConfig&, bool*) override { return 0; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Purge(bool, bool) override { return true; }
    long Write(const uint8_t*, size_t count, size_t& written, uint32_t) override {
        if (++writes_ > 64) return plat::E_FAIL;
        written = count;
        return 0;
    }
    mb::LineRead Read(uint8_t* buffer, size_t size, uint32_t) override {
        mb::LineRead r;
        r.got = std::min(size, bytes_.size() - pos_);
        if (r.got > 0) std::memcpy(buffer, bytes_.data() + pos_, r.got);
        pos_ += r.got;
        return r;
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    int writes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t address = data[0];
    const size_t block = data[1] ? data[1] : 1;
    const std::span<const uint8_t> bytes(data + 2, size - 2);
    const uint8_t source[2] = {0, 0};
    const uint8_t destination[2] = {address, 1};

    // Any bytes as an answer.
    std::vector<uint8_t> collected;
    size_t used = 0;
    const int code = mb::convel::DecodeAnswer(bytes, source, destination, collected, used);
    Check(code == 0 || code == 1 || code == 2 || code == 3 || code == plat::OPC_E_RANGE);
    Check(used <= bytes.size());
    if (code == 0) {
        Check(collected.size() >= 8 && collected.size() <= 4095);
        Check(mb::convel::Crc16Arc(collected) == 0);
        Check(collected[2] == address && collected[3] == 1);
    }

    // decode(encode(x)) = x with its CRC.
    if (bytes.size() <= 4093) {
        const std::vector<uint8_t> frame = mb::convel::EncodeFrame(bytes);
        Check(frame.front() == 0x7E && frame.back() == 0x7C);
        for (size_t i = 1; i + 1 < frame.size(); ++i) Check(frame[i] != 0x7E && frame[i] != 0x7C);
        mb::convel::AnswerReader reader;
        mb::convel::AnswerReader::Status st = mb::convel::AnswerReader::kMore;
        for (uint8_t b : frame) st = reader.Feed(b);
        Check(st == mb::convel::AnswerReader::kDone);
        const auto& back = reader.Collected();
        Check(back.size() == bytes.size() + 2);
        Check(std::equal(bytes.begin(), bytes.end(), back.begin()));
        Check(mb::convel::Crc16Arc(back) == 0);
    }

    // A whole exchange with the bytes as every answer.
    BytesLine line(bytes);
    mb::CConvelProtocol proto(&line);
    proto.SetAddress(address, 1);
    proto.SetMaxLength(block);
    static const uint8_t request[40] = {1, 2, 3, 0x7E, 0x7D, 0x7C};
    uint8_t command = 0;
    std::vector<uint8_t> answer;
    const int rc = proto.Exchange(0x12, request, command, answer);
    Check(rc == 0 || rc == 1 || rc == 2 || rc == 3 || rc == 8 || rc == plat::OPC_E_RANGE);
    if (rc == 0) Check(command == 0x12 || command == 14);
    return 0;
}
