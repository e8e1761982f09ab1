// VARIANT, Currency and the type-change rules the system's clients expect.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types/hresult.h"
#include "platform/types/oletypes.h"
#include "platform/types/wstr.h"

namespace plat {

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
};

// Flags of VariantChangeTypeEx.
constexpr uint16_t VARIANT_NOVALUEPROP = 0x01;
constexpr uint16_t VARIANT_ALPHABOOL = 0x02;

// Value × 10000 in a signed 64-bit integer.
struct Currency {
    int64_t int64 = 0;
    bool operator==(const Currency&) const = default;
};

// A VARIANT with value semantics. Fields are public in the platform's style; the BSTR text
// lives beside the union because it is not trivially copyable.
struct Variant {
    VARTYPE vt = VT_EMPTY;
    union {
        int8_t cVal;
        uint8_t bVal;
        int16_t iVal;
        uint16_t uiVal;
        int32_t lVal;
        uint32_t ulVal;
        int64_t llVal;
        uint64_t ullVal;
        float fltVal;
        double dblVal;
        int64_t cyVal;  // Currency.int64
        DATE date;
        VARIANT_BOOL boolVal;
        int32_t scode;  // VT_ERROR
        int32_t intVal;
        uint32_t uintVal;
    };
    WideString bstrVal;

    Variant() : llVal(0) {}
    Variant(const Variant&) = default;
    Variant(Variant&&) noexcept = default;
    Variant& operator=(const Variant&) = default;
    Variant& operator=(Variant&&) noexcept = default;

    static Variant I1(int8_t v);
    static Variant UI1(uint8_t v);
    static Variant I2(int16_t v);
    static Variant UI2(uint16_t v);
    static Variant I4(int32_t v);
    static Variant UI4(uint32_t v);
    static Variant I8(int64_t v);
    static Variant UI8(uint64_t v);
    static Variant Int(int32_t v);
    static Variant UInt(uint32_t v);
    static Variant R4(float v);
    static Variant R8(double v);
    static Variant Cy(Currency v);
    static Variant Date(DATE v);
    static Variant Bool(bool v);
    static Variant Str(WideString v);
    static Variant Str(std::string_view utf8);
    static Variant Error(int32_t scode);
    static Variant Null();

    void Clear() {
        vt = VT_EMPTY;
        llVal = 0;
        bstrVal.clear();
    }
    bool IsEmpty() const { return vt == VT_EMPTY; }

    // Same type and same value (strings compared exactly, doubles bitwise-equal or ==).
    bool operator==(const Variant& o) const;
};

// The platform's VariantChangeTypeEx: numeric ranges checked (DISP_E_OVERFLOW), floating
// values rounded half to even when made integral, text parsed and formatted with the
// decimal separator of `lcid` (never the process's C locale), mismatches
// DISP_E_TYPEMISMATCH, unknown types DISP_E_BADVARTYPE. `dst` may alias `src`.
HRESULT VariantChangeTypeEx(Variant& dst, const Variant& src, LCID lcid, uint16_t flags,
                            VARTYPE vt);
inline HRESULT VariantChangeType(Variant& dst, const Variant& src, uint16_t flags, VARTYPE vt) {
    return VariantChangeTypeEx(dst, src, LOCALE_EN_US, flags, vt);
}

// Decimal separator of a locale ('.' for 1033 and unknown locales, ',' for 1049).
char DecimalSeparator(LCID lcid);

}  // namespace plat
