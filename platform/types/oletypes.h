// The scalar types that dates and variants share, apart from both so that the date conversions
// need nothing of Variant: the OLE date and the locale id with the locales the system knows.
#pragma once
#include <cstdint>

namespace plat {

using LCID = uint32_t;
using DATE = double;  // OLE date: days since 1899-12-30, local time

constexpr LCID LOCALE_EN_US = 1033;  // decimal separator '.'
constexpr LCID LOCALE_RU_RU = 1049;  // decimal separator ','

}  // namespace plat
