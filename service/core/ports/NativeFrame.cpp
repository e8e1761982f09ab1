#include "service/core/ports/NativeFrame.h"

#include <algorithm>

namespace drv {

uint8_t ZrnSum(std::string_view bytes) {
    unsigned s = 0;
    for (char c : bytes) s += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(s);
}

bool ZrnRequestFits(uint8_t address, size_t data_size, int expected) {
    return address < kZrnAddresses && expected >= 1 && expected <= static_cast<int>(kZrnMaxFrame) &&
           data_size <= kZrnMaxData;
}

std::string ZrnRequest(uint8_t address, uint8_t command, std::string_view data) {
    std::string frame;
    frame.reserve(data.size() + 5);
    frame += 'H';
    frame += static_cast<char>(address);
    frame += static_cast<char>(command);
    frame += data;
    frame += static_cast<char>(ZrnSum(frame) + 'E');
    frame += 'E';
    return frame;
}

size_t ZrnReadLimit(size_t expected, size_t frame_size) {
    return std::min(expected + frame_size, kZrnMaxFrame);
}

bool ZrnReadComplete(std::string_view received, std::string_view frame, size_t expected) {
    const size_t n = received.size();
    if (n >= ZrnReadLimit(expected, frame.size())) return true;
    if (n < expected) return false;
    const size_t k = std::min(n, frame.size());
    return received.substr(0, k) != frame.substr(0, k);
}

// decisions CORE-61
size_t ZrnReadSize(size_t received, size_t expected, size_t limit, size_t available) {
    if (received >= limit) return 0;
    const size_t left = limit - received;
    const size_t want = received < expected ? std::min(expected - received, left) : left;
    return std::max(want, std::min(available, left));
}

bool ZrnStripEcho(std::string& received, std::string_view frame) {
    if (received.size() < frame.size() ||
        std::string_view(received).substr(0, frame.size()) != frame)
        return false;
    received.erase(0, frame.size());
    return true;
}

ZrnRepair ZrnRepairAnswer(std::string& answer, size_t expected, bool received, int mode) {
    if (!received && mode == kModeSilenceAck) {
        answer.assign(1, 'A');  // not = "A": GCC 12 warns falsely under ASan
        return ZrnRepair::kSilenceAck;
    }
    const size_t exp = expected;
    // The checksum byte of a frame start lands where the checksum belongs when a byte was lost
    // or garbled on the way; the controller meant the frame to end there.
    if (exp >= 2 && answer.size() >= exp - 1 && answer[exp - 2] == 'H' &&
        !(answer.size() == exp && answer.back() == 'E')) {
        answer.resize(exp);
        answer[exp - 1] = 'E';
        return ZrnRepair::kChecksumAsStart;
    }
    if (answer.size() > exp) {
        answer.resize(exp);
        return ZrnRepair::kTooLong;
    }
    return ZrnRepair::kNone;
}

ZrnVerdict ZrnJudge(std::string_view answer, size_t expected, uint8_t address, uint8_t command,
                    int mode) {
    const size_t exp = expected;
    if (answer.size() != exp || answer.empty() || answer[0] != 'A')
        return !answer.empty() && answer[0] == 'B' ? ZrnVerdict::kNak : ZrnVerdict::kRejected;
    if (exp < kZrnMinFramedAnswer) return ZrnVerdict::kValid;

    const auto sum = static_cast<uint8_t>(ZrnSum(answer.substr(1, exp - 3)) +
                                          static_cast<uint8_t>(answer[exp - 1]));
    const auto cs = static_cast<uint8_t>(answer[exp - 2]);
    const auto addr = static_cast<uint8_t>(answer[2]);
    const bool low_ok = mode == kModeChecksumLow1 || mode == kModeChecksumLow2;
    const bool sum_ok = cs == sum || (low_ok && sum == static_cast<uint8_t>(cs + 0x10));
    const bool addr_ok = addr == address || ((addr & 0xE0) != 0 && (addr & 0x0F) == address);
    if (sum_ok && answer[1] == 'H' && addr_ok && static_cast<uint8_t>(answer[3]) == command &&
        answer[exp - 1] == 'E')
        return ZrnVerdict::kValid;
    return ZrnVerdict::kInvalid;
}

std::string_view ZrnAnswerData(std::string_view answer, size_t expected) {
    if (expected < kZrnMinFramedAnswer) return answer;
    return answer.substr(4, expected - kZrnMinFramedAnswer);
}

}  // namespace drv
