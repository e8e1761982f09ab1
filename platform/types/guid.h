// GUID with the Windows layout (it crosses process boundaries in records).
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    bool operator==(const GUID& o) const { return std::memcmp(this, &o, sizeof(GUID)) == 0; }
    bool operator<(const GUID& o) const { return std::memcmp(this, &o, sizeof(GUID)) < 0; }
    bool IsNull() const { return *this == GUID{}; }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any case).
std::optional<GUID> ParseGuid(std::string_view text);
// Parses a literal known to be well formed; throws std::invalid_argument otherwise.
GUID GuidOf(std::string_view text);
// Upper-case registry form with braces.
std::string FormatGuid(const GUID& g);

}  // namespace plat

template <>
struct std::hash<plat::GUID> {
    size_t operator()(const plat::GUID& g) const noexcept {
        uint64_t a, b;
        std::memcpy(&a, &g, 8);
        std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
        return std::hash<uint64_t>()(a * 0x9E3779B97F4A7C15ull ^ b);
    }
};
