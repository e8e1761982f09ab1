// Registered clipboard formats: a name gives a number from 0xC000 up that every process of the
// computer agrees on, because the pairs live in the registry store under the system root.
// Names compare without regard to ASCII case; the first registration's spelling is kept.
// Numbers are never given back, so a pair once seen can be remembered for good.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

inline constexpr uint16_t kFirstRegisteredFormat = 0xC000;
inline constexpr size_t kMaxClipboardFormatName = 255;  // UTF-16 units

// The format number of `name`, registering it when it is new. 0 for an empty or overlong name,
// when the numbers have run out, or when the store cannot be written (GetErrorText says which).
// decisions PLAT-COM-2
uint16_t RegisterClipboardFormat(std::u16string_view name);

// The number of an already registered name, without registering; 0 when unknown.
uint16_t FindClipboardFormat(std::u16string_view name);

// The registered name of `format`; false for numbers below 0xC000 and unknown ones.
bool GetClipboardFormatName(uint16_t format, std::u16string& name);

}  // namespace plat
