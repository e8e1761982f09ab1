// libFuzzer target: arbitrary text as a BSTR changed to every number type, to DATE and to
// BOOL, with the English (1033, '.') and Russian (1049, ',') locales; whatever converts is
// turned back into text with the same locale.
//
// Input: byte 0 bit 0 the locale, bit 1 VARIANT_ALPHABOOL, bit 2 the text as UTF-16 code
// units (little-endian pairs) instead of UTF-8; the rest the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/types/variant.h"
#include "platform/types/wstr.h"

namespace {

constexpr plat::VARTYPE kTargets[] = {
    plat::VT_I1, plat::VT_UI1,  plat::VT_I2,   plat::VT_UI2,  plat::VT_I4,    plat::VT_UI4,
    plat::VT_I8, plat::VT_UI8,  plat::VT_INT,  plat::VT_UINT, plat::VT_R4,    plat::VT_R8,
    plat::VT_CY, plat::VT_DATE, plat::VT_BOOL, plat::VT_BSTR, plat::VT_ERROR, plat::VT_EMPTY};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const plat::LCID lcid = (mode & 1) ? plat::LOCALE_RU_RU : plat::LOCALE_EN_US;
    const uint16_t flags = (mode & 2) ? plat::VARIANT_ALPHABOOL : 0;
    plat::Variant src;
    if (mode & 4) {
        plat::WideString w;
        for (size_t i = 1; i + 1 < size; i += 2)
            w.push_back(static_cast<decltype(w)::value_type>(data[i] | data[i + 1] << 8));
        src = plat::Variant::Str(std::move(w));
    } else {
        src =
            plat::Variant::Str(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    }
    for (plat::VARTYPE vt : kTargets) {
        plat::Variant dst;
        if (plat::VariantChangeTypeEx(dst, src, lcid, flags, vt) < 0) continue;
        if (dst.vt != vt) __builtin_trap();
        plat::Variant text;
        (void)plat::VariantChangeTypeEx(text, dst, lcid, flags, plat::VT_BSTR);
        // In place, as callers do.
        plat::Variant same = src;
        (void)plat::VariantChangeTypeEx(same, same, lcid, flags, vt);
    }
    return 0;
}
