// The reading rules of the "Parameters" string, which the log also reads its own switches by.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace drv {

// One reading of the string for the whole service (the field-bus library keeps a copy of it):
// - pairs KEY=value are separated by blanks; a value runs to the next blank, so it never holds
//   one; tabs and line ends are not separators;
// - a key counts only at the start of the string or right after a blank, so COM1 is found
//   neither inside COM11=.. nor inside XCOM1=..;
// - keys compare without case; values keep their case (paths need it);
// - a repeated key: the first pair counts;
// - "KEY=" is present with an empty value, which reads like a missing key.

// Values count up to this many characters; PROTOCOLPATH is read whole.
constexpr size_t kMaxParamValue = 20;

// The value of KEY in `text`: at most `max_len` characters, cut at the first blank; "" when
// absent.
std::string GetParamValue(std::string_view key, std::string_view text,
                          size_t max_len = kMaxParamValue);
// `text` with the pair of KEY replaced, removed or appended as SetParamValue does.
std::string WithParamValue(std::string text, std::string_view key, std::string_view value);

}  // namespace drv
