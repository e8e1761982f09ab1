#include "service/core/base/ValueConvert.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <string>

#include "service/core/base/Errors.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

using namespace plat;

namespace {

constexpr std::string_view kTagR4 = "4D58BFC6-02BE-4823-8EF5-2F070F907165";
constexpr std::string_view kTagBstr = "8A8F2531-716B-45A3-B352-73C65DB9483F";

// Fixed-point value / 10000, halves to even (the platform's rule for integral results).
int64_t RoundFixed(int64_t fixed) {
    int64_t q = fixed / 10000, r = fixed % 10000;
    const int64_t twice = r < 0 ? -2 * r : 2 * r;
    if (twice > 10000 || (twice == 10000 && (q & 1) != 0)) q += fixed < 0 ? -1 : 1;
    return q;
}

// Same line as ProtocolException, at the information level.
void LogConversionFailure(const std::exception& e, std::string_view tag) {
    std::string line(tag);
    line += ' ';
    line += ExceptionClassName(e);
    line += ' ';
    line += e.what();
    WriteProtocolLine(line, PL_INFO);
}

}  // namespace

HRESULT NumberToVariant(VARTYPE requested, Variant& dst, uint16_t& quality, int64_t fixed) {
    dst.Clear();
    auto fail = [&](HRESULT hr) {
        dst.Clear();
        quality = 0;
        return hr;
    };
    // The range test is on the fixed-point value, before rounding: 255.4 is not a UI1.
    auto asI4 = [&](int64_t lo, int64_t hi) {
        if (fixed < lo * 10000 || fixed > hi * 10000) return fail(DISP_E_OVERFLOW);
        dst.vt = VT_I4;
        dst.lVal = static_cast<int32_t>(static_cast<uint32_t>(RoundFixed(fixed)));
        return S_OK;
    };
    switch (requested) {
        case VT_EMPTY:
        case VT_R8:
            dst.vt = VT_CY;
            dst.cyVal = fixed;
            return S_OK;
        case VT_BOOL:
            dst.vt = VT_BOOL;
            dst.boolVal = fixed != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case VT_UI1:
            return asI4(0, UINT8_MAX);
        case VT_UI2:
            return asI4(0, UINT16_MAX);
        case VT_UI4:
            return asI4(0, UINT32_MAX);
        case VT_I1:
            return asI4(INT8_MIN, INT8_MAX);
        case VT_I2:
            return asI4(INT16_MIN, INT16_MAX);
        case VT_I4:
            return asI4(INT32_MIN, INT32_MAX);
        case VT_I8:
            dst.vt = VT_I8;
            dst.llVal = RoundFixed(fixed);
            return S_OK;
        case VT_R4:
            try {
                const float f = static_cast<float>(static_cast<double>(fixed) / 10000.0);
                dst.vt = VT_R8;
                dst.dblVal = f;
                return S_OK;
            } catch (const std::exception& e) {
                LogConversionFailure(e, kTagR4);
                return fail(DISP_E_OVERFLOW);
            }
        case VT_BSTR:
            try {
                // Currency text is exact and carries no group separators; the first ','
                // would be the decimal point of a comma locale.
                Variant text;
                const HRESULT hr = VariantChangeTypeEx(text, Variant::Cy(Currency{fixed}),
                                                       LOCALE_EN_US, 0, VT_BSTR);
                if (Failed(hr)) return fail(DISP_E_OVERFLOW);
                const size_t comma = text.bstrVal.find(u',');
                if (comma != WideString::npos) text.bstrVal[comma] = u'.';
                dst = std::move(text);
                return S_OK;
            } catch (const std::exception& e) {
                LogConversionFailure(e, kTagBstr);
                return fail(DISP_E_OVERFLOW);
            }
        default:
            return fail(OPC_E_BADTYPE);
    }
}

HRESULT VariantToVarType(const Variant& src, VARTYPE requested, Variant& dst, LCID lcid,
                         uint16_t& quality) {
    Variant aliased;
    const Variant* s = &src;
    if (&src == &dst) {
        aliased = std::move(dst);
        s = &aliased;
    }
    dst.Clear();
    if ((s->vt == VT_R4 && std::isnan(s->fltVal)) || (s->vt == VT_R8 && std::isnan(s->dblVal))) {
        quality = 0;
        return DISP_E_OVERFLOW;
    }
    if (requested == VT_EMPTY || requested == s->vt) {
        dst = *s;
        return S_OK;
    }
    HRESULT hr;
    if (s->vt == VT_BSTR && (requested == VT_R4 || requested == VT_R8)) {
        // Clients type either decimal point; read both whatever their locale.
        Variant text = *s;
        for (char16_t& c : text.bstrVal)
            if (c == u',') c = u'.';
        hr = VariantChangeTypeEx(dst, text, LOCALE_EN_US, 0, requested);
    } else {
        hr = VariantChangeTypeEx(dst, *s, lcid, 0, requested);
    }
    if (Failed(hr)) {
        dst.Clear();
        quality = 0;
    }
    return hr;
}

FILETIME DateTimeToFileTimeUTC(DATE local) {
    FILETIME ft;
    if (!LocalDateToFileTime(local, ft)) return FILETIME{};
    return ft;
}

DATE FileTimeToDateTimeLocal(const FILETIME& utc) {
    DATE d = 0;
    if (!FileTimeToLocalDate(utc, d)) return 0;
    return d;
}

FILETIME GetNowFileTime() {
    return NowUtcFileTime();
}

char16_t* StrToCoTaskMemW(std::string_view text) {
    const WideString w = Utf8ToWide(text);
    const size_t units = w.size() + 1;  // with the terminator
    if (units < 2) return nullptr;
    auto* p = static_cast<char16_t*>(CoTaskMemAlloc(units * sizeof(char16_t)));
    if (!p)
        throw EOutOfMemory("CoTaskMemAlloc 9BEF1527-22CC-45D1-920D-D329E5CDC4CB L=" +
                           std::to_string(units));
    std::memcpy(p, w.data(), w.size() * sizeof(char16_t));
    p[w.size()] = u'\0';
    return p;
}

void* CoTaskMemAllocZero(size_t cb) {
    void* p = CoTaskMemAlloc(cb);
    if (!p) throw EOutOfMemory("CoTaskMemAlloc cb=" + std::to_string(cb));
    std::memset(p, 0, cb);
    return p;
}

}  // namespace drv
