#include "fieldbus/core/Checksum.h"

namespace mb {

std::string HexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 0xF];
    }
    return s;
}

}  // namespace mb
