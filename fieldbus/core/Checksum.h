// What the frame codecs of the library share: the table of the reflected CRC-16 polynomial
// 0xA001 and the hexadecimal text of frames in the logs.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace mb {

// Modbus and CRC-16/ARC use one table; they differ in the start value.
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : c >> 1;
        t[i] = c;
    }
    return t;
}
inline constexpr std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();

// Upper-case hexadecimal, two characters a byte, no separators.
std::string HexText(std::span<const uint8_t> bytes);

}  // namespace mb
