#include "platform/types/variant.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "platform/types/datetime.h"

namespace plat {

// ---- factories and comparison ------------------------------------------------------------

namespace {
Variant Make(VARTYPE vt) {
    Variant v;
    v.vt = vt;
    return v;
}
}  // namespace

Variant Variant::I1(int8_t v) {
    Variant r = Make(VT_I1);
    r.cVal = v;
    return r;
}
Variant Variant::UI1(uint8_t v) {
    Variant r = Make(VT_UI1);
    r.bVal = v;
    return r;
}
Variant Variant::I2(int16_t v) {
    Variant r = Make(VT_I2);
    r.iVal = v;
    return r;
}
Variant Variant::UI2(uint16_t v) {
    Variant r = Make(VT_UI2);
    r.uiVal = v;
    return r;
}
Variant Variant::I4(int32_t v) {
    Variant r = Make(VT_I4);
    r.lVal = v;
    return r;
}
Variant Variant::UI4(uint32_t v) {
    Variant r = Make(VT_UI4);
    r.ulVal = v;
    return r;
}
Variant Variant::I8(int64_t v) {
    Variant r = Make(VT_I8);
    r.llVal = v;
    return r;
}
Variant Variant::UI8(uint64_t v) {
    Variant r = Make(VT_UI8);
    r.ullVal = v;
    return r;
}
Variant Variant::Int(int32_t v) {
    Variant r = Make(VT_INT);
    r.intVal = v;
    return r;
}
Variant Variant::UInt(uint32_t v) {
    Variant r = Make(VT_UINT);
    r.uintVal = v;
    return r;
}
Variant Variant::R4(float v) {
    Variant r = Make(VT_R4);
    r.fltVal = v;
    return r;
}
Variant Variant::R8(double v) {
    Variant r = Make(VT_R8);
    r.dblVal = v;
    return r;
}
Variant Variant::Cy(Currency v) {
    Variant r = Make(VT_CY);
    r.cyVal = v.int64;
    return r;
}
Variant Variant::Date(DATE v) {
    Variant r = Make(VT_DATE);
    r.date = v;
    return r;
}
Variant Variant::Bool(bool v) {
    Variant r = Make(VT_BOOL);
    r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}
Variant Variant::Str(WideString v) {
    Variant r = Make(VT_BSTR);
    r.bstrVal = std::move(v);
    return r;
}
Variant Variant::Str(std::string_view utf8) {
    return Str(Utf8ToWide(utf8));
}
Variant Variant::Error(int32_t scode) {
    Variant r = Make(VT_ERROR);
    r.scode = scode;
    return r;
}
Variant Variant::Null() {
    return Make(VT_NULL);
}

bool Variant::operator==(const Variant& o) const {
    if (vt != o.vt) return false;
    auto sameDouble = [](double a, double b) {
        return a == b || std::memcmp(&a, &b, sizeof a) == 0;
    };
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_I1:
            return cVal == o.cVal;
        case VT_UI1:
            return bVal == o.bVal;
        case VT_I2:
            return iVal == o.iVal;
        case VT_UI2:
            return uiVal == o.uiVal;
        case VT_I4:
            return lVal == o.lVal;
        case VT_UI4:
            return ulVal == o.ulVal;
        case VT_INT:
            return intVal == o.intVal;
        case VT_UINT:
            return uintVal == o.uintVal;
        case VT_I8:
            return llVal == o.llVal;
        case VT_UI8:
            return ullVal == o.ullVal;
        case VT_CY:
            return cyVal == o.cyVal;
        case VT_R4:
            return fltVal == o.fltVal || std::memcmp(&fltVal, &o.fltVal, sizeof fltVal) == 0;
        case VT_R8:
            return sameDouble(dblVal, o.dblVal);
        case VT_DATE:
            return sameDouble(date, o.date);
        case VT_BOOL:
            return boolVal == o.boolVal;
        case VT_ERROR:
            return scode == o.scode;
        case VT_BSTR:
            return bstrVal == o.bstrVal;
        default:
            return llVal == o.llVal && bstrVal == o.bstrVal;
    }
}

char DecimalSeparator(LCID lcid) {
    return (lcid & 0x3FF) == 0x19 ? ',' : '.';
}

// ---- type change -------------------------------------------------------------------------

namespace {

__extension__ typedef __int128 i128;

constexpr double kTwo64 = 18446744073709551616.0;

// Round half to even, the platform's rule for making floating values integral.
double RoundHalfEven(double x) {
    const double f = std::floor(x);
    const double diff = x - f;
    if (diff > 0.5) return f + 1;
    if (diff < 0.5) return f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

// q = n / d rounded half to even (d > 0).
int64_t DivRoundHalfEven(int64_t n, int64_t d) {
    int64_t q = n / d, r = n % d;
    const int64_t twice = r < 0 ? -2 * r : 2 * r;
    if (twice > d || (twice == d && (q & 1) != 0)) q += n < 0 ? -1 : 1;
    return q;
}

struct IntRange {
    i128 lo, hi;
};

std::optional<IntRange> IntegerRange(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return IntRange{INT8_MIN, INT8_MAX};
        case VT_I2:
            return IntRange{INT16_MIN, INT16_MAX};
        case VT_I4:
        case VT_INT:
            return IntRange{INT32_MIN, INT32_MAX};
        case VT_I8:
            return IntRange{INT64_MIN, INT64_MAX};
        case VT_UI1:
            return IntRange{0, UINT8_MAX};
        case VT_UI2:
            return IntRange{0, UINT16_MAX};
        case VT_UI4:
        case VT_UINT:
            return IntRange{0, UINT32_MAX};
        case VT_UI8:
            return IntRange{0, UINT64_MAX};
        default:
            return std::nullopt;
    }
}

void StoreInteger(Variant& v, VARTYPE vt, i128 x) {
    v.vt = vt;
    v.llVal = 0;
    switch (vt) {
        case VT_I1:
            v.cVal = static_cast<int8_t>(x);
            break;
        case VT_I2:
            v.iVal = static_cast<int16_t>(x);
            break;
        case VT_I4:
            v.lVal = static_cast<int32_t>(x);
            break;
        case VT_INT:
            v.intVal = static_cast<int32_t>(x);
            break;
        case VT_I8:
            v.llVal = static_cast<int64_t>(x);
            break;
        case VT_UI1:
            v.bVal = static_cast<uint8_t>(x);
            break;
        case VT_UI2:
            v.uiVal = static_cast<uint16_t>(x);
            break;
        case VT_UI4:
            v.ulVal = static_cast<uint32_t>(x);
            break;
        case VT_UINT:
            v.uintVal = static_cast<uint32_t>(x);
            break;
        case VT_UI8:
            v.ullVal = static_cast<uint64_t>(x);
            break;
        default:
            break;
    }
}

// Number text: blanks, optional sign, digits with an optional fraction (at least one digit),
// an optional exponent, blanks. Value = digits × 10^exp; digits carry no leading zeros.
struct Decimal {
    bool neg = false;
    std::string digits;
    int64_t exp = 0;
};

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::optional<Decimal> ParseDecimal(std::u16string_view s, char sep) {
    size_t i = 0, n = s.size();
    while (i < n && IsBlank(s[i])) ++i;
    Decimal d;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) d.neg = s[i++] == u'-';
    bool anyDigit = false;
    for (; i < n && IsDigit(s[i]); ++i) {
        anyDigit = true;
        if (d.digits.empty() && s[i] == u'0') continue;
        d.digits.push_back(static_cast<char>(s[i]));
    }
    if (i < n && s[i] == static_cast<char16_t>(sep)) {
        for (++i; i < n && IsDigit(s[i]); ++i) {
            anyDigit = true;
            --d.exp;
            if (d.digits.empty() && s[i] == u'0') continue;
            d.digits.push_back(static_cast<char>(s[i]));
        }
    }
    if (!anyDigit) return std::nullopt;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        bool eneg = false;
        if (i < n && (s[i] == u'+' || s[i] == u'-')) eneg = s[i++] == u'-';
        if (i >= n || !IsDigit(s[i])) return std::nullopt;
        int64_t e = 0;
        for (; i < n && IsDigit(s[i]); ++i) {
            if (e < 1000000) e = e * 10 + (s[i] - u'0');  // beyond this it is 0 or overflow anyway
        }
        d.exp += eneg ? -e : e;
    }
    while (i < n && IsBlank(s[i])) ++i;
    if (i != n) return std::nullopt;
    // Trailing zeros of the digits move into the exponent so that the digit count stays small.
    while (!d.digits.empty() && d.digits.back() == '0') {
        d.digits.pop_back();
        ++d.exp;
    }
    if (d.digits.empty()) d.exp = 0;
    return d;
}

// value × 10^shift rounded half to even; nullopt when it is far beyond any 64-bit range.
std::optional<i128> DecimalToInteger(const Decimal& d, int shift) {
    if (d.digits.empty()) return i128{0};
    const int64_t e = d.exp + shift;
    const int64_t nd = static_cast<int64_t>(d.digits.size());
    const int64_t intDigits = nd + e;  // digits before the decimal point
    if (intDigits > 30) return std::nullopt;
    i128 v = 0;
    for (int64_t k = 0; k < intDigits; ++k) v = v * 10 + (k < nd ? d.digits[size_t(k)] - '0' : 0);
    if (intDigits < nd) {
        const int64_t first = intDigits < 0 ? -1 : intDigits;  // index of the first dropped digit
        if (first >= 0) {
            const char c = d.digits[size_t(first)];
            const bool restNonZero = first + 1 < nd;  // trailing zeros were stripped
            if (c > '5' || (c == '5' && (restNonZero || (v & 1) != 0))) ++v;
        }
        // first < 0: below 0.1 after the shift, rounds to 0
    }
    return d.neg ? -v : v;
}

// nullopt on overflow; underflow gives 0.
std::optional<double> DecimalToDouble(const Decimal& d) {
    if (d.digits.empty()) return 0.0;
    std::string t = d.digits + "e" + std::to_string(d.exp);
    double x = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), x);
    if (ec == std::errc::result_out_of_range) {
        if (static_cast<int64_t>(d.digits.size()) + d.exp <= 0) return 0.0;
        return std::nullopt;
    }
    if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
    return d.neg ? -x : x;
}

WideString Ascii(std::string_view s) {
    return WideString(s.begin(), s.end());
}

std::string FormatFloat(double x, int precision, char sep) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, precision);
    std::string s = ec == std::errc() ? std::string(buf, p) : std::string("0");
    for (char& c : s) {
        if (c == '.')
            c = sep;
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string FormatCurrency(int64_t cy, char sep) {
    const bool neg = cy < 0;
    const uint64_t mag = neg ? uint64_t(0) - static_cast<uint64_t>(cy) : static_cast<uint64_t>(cy);
    std::string s = (neg ? "-" : "") + std::to_string(mag / 10000);
    unsigned frac = static_cast<unsigned>(mag % 10000);
    if (frac != 0) {
        char f[5] = {char('0' + frac / 1000), char('0' + frac / 100 % 10),
                     char('0' + frac / 10 % 10), char('0' + frac % 10), 0};
        std::string fs(f);
        while (fs.back() == '0') fs.pop_back();
        s += sep;
        s += fs;
    }
    return s;
}

bool IsIntegerSource(VARTYPE vt) {
    return IntegerRange(vt).has_value() || vt == VT_BOOL;
}
bool IsFloatSource(VARTYPE vt) {
    return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE;
}

bool Supported(VARTYPE vt) {
    return vt == VT_EMPTY || vt == VT_NULL || IntegerRange(vt) || vt == VT_R4 || vt == VT_R8 ||
           vt == VT_CY || vt == VT_DATE || vt == VT_BSTR || vt == VT_BOOL || vt == VT_ERROR;
}

i128 IntegerOf(const Variant& v) {
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_I2:
            return v.iVal;
        case VT_I4:
            return v.lVal;
        case VT_INT:
            return v.intVal;
        case VT_I8:
            return v.llVal;
        case VT_UI1:
            return v.bVal;
        case VT_UI2:
            return v.uiVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_UI8:
            return v.ullVal;
        case VT_BOOL:
            return v.boolVal ? -1 : 0;
        default:
            return 0;
    }
}

double FloatOf(const Variant& v) {
    switch (v.vt) {
        case VT_R4:
            return v.fltVal;
        case VT_R8:
            return v.dblVal;
        case VT_DATE:
            return v.date;
        default:
            return 0;
    }
}

// Converters: each returns S_OK with `out` set, or the failure code.

HRESULT ToInteger(const Variant& src, LCID lcid, VARTYPE vt, Variant& out) {
    const IntRange range = *IntegerRange(vt);
    i128 x = 0;
    if (src.vt == VT_EMPTY) {
        x = 0;
    } else if (IsIntegerSource(src.vt)) {
        x = IntegerOf(src);
    } else if (IsFloatSource(src.vt)) {
        const double f = FloatOf(src);
        if (!std::isfinite(f)) return DISP_E_OVERFLOW;
        const double r = RoundHalfEven(f);
        if (r <= -kTwo64 || r >= kTwo64) return DISP_E_OVERFLOW;
        x = static_cast<i128>(r);
    } else if (src.vt == VT_CY) {
        x = DivRoundHalfEven(src.cyVal, 10000);
    } else if (src.vt == VT_BSTR) {
        auto d = ParseDecimal(src.bstrVal, DecimalSeparator(lcid));
        if (!d) return DISP_E_TYPEMISMATCH;
        auto v = DecimalToInteger(*d, 0);
        if (!v) return DISP_E_OVERFLOW;
        x = *v;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    if (x < range.lo || x > range.hi) return DISP_E_OVERFLOW;
    StoreInteger(out, vt, x);
    return S_OK;
}

HRESULT ToDouble(const Variant& src, LCID lcid, double& x) {
    if (src.vt == VT_EMPTY) {
        x = 0;
    } else if (IsIntegerSource(src.vt)) {
        x = static_cast<double>(IntegerOf(src));
    } else if (IsFloatSource(src.vt)) {
        x = FloatOf(src);
    } else if (src.vt == VT_CY) {
        x = static_cast<double>(src.cyVal) / 10000.0;
    } else if (src.vt == VT_BSTR) {
        auto d = ParseDecimal(src.bstrVal, DecimalSeparator(lcid));
        if (!d) return DISP_E_TYPEMISMATCH;
        auto v = DecimalToDouble(*d);
        if (!v) return DISP_E_OVERFLOW;
        x = *v;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

HRESULT ToCurrency(const Variant& src, LCID lcid, int64_t& cy) {
    i128 x;
    if (src.vt == VT_EMPTY) {
        x = 0;
    } else if (IsIntegerSource(src.vt)) {
        x = IntegerOf(src) * 10000;
    } else if (IsFloatSource(src.vt)) {
        const double f = FloatOf(src);
        if (!std::isfinite(f)) return DISP_E_OVERFLOW;
        const double r = RoundHalfEven(f * 10000.0);
        if (r <= -kTwo64 || r >= kTwo64) return DISP_E_OVERFLOW;
        x = static_cast<i128>(r);
    } else if (src.vt == VT_CY) {
        x = src.cyVal;
    } else if (src.vt == VT_BSTR) {
        auto d = ParseDecimal(src.bstrVal, DecimalSeparator(lcid));
        if (!d) return DISP_E_TYPEMISMATCH;
        auto v = DecimalToInteger(*d, 4);
        if (!v) return DISP_E_OVERFLOW;
        x = *v;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    if (x < INT64_MIN || x > INT64_MAX) return DISP_E_OVERFLOW;
    cy = static_cast<int64_t>(x);
    return S_OK;
}

bool TextIs(const WideString& text, std::string_view word) {
    size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    if (e - b != word.size()) return false;
    for (size_t k = 0; k < word.size(); ++k) {
        char16_t c = text[b + k];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        char w = word[k];
        if (w >= 'a' && w <= 'z') w = static_cast<char>(w - 'a' + 'A');
        if (c != static_cast<char16_t>(w)) return false;
    }
    return true;
}

HRESULT ToBool(const Variant& src, LCID lcid, VARIANT_BOOL& b) {
    if (src.vt == VT_EMPTY) {
        b = VARIANT_FALSE;
    } else if (IsIntegerSource(src.vt)) {
        b = IntegerOf(src) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (IsFloatSource(src.vt)) {
        b = FloatOf(src) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (src.vt == VT_CY) {
        b = src.cyVal != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (src.vt == VT_BSTR) {
        if (TextIs(src.bstrVal, "True")) {
            b = VARIANT_TRUE;
        } else if (TextIs(src.bstrVal, "False")) {
            b = VARIANT_FALSE;
        } else {
            auto d = ParseDecimal(src.bstrVal, DecimalSeparator(lcid));
            if (!d) return DISP_E_TYPEMISMATCH;
            b = d->digits.empty() ? VARIANT_FALSE : VARIANT_TRUE;
        }
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

HRESULT ToText(const Variant& src, LCID lcid, uint16_t flags, WideString& text) {
    const char sep = DecimalSeparator(lcid);
    switch (src.vt) {
        case VT_EMPTY:
            text.clear();
            return S_OK;
        case VT_BSTR:
            text = src.bstrVal;
            return S_OK;
        case VT_BOOL:
            if (flags & VARIANT_ALPHABOOL)
                text = src.boolVal ? u"True" : u"False";
            else
                text = src.boolVal ? u"-1" : u"0";
            return S_OK;
        case VT_R4:
            text = Ascii(FormatFloat(src.fltVal, 7, sep));
            return S_OK;
        case VT_R8:
            text = Ascii(FormatFloat(src.dblVal, 15, sep));
            return S_OK;
        case VT_CY:
            text = Ascii(FormatCurrency(src.cyVal, sep));
            return S_OK;
        case VT_DATE: {
            auto t = FormatDateText(src.date, lcid);
            if (!t) return DISP_E_OVERFLOW;
            text = Ascii(*t);
            return S_OK;
        }
        default:
            break;
    }
    if (IsIntegerSource(src.vt)) {
        const i128 x = IntegerOf(src);
        text = Ascii(x < 0 ? "-" + std::to_string(static_cast<uint64_t>(-x))
                           : std::to_string(static_cast<uint64_t>(x)));
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT Change(const Variant& src, LCID lcid, uint16_t flags, VARTYPE vt, Variant& out) {
    if (!Supported(vt) || !Supported(src.vt)) return DISP_E_BADVARTYPE;
    out.Clear();
    if (vt == VT_EMPTY) return S_OK;
    if (src.vt == vt) {
        out = src;
        return S_OK;
    }
    if (vt == VT_NULL) {
        // Only EMPTY becomes NULL (NULL itself was copied above).
        if (src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (src.vt == VT_ERROR || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

    if (IntegerRange(vt)) return ToInteger(src, lcid, vt, out);
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_R4: {
            double x;
            if (Failed(hr = ToDouble(src, lcid, x))) return hr;
            if (std::isinf(x) || (std::isfinite(x) && std::fabs(x) > FLT_MAX))
                return DISP_E_OVERFLOW;
            out.vt = VT_R4;
            out.fltVal = static_cast<float>(x);
            return S_OK;
        }
        case VT_R8: {
            double x;
            if (Failed(hr = ToDouble(src, lcid, x))) return hr;
            out.vt = VT_R8;
            out.dblVal = x;
            return S_OK;
        }
        case VT_DATE: {
            double x;
            if (src.vt == VT_BSTR) {
                auto d = ParseDateText(WideToUtf8(src.bstrVal), lcid);
                if (!d) return DISP_E_TYPEMISMATCH;
                x = *d;
            } else {
                if (Failed(hr = ToDouble(src, lcid, x))) return hr;
                if (!(x > kDateMin - 1.0 && x < kDateEnd)) return DISP_E_OVERFLOW;
            }
            out.vt = VT_DATE;
            out.date = x;
            return S_OK;
        }
        case VT_CY: {
            int64_t cy;
            if (Failed(hr = ToCurrency(src, lcid, cy))) return hr;
            out.vt = VT_CY;
            out.cyVal = cy;
            return S_OK;
        }
        case VT_BOOL: {
            VARIANT_BOOL b;
            if (Failed(hr = ToBool(src, lcid, b))) return hr;
            out.vt = VT_BOOL;
            out.boolVal = b;
            return S_OK;
        }
        case VT_BSTR: {
            WideString t;
            if (Failed(hr = ToText(src, lcid, flags, t))) return hr;
            out.vt = VT_BSTR;
            out.bstrVal = std::move(t);
            return S_OK;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
}

}  // namespace

HRESULT VariantChangeTypeEx(Variant& dst, const Variant& src, LCID lcid, uint16_t flags,
                            VARTYPE vt) {
    Variant out;
    const HRESULT hr = Change(src, lcid, flags, vt, out);
    if (Succeeded(hr)) dst = std::move(out);
    return hr;
}

}  // namespace plat
