#include <gtest/gtest.h>

#include "tests/support/TimeHelpers.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/base/ValueConvert.h"

using namespace drv;
using namespace plat;

using testsupport::ScopedTz;

namespace {

constexpr uint16_t kGood = 192;

struct NumResult {
    HRESULT hr;
    Variant v;
    uint16_t quality;
};

NumResult Num(VARTYPE requested, int64_t fixed) {
    NumResult r{S_OK, Variant::Str("stale"), kGood};
    r.hr = NumberToVariant(requested, r.v, r.quality, fixed);
    return r;
}

NumResult Conv(const Variant& src, VARTYPE requested, LCID lcid = LOCALE_EN_US) {
    NumResult r{S_OK, Variant::Str("stale"), kGood};
    r.hr = VariantToVarType(src, requested, r.v, lcid, r.quality);
    return r;
}

void ExpectOverflow(const NumResult& r, const std::string& what) {
    EXPECT_EQ(r.hr, DISP_E_OVERFLOW) << what;
    EXPECT_EQ(r.quality, 0) << what;
    EXPECT_TRUE(r.v.IsEmpty()) << what;
}

// Caps the task allocator for one test.
class ScopedAllocLimit {
  public:
    explicit ScopedAllocLimit(size_t cap) : old_(CoTaskMemSetLimit(cap)) {}
    ~ScopedAllocLimit() { CoTaskMemSetLimit(old_); }

  private:
    size_t old_;
};

}  // namespace

TEST(NumberToVariant, IntegerRangesAreTestedOnTheFixedPointValue) {
    struct Case {
        VARTYPE vt;
        int64_t lo, hi;
    } cases[] = {{VT_UI1, 0, 255},   {VT_UI2, 0, 65535},     {VT_UI4, 0, 4294967295LL},
                 {VT_I1, -128, 127}, {VT_I2, -32768, 32767}, {VT_I4, INT32_MIN, INT32_MAX}};
    for (const Case& c : cases) {
        const std::string name = "vt " + std::to_string(c.vt);
        NumResult lo = Num(c.vt, c.lo * 10000);
        ASSERT_EQ(lo.hr, S_OK) << name;
        EXPECT_EQ(lo.v.vt, VT_I4) << name;
        EXPECT_EQ(lo.v.lVal, static_cast<int32_t>(c.lo)) << name;
        EXPECT_EQ(lo.quality, kGood) << name;
        NumResult hi = Num(c.vt, c.hi * 10000);
        ASSERT_EQ(hi.hr, S_OK) << name;
        EXPECT_EQ(hi.v.vt, VT_I4) << name;
        EXPECT_EQ(static_cast<uint32_t>(hi.v.lVal), static_cast<uint32_t>(c.hi)) << name;
        // One ten-thousandth past either bound already fails: the test precedes rounding.
        ExpectOverflow(Num(c.vt, c.hi * 10000 + 1), name + " hi+");
        ExpectOverflow(Num(c.vt, c.lo * 10000 - 1), name + " lo-");
    }
    NumResult ui1 = Num(VT_UI1, 2550000);
    EXPECT_EQ(ui1.v, Variant::I4(255));
    ExpectOverflow(Num(VT_UI1, 2554000), "255.4");
    ExpectOverflow(Num(VT_UI1, -4000), "-0.4");
    ExpectOverflow(Num(VT_UI1, -1), "-0.0001");
    EXPECT_EQ(Num(VT_UI4, 42949672950000).v.lVal, -1);  // bit pattern of 4294967295
    EXPECT_EQ(Num(VT_UI4, 21474836480000).v.lVal, INT32_MIN);
}

TEST(NumberToVariant, RoundsHalfToEven) {
    const std::pair<int64_t, int32_t> cases[] = {
        {25000, 2}, {35000, 4}, {-25000, -2}, {-35000, -4}, {25001, 3},    {24999, 2},
        {5000, 0},  {-5000, 0}, {15000, 2},   {-15001, -2}, {2545000, 254}};
    for (auto [fixed, want] : cases) {
        EXPECT_EQ(Num(VT_I4, fixed).v.lVal, want) << fixed;
    }
    EXPECT_EQ(Num(VT_UI1, 2545000).v.lVal, 254);
    EXPECT_EQ(Num(VT_UI1, 2535000).v.lVal, 254);
}

TEST(NumberToVariant, OtherTypes) {
    // EMPTY and R8 give the Currency itself, not a double.
    for (VARTYPE vt : {VT_EMPTY, VT_R8}) {
        NumResult r = Num(vt, 125001);
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.v, Variant::Cy({125001}));
    }
    EXPECT_EQ(Num(VT_BOOL, 1).v, Variant::Bool(true));
    EXPECT_EQ(Num(VT_BOOL, -10000).v, Variant::Bool(true));
    EXPECT_EQ(Num(VT_BOOL, 0).v, Variant::Bool(false));

    EXPECT_EQ(Num(VT_I8, INT64_MAX).v, Variant::I8(922337203685478));
    EXPECT_EQ(Num(VT_I8, INT64_MIN).v, Variant::I8(-922337203685478));
    EXPECT_EQ(Num(VT_I8, 25000).v, Variant::I8(2));

    NumResult r4 = Num(VT_R4, 1);  // 0.0001 is not a float: the single-precision value shows
    ASSERT_EQ(r4.hr, S_OK);
    EXPECT_EQ(r4.v.vt, VT_R8);
    EXPECT_EQ(r4.v.dblVal, static_cast<double>(0.0001f));
    EXPECT_NE(r4.v.dblVal, 0.0001);
    EXPECT_EQ(Num(VT_R4, 125000).v, Variant::R8(12.5));

    const std::pair<int64_t, const char*> texts[] = {{125000, "12.5"},
                                                     {-5, "-0.0005"},
                                                     {0, "0"},
                                                     {10000, "1"},
                                                     {INT64_MAX, "922337203685477.5807"},
                                                     {-123456789, "-12345.6789"}};
    for (auto [fixed, want] : texts) {
        NumResult r = Num(VT_BSTR, fixed);
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.v, Variant::Str(want)) << fixed;
    }
}

TEST(NumberToVariant, UnsupportedTypesAreBadType) {
    for (VARTYPE vt : std::vector<VARTYPE>{VT_CY, VT_DATE, VT_UI8, VT_INT, VT_UINT, VT_ERROR,
                                           VT_NULL, VT_VARIANT, 99}) {
        NumResult r = Num(vt, 10000);
        EXPECT_EQ(r.hr, OPC_E_BADTYPE) << vt;
        EXPECT_EQ(r.quality, 0) << vt;
        EXPECT_TRUE(r.v.IsEmpty()) << vt;
    }
}

TEST(VariantToVarType, CommaOrPointTextToRealWhateverTheLocale) {
    for (LCID lcid : {LOCALE_EN_US, LOCALE_RU_RU, LCID(0), LCID(1031)}) {
        for (const char* text : {"12,5", "12.5", " 12,5 "}) {
            NumResult r = Conv(Variant::Str(text), VT_R8, lcid);
            ASSERT_EQ(r.hr, S_OK) << text << " " << lcid;
            EXPECT_EQ(r.v, Variant::R8(12.5));
            EXPECT_EQ(r.quality, kGood);
            r = Conv(Variant::Str(text), VT_R4, lcid);
            ASSERT_EQ(r.hr, S_OK) << text << " " << lcid;
            EXPECT_EQ(r.v, Variant::R4(12.5f));
        }
    }
    // Every comma becomes a point, so a grouped number is no number.
    NumResult bad = Conv(Variant::Str("1,234.5"), VT_R8, LOCALE_EN_US);
    EXPECT_EQ(bad.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.quality, 0);
    EXPECT_TRUE(bad.v.IsEmpty());
    // Other requested types keep the caller's locale.
    EXPECT_EQ(Conv(Variant::Str("12,5"), VT_I4, LOCALE_RU_RU).v, Variant::I4(12));
    EXPECT_EQ(Conv(Variant::Str("13,5"), VT_I4, LOCALE_RU_RU).v, Variant::I4(14));
    EXPECT_EQ(Conv(Variant::Str("12,5"), VT_I4, LOCALE_EN_US).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Conv(Variant::Str("12,5"), VT_CY, LOCALE_RU_RU).v, Variant::Cy({125000}));
    EXPECT_EQ(Conv(Variant::R8(12.5), VT_BSTR, LOCALE_RU_RU).v, Variant::Str("12,5"));
    EXPECT_EQ(Conv(Variant::R8(12.5), VT_BSTR, LOCALE_EN_US).v, Variant::Str("12.5"));
}

TEST(VariantToVarType, CLocaleDoesNotMatter) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char* loc : {"C.UTF-8", "ru_RU.UTF-8", "de_DE.UTF-8"}) {
        if (!std::setlocale(LC_ALL, loc)) continue;
        EXPECT_EQ(Conv(Variant::Str("12,5"), VT_R8).v, Variant::R8(12.5)) << loc;
        EXPECT_EQ(Num(VT_BSTR, 125000).v, Variant::Str("12.5")) << loc;
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(VariantToVarType, NaNFailsEvenForItsOwnType) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (VARTYPE vt : {VT_R8, VT_EMPTY, VT_BSTR, VT_I4}) {
        ExpectOverflow(Conv(Variant::R8(nan), vt), "R8 NaN to " + std::to_string(vt));
        ExpectOverflow(Conv(Variant::R4(std::nanf("")), vt), "R4 NaN to " + std::to_string(vt));
    }
    // Infinity is not NaN: copied to its own type, overflow only where it cannot fit.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Conv(Variant::R8(inf), VT_R8).hr, S_OK);
    ExpectOverflow(Conv(Variant::R8(inf), VT_I4), "inf to I4");
}

TEST(VariantToVarType, CopiesAndFailures) {
    NumResult same = Conv(Variant::I2(-7), VT_I2);
    EXPECT_EQ(same.v, Variant::I2(-7));
    EXPECT_EQ(Conv(Variant::Str("x"), VT_EMPTY).v, Variant::Str("x"));
    EXPECT_EQ(Conv(Variant::Error(3), VT_ERROR).v, Variant::Error(3));
    EXPECT_EQ(Conv(Variant::I4(300), VT_UI1).hr, DISP_E_OVERFLOW);
    ExpectOverflow(Conv(Variant::R8(300.0), VT_UI1), "300 to UI1");
    NumResult mismatch = Conv(Variant::Str("abc"), VT_I4);
    EXPECT_EQ(mismatch.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(mismatch.quality, 0);
    EXPECT_TRUE(mismatch.v.IsEmpty());
    NumResult badType = Conv(Variant::I4(1), VT_VARIANT);
    EXPECT_EQ(badType.hr, DISP_E_BADVARTYPE);
    EXPECT_EQ(badType.quality, 0);
    EXPECT_EQ(Conv(Variant::Bool(true), VT_I4).v, Variant::I4(-1));
    EXPECT_EQ(Conv(Variant::Cy({25000}), VT_I4).v, Variant::I4(2));
}

TEST(VariantToVarType, DestinationMayBeTheSource) {
    uint16_t q = kGood;
    Variant v = Variant::Str("42,5");
    ASSERT_EQ(VariantToVarType(v, VT_R8, v, LOCALE_EN_US, q), S_OK);
    EXPECT_EQ(v, Variant::R8(42.5));
    ASSERT_EQ(VariantToVarType(v, VT_R8, v, LOCALE_EN_US, q), S_OK);
    EXPECT_EQ(v, Variant::R8(42.5));
    ASSERT_EQ(VariantToVarType(v, VT_I1, v, LOCALE_EN_US, q), S_OK);
    EXPECT_EQ(v, Variant::I1(42));
    EXPECT_EQ(q, kGood);
    ASSERT_EQ(VariantToVarType(v, VT_ERROR, v, LOCALE_EN_US, q), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(q, 0);
}

TEST(FileTimeConversions, LocalDateToUtcAndBack) {
    ScopedTz tz("EST5EDT,M3.2.0,M11.1.0");
    SYSTEMTIME st;
    st.wYear = 2024;
    st.wMonth = 7;
    st.wDay = 1;
    st.wHour = 12;
    DATE summer;
    ASSERT_TRUE(SystemTimeToDate(st, summer));
    st.wMonth = 1;
    DATE winter;
    ASSERT_TRUE(SystemTimeToDate(st, winter));

    const FILETIME fs = DateTimeToFileTimeUTC(summer);
    const FILETIME fw = DateTimeToFileTimeUTC(winter);
    SYSTEMTIME utc;
    ASSERT_TRUE(FileTimeToSystemTime(fs, utc));
    EXPECT_EQ(utc.wHour, 16);
    ASSERT_TRUE(FileTimeToSystemTime(fw, utc));
    EXPECT_EQ(utc.wHour, 17);
    EXPECT_EQ(FileTimeToDateTimeLocal(fs), summer);
    EXPECT_EQ(FileTimeToDateTimeLocal(fw), winter);
    for (DATE d = winter; d < winter + 366; d += 0.3217) {
        const DATE back = FileTimeToDateTimeLocal(DateTimeToFileTimeUTC(d));
        // Only the repeated autumn hour may come back shifted by exactly one hour.
        if (std::fabs(back - d) > 1e-8) {
            EXPECT_NEAR(std::fabs(back - d), 1.0 / 24, 1e-8) << d;
        }
    }
}

TEST(FileTimeConversions, OutOfRangeGivesZero) {
    EXPECT_EQ(DateTimeToFileTimeUTC(1e7), FILETIME{});
    EXPECT_EQ(DateTimeToFileTimeUTC(std::nan("")), FILETIME{});
    EXPECT_EQ(DateTimeToFileTimeUTC(-200000.0), FILETIME{});  // before 1601
    EXPECT_EQ(FileTimeToDateTimeLocal(U64ToFileTime(1ull << 63)), 0.0);
    EXPECT_EQ(FileTimeToDateTimeLocal(U64ToFileTime(~0ull)), 0.0);
}

TEST(FileTimeConversions, NowComesFromTheClock) {
    ScopedFakeClock clock;
    EXPECT_EQ(FileTimeToU64(GetNowFileTime()), clock->UtcNow100ns());
    clock->Advance(1500);
    EXPECT_EQ(FileTimeToU64(GetNowFileTime()), clock->UtcNow100ns());
}

TEST(TaskMemory, StrToCoTaskMemW) {
    const size_t base = CoTaskMemLiveBlocks();
    EXPECT_EQ(StrToCoTaskMemW(""), nullptr);
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);

    char16_t* a = StrToCoTaskMemW("A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::u16string(a), u"A");
    char16_t* ru = StrToCoTaskMemW("\xD0\x9F\xD1\x83\xD1\x81\xD0\xBA \xF0\x9F\x98\x80");
    ASSERT_NE(ru, nullptr);
    EXPECT_EQ(std::u16string(ru), u"\u041F\u0443\u0441\u043A \U0001F600");
    EXPECT_EQ(CoTaskMemLiveBlocks(), base + 2);
    CoTaskMemFreeAndNil(a);
    EXPECT_EQ(a, nullptr);
    CoTaskMemFreeAndNil(ru);
    CoTaskMemFreeAndNil(ru);  // already null: nothing
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);
}

TEST(TaskMemory, OutOfMemoryTexts) {
    const size_t base = CoTaskMemLiveBlocks();
    ScopedAllocLimit cap(6);
    char16_t* ok = StrToCoTaskMemW("ab");  // 3 units, 6 bytes: fits
    ASSERT_NE(ok, nullptr);
    CoTaskMemFreeAndNil(ok);
    try {
        StrToCoTaskMemW("abc");
        FAIL() << "no exception";
    } catch (const EOutOfMemory& e) {
        EXPECT_STREQ(e.what(), "CoTaskMemAlloc 9BEF1527-22CC-45D1-920D-D329E5CDC4CB L=4");
    }
    try {
        CoTaskMemAllocZero(100);
        FAIL() << "no exception";
    } catch (const EOutOfMemory& e) {
        EXPECT_STREQ(e.what(), "CoTaskMemAlloc cb=100");
    }
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);
}

TEST(TaskMemory, AllocZeroAndRealloc) {
    const size_t base = CoTaskMemLiveBlocks();
    auto* p = static_cast<unsigned char*>(CoTaskMemAllocZero(64));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 0xAB, 64);
    p = static_cast<unsigned char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[63], 0xAB);
    EXPECT_EQ(CoTaskMemLiveBlocks(), base + 1);
    {
        ScopedAllocLimit cap(8192);
        EXPECT_EQ(CoTaskMemRealloc(p, 8193), nullptr);  // fails, p stays valid
        EXPECT_EQ(p[0], 0xAB);
    }
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);

    void* q = CoTaskMemRealloc(nullptr, 16);  // allocates
    ASSERT_NE(q, nullptr);
    void* z = CoTaskMemAlloc(0);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(CoTaskMemLiveBlocks(), base + 2);
    CoTaskMemFree(z);
    CoTaskMemFreeAndNil(q);
    CoTaskMemFree(nullptr);
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);
}

TEST(TaskMemory, CountIsExactUnderConcurrency) {
    const size_t base = CoTaskMemLiveBlocks();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                void* p = CoTaskMemAllocZero(16 + size_t(i % 7));
                p = CoTaskMemRealloc(p, 64);
                CoTaskMemFreeAndNil(p);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(CoTaskMemLiveBlocks(), base);
}
