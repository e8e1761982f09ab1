#include "platform/types/guid.h"

#include <cstdio>
#include <stdexcept>

namespace plat {

namespace {
int HexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<GUID> ParseGuid(std::string_view t) {
    if (t.size() == 38) {
        if (t.front() != '{' || t.back() != '}') return std::nullopt;
        t = t.substr(1, 36);
    }
    if (t.size() != 36) return std::nullopt;
    if (t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return std::nullopt;
    uint8_t bytes[16];
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (t[pos] == '-') ++pos;
        int hi = HexVal(t[pos]), lo = HexVal(t[pos + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        pos += 2;
    }
    GUID g;
    g.Data1 =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
    return g;
}

GUID GuidOf(std::string_view text) {
    auto g = ParseGuid(text);
    if (!g) throw std::invalid_argument("malformed GUID: " + std::string(text));
    return *g;
}

std::string FormatGuid(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

}  // namespace plat
