#include <gtest/gtest.h>

#include "tests/support/TimeHelpers.h"

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/types/datetime.h"
#include "platform/types/variant.h"

using namespace plat;

using testsupport::MakeDate;

namespace {

struct Result {
    HRESULT hr;
    Variant v;
};

Result Change(const Variant& src, VARTYPE vt, LCID lcid = LOCALE_EN_US, uint16_t flags = 0) {
    Result r{S_OK, Variant::Error(12345)};  // sentinel: failures must leave it alone
    r.hr = VariantChangeTypeEx(r.v, src, lcid, flags, vt);
    return r;
}

std::string Text(const Variant& v) {
    return WideToUtf8(v.bstrVal);
}

std::string ToText(const Variant& src, LCID lcid = LOCALE_EN_US, uint16_t flags = 0) {
    Result r = Change(src, VT_BSTR, lcid, flags);
    EXPECT_EQ(r.hr, S_OK);
    return Text(r.v);
}

int64_t AsI8(const Variant& src, VARTYPE via = VT_I8, LCID lcid = LOCALE_EN_US) {
    Result r = Change(src, via, lcid);
    EXPECT_EQ(r.hr, S_OK);
    Result back = Change(r.v, VT_I8);
    return back.v.llVal;
}

}  // namespace

TEST(VariantChangeType, IntegerBoundsAndOnePast) {
    struct Case {
        VARTYPE vt;
        int64_t lo, hi;
    } cases[] = {{VT_I1, -128, 127},
                 {VT_I2, -32768, 32767},
                 {VT_I4, INT32_MIN, INT32_MAX},
                 {VT_INT, INT32_MIN, INT32_MAX},
                 {VT_UI1, 0, 255},
                 {VT_UI2, 0, 65535},
                 {VT_UI4, 0, 4294967295LL},
                 {VT_UINT, 0, 4294967295LL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        for (const Variant& src :
             {Variant::I8(c.lo), Variant::R8(double(c.lo)), Variant::Str(std::to_string(c.lo))}) {
            Result r = Change(src, c.vt);
            ASSERT_EQ(r.hr, S_OK);
            EXPECT_EQ(r.v.vt, c.vt);
            EXPECT_EQ(AsI8(r.v), c.lo);
        }
        for (const Variant& src :
             {Variant::I8(c.hi), Variant::R8(double(c.hi)), Variant::Str(std::to_string(c.hi))}) {
            Result r = Change(src, c.vt);
            ASSERT_EQ(r.hr, S_OK);
            EXPECT_EQ(AsI8(r.v), c.hi);
        }
        for (const Variant& src :
             {Variant::I8(c.lo - 1), Variant::I8(c.hi + 1), Variant::R8(double(c.hi + 1)),
              Variant::R8(double(c.lo - 1)), Variant::Str(std::to_string(c.hi + 1)),
              Variant::Cy({(c.hi + 1) * 10000})}) {
            Result r = Change(src, c.vt);
            EXPECT_EQ(r.hr, DISP_E_OVERFLOW) << src.vt;
            EXPECT_EQ(r.v, Variant::Error(12345)) << "destination changed on failure";
        }
    }
}

TEST(VariantChangeType, SixtyFourBitBounds) {
    Result r = Change(Variant::Str("9223372036854775807"), VT_I8);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.v.llVal, INT64_MAX);
    EXPECT_EQ(Change(Variant::Str("-9223372036854775808"), VT_I8).v.llVal, INT64_MIN);
    EXPECT_EQ(Change(Variant::Str("9223372036854775808"), VT_I8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::Str("-9223372036854775809"), VT_I8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::Str("18446744073709551615"), VT_UI8).v.ullVal, UINT64_MAX);
    EXPECT_EQ(Change(Variant::Str("18446744073709551616"), VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::UI8(UINT64_MAX), VT_I8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::I8(-1), VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::UI8(uint64_t(INT64_MAX)), VT_I8).v.llVal, INT64_MAX);
    // 2^63 is exactly representable and one past I8's top.
    EXPECT_EQ(Change(Variant::R8(9223372036854775808.0), VT_I8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(-9223372036854775808.0), VT_I8).v.llVal, INT64_MIN);
    EXPECT_EQ(Change(Variant::R8(1e300), VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToText(Variant::I8(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(ToText(Variant::UI8(UINT64_MAX)), "18446744073709551615");
}

TEST(VariantChangeType, RoundsHalfToEvenBeforeRangeCheck) {
    const std::pair<double, int32_t> halves[] = {{0.5, 0},    {1.5, 2},     {2.5, 2},   {3.5, 4},
                                                 {-0.5, 0},   {-1.5, -2},   {-2.5, -2}, {2.4999, 2},
                                                 {2.5001, 3}, {-2.5001, -3}};
    for (auto [x, want] : halves) {
        EXPECT_EQ(Change(Variant::R8(x), VT_I4).v.lVal, want) << x;
        EXPECT_EQ(Change(Variant::R4(float(x)), VT_I4).v.lVal, want) << x;
        EXPECT_EQ(Change(Variant::Cy({int64_t(std::llround(x * 10000))}), VT_I4).v.lVal, want) << x;
        EXPECT_EQ(Change(Variant::Date(x), VT_I4).v.lVal, want) << x;
    }
    // Text is rounded on its exact decimal value, not on a binary approximation.
    EXPECT_EQ(Change(Variant::Str("2.5"), VT_I4).v.lVal, 2);
    EXPECT_EQ(Change(Variant::Str("3.5"), VT_I4).v.lVal, 4);
    EXPECT_EQ(Change(Variant::Str("2.50000000000000000001"), VT_I4).v.lVal, 3);
    EXPECT_EQ(Change(Variant::Str("-0.4"), VT_UI1).v.bVal, 0);
    // Rounded first: 255.4 is a UI1, 255.5 (-> 256) is not; 126.5 -> 126, 127.5 -> 128.
    EXPECT_EQ(Change(Variant::R8(255.4), VT_UI1).v.bVal, 255);
    EXPECT_EQ(Change(Variant::R8(255.5), VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(-0.5), VT_UI1).hr, S_OK);
    EXPECT_EQ(Change(Variant::R8(-0.51), VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(126.5), VT_I1).v.cVal, 126);
    EXPECT_EQ(Change(Variant::R8(127.5), VT_I1).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeType, NonFiniteToIntegerOrCurrencyOverflows) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double x : bad) {
        for (VARTYPE vt : {VT_I1, VT_I4, VT_I8, VT_UI8, VT_CY}) {
            EXPECT_EQ(Change(Variant::R8(x), vt).hr, DISP_E_OVERFLOW) << x << " vt " << vt;
            EXPECT_EQ(Change(Variant::R4(float(x)), vt).hr, DISP_E_OVERFLOW) << x << " vt " << vt;
        }
    }
    EXPECT_EQ(Change(Variant::R8(std::numeric_limits<double>::infinity()), VT_R4).hr,
              DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(1e39), VT_R4).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(0.1), VT_R4).v.fltVal, 0.1f);
}

TEST(VariantChangeType, Currency) {
    // Four decimals, halves to even (exact binary fractions so the ×10000 is exact).
    EXPECT_EQ(Change(Variant::R8(0.03125), VT_CY).v.cyVal, 312);
    EXPECT_EQ(Change(Variant::R8(0.09375), VT_CY).v.cyVal, 938);
    EXPECT_EQ(Change(Variant::R8(-0.03125), VT_CY).v.cyVal, -312);
    EXPECT_EQ(Change(Variant::R8(12.5), VT_CY).v.cyVal, 125000);
    EXPECT_EQ(Change(Variant::Str("1.23455"), VT_CY).v.cyVal, 12346);
    EXPECT_EQ(Change(Variant::Str("1.23445"), VT_CY).v.cyVal, 12344);
    EXPECT_EQ(Change(Variant::Str("1,5"), VT_CY, LOCALE_RU_RU).v.cyVal, 15000);
    EXPECT_EQ(Change(Variant::I8(922337203685477), VT_CY).v.cyVal, 9223372036854770000);
    EXPECT_EQ(Change(Variant::I8(922337203685478), VT_CY).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::I8(-922337203685478), VT_CY).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(1e15), VT_CY).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::Str("922337203685477.5807"), VT_CY).v.cyVal, INT64_MAX);
    EXPECT_EQ(Change(Variant::Str("922337203685477.5808"), VT_CY).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::Bool(true), VT_CY).v.cyVal, -10000);

    EXPECT_EQ(Change(Variant::Cy({25000}), VT_R8).v.dblVal, 2.5);
    EXPECT_EQ(ToText(Variant::Cy({12345})), "1.2345");
    EXPECT_EQ(ToText(Variant::Cy({12300})), "1.23");
    EXPECT_EQ(ToText(Variant::Cy({10000})), "1");
    EXPECT_EQ(ToText(Variant::Cy({-5000})), "-0.5");
    EXPECT_EQ(ToText(Variant::Cy({-5})), "-0.0005");
    EXPECT_EQ(ToText(Variant::Cy({15000}), LOCALE_RU_RU), "1,5");
    EXPECT_EQ(ToText(Variant::Cy({INT64_MIN})), "-922337203685477.5808");
}

TEST(VariantChangeType, BoolRules) {
    EXPECT_EQ(Change(Variant::Bool(true), VT_I4).v.lVal, -1);
    EXPECT_EQ(Change(Variant::Bool(true), VT_I1).v.cVal, -1);
    EXPECT_EQ(Change(Variant::Bool(true), VT_R8).v.dblVal, -1.0);
    EXPECT_EQ(Change(Variant::Bool(false), VT_R8).v.dblVal, 0.0);
    EXPECT_EQ(Change(Variant::Bool(true), VT_UI1).hr, DISP_E_OVERFLOW);  // -1 is no UI1
    EXPECT_EQ(ToText(Variant::Bool(true)), "-1");
    EXPECT_EQ(ToText(Variant::Bool(false)), "0");
    EXPECT_EQ(ToText(Variant::Bool(true), LOCALE_EN_US, VARIANT_ALPHABOOL), "True");
    EXPECT_EQ(ToText(Variant::Bool(false), LOCALE_RU_RU, VARIANT_ALPHABOOL), "False");

    for (const Variant& v : {Variant::I4(2), Variant::R8(0.1), Variant::Cy({1}),
                             Variant::UI8(1ull << 40), Variant::R8(-1e-300), Variant::Str("True"),
                             Variant::Str(" tRUE "), Variant::Str("-1"), Variant::Str("0.5")}) {
        Result r = Change(v, VT_BOOL);
        ASSERT_EQ(r.hr, S_OK) << v.vt;
        EXPECT_EQ(r.v.boolVal, VARIANT_TRUE) << v.vt;
    }
    for (const Variant& v : {Variant::I4(0), Variant::R8(0.0), Variant::Cy({0}), Variant(),
                             Variant::Str("false"), Variant::Str("0"), Variant::Str("0.000")}) {
        Result r = Change(v, VT_BOOL);
        ASSERT_EQ(r.hr, S_OK) << v.vt;
        EXPECT_EQ(r.v.boolVal, VARIANT_FALSE) << v.vt;
    }
    EXPECT_EQ(Change(Variant::Str("2,5"), VT_BOOL, LOCALE_RU_RU).v.boolVal, VARIANT_TRUE);
    EXPECT_EQ(Change(Variant::Str("yes"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::Str("Truth"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, NumberTextFollowsTheLocaleSeparator) {
    struct Case {
        const char* text;
        LCID lcid;
        HRESULT hr;
        double value;
    } cases[] = {
        {"12.5", LOCALE_EN_US, S_OK, 12.5},
        {"12,5", LOCALE_RU_RU, S_OK, 12.5},
        {"12,5", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"12.5", LOCALE_RU_RU, DISP_E_TYPEMISMATCH, 0},
        {"12.5", 1031, S_OK, 12.5},  // unknown locale: '.'
        {"  -1.5e3\t", LOCALE_EN_US, S_OK, -1500},
        {"+.5", LOCALE_EN_US, S_OK, 0.5},
        {"5.", LOCALE_EN_US, S_OK, 5},
        {"1E-2", LOCALE_EN_US, S_OK, 0.01},
        {"-0,25E+1", LOCALE_RU_RU, S_OK, -2.5},
        {"000123", LOCALE_EN_US, S_OK, 123},
        {"1e-400", LOCALE_EN_US, S_OK, 0},
        {"1e400", LOCALE_EN_US, DISP_E_OVERFLOW, 0},
        {"", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"   ", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {".", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"-", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"1e", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"1e+", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"1 2", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"--1", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"12abc", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"1.2.3", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"nan", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"inf", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
        {"0x10", LOCALE_EN_US, DISP_E_TYPEMISMATCH, 0},
    };
    for (const Case& c : cases) {
        Result r = Change(Variant::Str(c.text), VT_R8, c.lcid);
        EXPECT_EQ(r.hr, c.hr) << '"' << c.text << "\" lcid " << c.lcid;
        if (c.hr == S_OK) {
            EXPECT_EQ(r.v.dblVal, c.value) << c.text;
        }
    }
    EXPECT_EQ(Change(Variant::Str("\xD0\x9F"), VT_I4).hr, DISP_E_TYPEMISMATCH);  // Cyrillic
    EXPECT_EQ(Change(Variant::Str("7,9"), VT_I2, LOCALE_RU_RU).v.iVal, 8);
}

TEST(VariantChangeType, NumbersToText) {
    EXPECT_EQ(ToText(Variant::I4(-123)), "-123");
    EXPECT_EQ(ToText(Variant::UI1(200)), "200");
    EXPECT_EQ(ToText(Variant::R8(12.5)), "12.5");
    EXPECT_EQ(ToText(Variant::R8(12.5), LOCALE_RU_RU), "12,5");
    EXPECT_EQ(ToText(Variant::R8(0.1)), "0.1");
    EXPECT_EQ(ToText(Variant::R8(1e20)), "1E+20");
    EXPECT_EQ(ToText(Variant::R8(1e-5)), "1E-05");
    EXPECT_EQ(ToText(Variant::R8(-2.5e-7), LOCALE_RU_RU), "-2,5E-07");
    EXPECT_EQ(ToText(Variant::R8(1.0 / 3)), "0.333333333333333");
    EXPECT_EQ(ToText(Variant::R8(123456789012345.0)), "123456789012345");
    EXPECT_EQ(ToText(Variant::R8(1e15)), "1E+15");
    EXPECT_EQ(ToText(Variant::R8(0.1 + 0.2)), "0.3");
    EXPECT_EQ(ToText(Variant::R8(100)), "100");
    EXPECT_EQ(ToText(Variant::R4(0.1f)), "0.1");
    EXPECT_EQ(ToText(Variant::R4(16777216.0f)), "1.677722E+07");
    EXPECT_EQ(ToText(Variant()), "");
    // Text written for a locale reads back in that locale.
    for (double x : {12.5, -0.001, 1e20, 3.14159265358979, 1e-5}) {
        for (LCID lcid : {LOCALE_EN_US, LOCALE_RU_RU}) {
            Result r = Change(Change(Variant::R8(x), VT_BSTR, lcid).v, VT_R8, lcid);
            ASSERT_EQ(r.hr, S_OK);
            EXPECT_DOUBLE_EQ(r.v.dblVal, x);
        }
    }
}

TEST(VariantChangeType, ResultsDoNotDependOnTheCLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    auto snapshot = [] {
        std::vector<std::string> out;
        out.push_back(ToText(Variant::R8(12.5)));
        out.push_back(ToText(Variant::R8(12.5), LOCALE_RU_RU));
        out.push_back(ToText(Variant::Cy({15000})));
        out.push_back(std::to_string(Change(Variant::Str("12.5"), VT_R8).v.dblVal));
        out.push_back(std::to_string(Change(Variant::Str("12,5"), VT_R8, LOCALE_RU_RU).v.dblVal));
        out.push_back(std::to_string(Change(Variant::Str("12,5"), VT_R8).hr));
        return out;
    };
    const auto reference = snapshot();
    EXPECT_EQ(reference[0], "12.5");
    EXPECT_EQ(reference[1], "12,5");
    int tried = 0;
    for (const char* loc : {"C.UTF-8", "C.utf8", "ru_RU.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
        if (!std::setlocale(LC_ALL, loc)) continue;
        ++tried;
        EXPECT_EQ(snapshot(), reference) << loc;
    }
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_GT(tried, 0);
}

TEST(VariantChangeType, DatesAndText) {
    const DATE d = MakeDate(2024, 3, 5, 14, 7, 9);
    EXPECT_EQ(ToText(Variant::Date(d), LOCALE_RU_RU), "05.03.2024 14:07:09");
    EXPECT_EQ(ToText(Variant::Date(d), LOCALE_EN_US), "3/5/2024 2:07:09 PM");
    EXPECT_EQ(ToText(Variant::Date(MakeDate(2024, 3, 5)), LOCALE_RU_RU), "05.03.2024");
    EXPECT_EQ(ToText(Variant::Date(MakeDate(2024, 3, 5, 0, 0, 1))), "3/5/2024 12:00:01 AM");
    EXPECT_EQ(ToText(Variant::Date(MakeDate(2024, 3, 5, 12, 30))), "3/5/2024 12:30:00 PM");
    EXPECT_EQ(ToText(Variant::Date(0.0)), "12:00:00 AM");
    EXPECT_EQ(ToText(Variant::Date(0.75), LOCALE_RU_RU), "18:00:00");

    for (LCID lcid : {LOCALE_EN_US, LOCALE_RU_RU}) {
        for (DATE x : {d, MakeDate(1999, 12, 31), MakeDate(1899, 12, 30, 23, 59, 59),
                       MakeDate(1800, 1, 1, 12, 0, 0), MakeDate(9999, 12, 31, 23, 59, 59)}) {
            Result t = Change(Variant::Date(x), VT_BSTR, lcid);
            Result back = Change(t.v, VT_DATE, lcid);
            ASSERT_EQ(back.hr, S_OK) << Text(t.v);
            EXPECT_EQ(back.v.date, x) << Text(t.v);
        }
    }
    EXPECT_EQ(Change(Variant::Str("05.03.2024 14:07:09"), VT_DATE, LOCALE_EN_US).hr,
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::Str("13/1/2020"), VT_DATE).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::Str("1/2/2020 13:00 PM"), VT_DATE).hr, DISP_E_TYPEMISMATCH);

    EXPECT_EQ(Change(Variant::Date(2.75), VT_I4).v.lVal, 3);
    EXPECT_EQ(Change(Variant::Date(d), VT_R8).v.dblVal, d);
    EXPECT_EQ(Change(Variant::R8(45000.25), VT_DATE).v.date, 45000.25);
    EXPECT_EQ(Change(Variant::R8(3e6), VT_DATE).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::R8(-700000), VT_DATE).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(Change(Variant::Date(1e7), VT_BSTR).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeType, EmptyNullErrorAndBadTypes) {
    const Variant empty;
    EXPECT_EQ(Change(empty, VT_I4).v, Variant::I4(0));
    EXPECT_EQ(Change(empty, VT_R8).v, Variant::R8(0));
    EXPECT_EQ(Change(empty, VT_CY).v, Variant::Cy({0}));
    EXPECT_EQ(Change(empty, VT_BOOL).v, Variant::Bool(false));
    EXPECT_EQ(Change(empty, VT_BSTR).v, Variant::Str(""));
    EXPECT_EQ(Change(empty, VT_DATE).v, Variant::Date(0));
    EXPECT_EQ(Change(empty, VT_NULL).v, Variant::Null());

    EXPECT_EQ(Change(Variant::Null(), VT_NULL).v, Variant::Null());
    EXPECT_EQ(Change(Variant::Null(), VT_EMPTY).v, Variant());
    for (VARTYPE vt : {VT_I4, VT_UI8, VT_R8, VT_BSTR, VT_BOOL, VT_CY, VT_DATE}) {
        EXPECT_EQ(Change(Variant::Null(), vt).hr, DISP_E_TYPEMISMATCH) << vt;
        EXPECT_EQ(Change(Variant::Error(5), vt).hr, DISP_E_TYPEMISMATCH) << vt;
    }
    EXPECT_EQ(Change(Variant::Null(), VT_ERROR).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::Error(5), VT_NULL).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::I4(1), VT_NULL).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::I4(1), VT_ERROR).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Variant::Error(5), VT_ERROR).v, Variant::Error(5));
    EXPECT_EQ(Change(Variant::I4(1), VT_EMPTY).v, Variant());

    EXPECT_EQ(Change(Variant::I4(1), VT_VARIANT).hr, DISP_E_BADVARTYPE);
    EXPECT_EQ(Change(Variant::I4(1), 99).hr, DISP_E_BADVARTYPE);
    Variant odd;
    odd.vt = 0x4003;  // by-reference I4: not supported
    EXPECT_EQ(Change(odd, VT_I4).hr, DISP_E_BADVARTYPE);
}

TEST(VariantChangeType, DestinationMayBeTheSource) {
    Variant v = Variant::Str(" 42 ");
    ASSERT_EQ(VariantChangeTypeEx(v, v, LOCALE_EN_US, 0, VT_I4), S_OK);
    EXPECT_EQ(v, Variant::I4(42));
    ASSERT_EQ(VariantChangeTypeEx(v, v, LOCALE_EN_US, 0, VT_BSTR), S_OK);
    EXPECT_EQ(v, Variant::Str("42"));
    ASSERT_EQ(VariantChangeTypeEx(v, v, LOCALE_EN_US, 0, VT_ERROR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(v, Variant::Str("42"));
}

TEST(VariantEquality, TypeAndValue) {
    EXPECT_EQ(Variant::I4(1), Variant::I4(1));
    EXPECT_NE(Variant::I4(1), Variant::Int(1));
    EXPECT_NE(Variant::I4(1), Variant::I4(2));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Variant::R8(nan), Variant::R8(nan));
    EXPECT_EQ(Variant::R8(0.0), Variant::R8(-0.0));
    EXPECT_NE(Variant::Str("a"), Variant::Str("A"));
    EXPECT_EQ(Variant::Str(u"\u00FF"), Variant::Str("\xC3\xBF"));
    EXPECT_EQ(Variant::Bool(true).boolVal, VARIANT_TRUE);
    EXPECT_EQ(Variant::Null(), Variant::Null());
    EXPECT_NE(Variant::Null(), Variant());
}

TEST(DecimalSeparator, ByLocale) {
    EXPECT_EQ(DecimalSeparator(LOCALE_EN_US), '.');
    EXPECT_EQ(DecimalSeparator(LOCALE_RU_RU), ',');
    EXPECT_EQ(DecimalSeparator(0), '.');
    EXPECT_EQ(DecimalSeparator(0x0407), '.');
}
