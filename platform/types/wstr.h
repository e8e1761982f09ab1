// Text conversions. Programs work in UTF-8; UTF-16 appears only at the object and emulator
// boundaries. Frame bytes carried as one code unit per byte use the Latin-1 pair.
#pragma once
#include <string>
#include <string_view>

namespace plat {

using WideString = std::u16string;

// Invalid UTF-8 sequences become U+FFFD; nothing is dropped silently.
WideString Utf8ToWide(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view w);
// One code unit per byte, 0x00-0xFF unchanged.
WideString BytesToWide(std::string_view bytes);
// Inverse of BytesToWide; code units above 0xFF become '?'.
std::string WideToBytes(std::u16string_view w);

// ASCII-only case folding (names, keys and switches are ASCII).
std::string AsciiUpper(std::string_view s);
std::string AsciiLower(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Cuts a UTF-8 text to at most max_bytes without splitting a character.
std::string_view Utf8Truncate(std::string_view s, size_t max_bytes);

}  // namespace plat
