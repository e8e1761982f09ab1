// libFuzzer target: arbitrary bytes as a controller's answer, through the framer as a port runs
// it (read completion in chunks, echo, repairs, judgement) and then the value codecs. No line,
// clock or log is involved. Nothing here may crash or read outside a buffer, and the framer's
// promises are checked on every input.
//
// Input: byte 0 expected length (0 -> 1), byte 1 flags (bits 0-1 mode, bit 2 echo in front,
// bits 4-7 chunk size of successive reads, 0 = all at once), byte 2 the address (low five bits),
// byte 3 the parameter asked for and a position for the decimal codecs; the rest is the answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/core/ports/NativeFrame.h"
#include "service/core/ports/NativePort.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const size_t expected = data[0] ? data[0] : 1;
    const uint8_t flags = data[1];
    const int mode = flags & 3;
    const bool echo = (flags & 4) != 0;
    const size_t chunk = flags >> 4;
    const auto address = static_cast<uint8_t>(data[2] & 31);
    const int pos = data[3];
    const std::string raw(reinterpret_cast<const char*>(data + 4), size - 4);
    constexpr uint8_t kCommand = 'X';

    // The request: fits, and its checksum is the sum of every other byte.
    const std::string param = drv::ByteToNibbles(static_cast<uint8_t>(pos));
    Check(drv::ZrnRequestFits(address, param.size(), static_cast<int>(expected)));
    const std::string frame = drv::ZrnRequest(address, kCommand, param);
    Check(frame.size() == param.size() + 5 && frame.front() == 'H' && frame.back() == 'E');
    const auto cs = static_cast<uint8_t>(frame[frame.size() - 2]);
    Check(static_cast<uint8_t>(drv::ZrnSum(frame) - cs) == cs);

    // The read phase: what the line delivers, in chunks, until the framer calls it complete or
    // the line has nothing more.
    const std::string line = (echo ? frame : std::string()) + raw;
    const size_t limit = drv::ZrnReadLimit(expected, frame.size());
    Check(limit <= drv::kZrnMaxFrame);
    std::string rx;
    size_t at = 0;
    while (at < line.size()) {
        const size_t want = std::min(limit - rx.size(), chunk ? chunk : line.size());
        const size_t n = std::min(want, line.size() - at);
        rx.append(line, at, n);
        at += n;
        Check(rx.size() <= limit);
        if (drv::ZrnReadComplete(rx, frame, expected)) break;
        if (n == 0) break;
    }
    if (echo && rx.size() >= frame.size()) Check(rx.compare(0, frame.size(), frame) == 0);

    std::string ans = rx;
    const bool stripped = drv::ZrnStripEcho(ans, frame);
    Check(stripped ? ans.size() + frame.size() == rx.size() : ans == rx);
    const bool received = !ans.empty();

    const drv::ZrnRepair repair = drv::ZrnRepairAnswer(ans, expected, received, mode);
    switch (repair) {
        case drv::ZrnRepair::kSilenceAck:
            Check(!received && mode == drv::kModeSilenceAck && ans == "A");
            break;
        case drv::ZrnRepair::kChecksumAsStart:
            Check(ans.size() == expected && ans.back() == 'E' && ans[expected - 2] == 'H');
            break;
        case drv::ZrnRepair::kTooLong:
            Check(ans.size() == expected);
            break;
        case drv::ZrnRepair::kNone:
            Check(ans.size() <= expected);
            break;
    }

    const drv::ZrnVerdict verdict = drv::ZrnJudge(ans, expected, address, kCommand, mode);
    std::string_view got;
    if (verdict == drv::ZrnVerdict::kValid) {
        Check(ans.size() == expected && ans[0] == 'A');
        got = drv::ZrnAnswerData(ans, expected);
        // A valid framed answer hands back its data part, a bare one itself.
        if (expected >= drv::kZrnMinFramedAnswer) {
            Check(got.size() == expected - drv::kZrnMinFramedAnswer);
            const uint8_t addr = drv::ZrnAnswerAddress(ans);
            Check(addr == address || (addr & 0x0F) == address);
        } else {
            Check(got.size() == expected);
        }
    } else if (verdict == drv::ZrnVerdict::kNak) {
        Check(!ans.empty() && ans[0] == 'B');
    }

    // The codecs on what came back and on the raw bytes.
    (void)drv::NibblesToByte(got.substr(std::min<size_t>(1, got.size())));
    (void)drv::DigitsToByte(raw);
    int err = 0;
    (void)drv::ParseDecimal(got, 1, 255, true, 0, err);
    (void)drv::ParseDecimal(raw, pos % 8, pos, (pos & 1) != 0, pos / 4, err);
    if (raw.size() >= 8) {
        int64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<uint8_t>(raw[i]);
        const int digits = static_cast<int8_t>(data[0]);
        const int decimals = static_cast<int8_t>(data[3]);
        const std::string text = drv::FormatDecimal(digits, decimals, v);
        if (drv::FitsDecimal(digits, decimals, v) && !text.empty()) {
            const int64_t back = drv::ParseDecimal(text, 1, digits + 1, false, 0, err);
            (void)back;
        }
    }
    return 0;
}
