#include "fieldbus/core/Checksum.h"

namespace mb {

std::string HexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(bytes.size() * 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        s[2 * i] = kDigits[bytes[i] >> 4];
        s[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return s;
}

}  // namespace mb
