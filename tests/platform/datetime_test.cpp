#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "tests/support/TimeHelpers.h"

using namespace plat;
using testsupport::ScopedTz;
using testsupport::St;

namespace {

DATE D(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return testsupport::MakeDate(y, mo, d, h, mi, s, ms);
}

FILETIME Ft(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(St(y, mo, d, h, mi, s), ft));
    return ft;
}

std::string Show(const SYSTEMTIME& st) {
    char b[64];
    std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return b;
}

// Sets TZ for one test and restores the previous zone.
bool HaveZone(const char* name) {
    return std::filesystem::exists(std::string("/usr/share/zoneinfo/") + name);
}

// New York rules, from the database when present, else the POSIX form of the same rules.
const char* NewYork() {
    return HaveZone("America/New_York") ? "America/New_York" : "EST5EDT,M3.2.0,M11.1.0";
}

}  // namespace

TEST(OleDate, KnownAnchors) {
    EXPECT_EQ(D(1899, 12, 30), 0.0);
    EXPECT_EQ(D(1900, 1, 1), 2.0);
    EXPECT_EQ(D(2000, 1, 1), 36526.0);
    EXPECT_EQ(D(2024, 3, 5, 18), 45356.75);
    EXPECT_EQ(D(100, 1, 1), kDateMin);
    EXPECT_EQ(D(9999, 12, 31), 2958465.0);
    // Before the epoch the fraction is still the time of day.
    EXPECT_EQ(D(1899, 12, 29, 6), -1.25);
    EXPECT_EQ(D(1899, 12, 28, 18), -2.75);

    SYSTEMTIME st;
    ASSERT_TRUE(DateToSystemTime(-1.25, st));
    EXPECT_EQ(Show(st), "1899-12-29 06:00:00.000");
    ASSERT_TRUE(DateToSystemTime(-0.5, st));  // day 0, noon
    EXPECT_EQ(Show(st), "1899-12-30 12:00:00.000");
    ASSERT_TRUE(DateToSystemTime(45356.75, st));
    EXPECT_EQ(Show(st), "2024-03-05 18:00:00.000");
    EXPECT_EQ(st.wDayOfWeek, 2);  // Tuesday
    ASSERT_TRUE(DateToSystemTime(D(1899, 12, 30), st));
    EXPECT_EQ(st.wDayOfWeek, 6);  // Saturday
}

TEST(OleDate, MillisecondsRoundTrip) {
    for (DATE d : {D(2024, 3, 5, 12, 34, 56, 789), D(1601, 1, 1, 0, 0, 0, 1),
                   D(1899, 12, 29, 23, 59, 59, 999), D(1500, 6, 15, 8, 0, 0, 500),
                   D(9999, 12, 31, 23, 59, 59, 999)}) {
        SYSTEMTIME st;
        ASSERT_TRUE(DateToSystemTime(d, st));
        DATE back;
        ASSERT_TRUE(SystemTimeToDate(st, back));
        EXPECT_EQ(back, d) << Show(st);
    }
    SYSTEMTIME st;
    // 0.4 ms rounds down, 0.6 up (into the next second).
    ASSERT_TRUE(DateToSystemTime(D(2024, 1, 1, 10, 0, 0) + 0.0004 / 86400.0, st));
    EXPECT_EQ(Show(st), "2024-01-01 10:00:00.000");
    ASSERT_TRUE(DateToSystemTime(D(2024, 1, 1, 10, 0, 0) - 0.0004 / 86400.0, st));
    EXPECT_EQ(Show(st), "2024-01-01 10:00:00.000");
}

TEST(OleDate, InvalidInput) {
    DATE d = 123;
    SYSTEMTIME st = St(2000, 1, 1);
    EXPECT_FALSE(SystemTimeToDate(St(2023, 2, 29), d));
    EXPECT_FALSE(SystemTimeToDate(St(1900, 2, 29), d));
    EXPECT_TRUE(SystemTimeToDate(St(2000, 2, 29), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 13, 1), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 0, 1), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 4, 31), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 1, 1, 24), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 1, 1, 0, 60), d));
    EXPECT_FALSE(SystemTimeToDate(St(2024, 1, 1, 0, 0, 0, 1000), d));
    EXPECT_FALSE(SystemTimeToDate(St(99, 12, 31), d));
    EXPECT_FALSE(SystemTimeToDate(St(10000, 1, 1), d));
    EXPECT_FALSE(DateToSystemTime(std::nan(""), st));
    EXPECT_FALSE(DateToSystemTime(kDateEnd, st));
    EXPECT_FALSE(DateToSystemTime(kDateMin - 1.0, st));
    EXPECT_EQ(Show(st), "2000-01-01 00:00:00.000") << "output touched on failure";
}

TEST(FileTime, Anchors) {
    EXPECT_EQ(FileTimeToU64(Ft(1601, 1, 1)), 0u);
    EXPECT_EQ(FileTimeToU64(Ft(1970, 1, 1)), 116444736000000000ull);
    const FILETIME ft = U64ToFileTime(0x0123456789ABCDEFull);
    EXPECT_EQ(ft.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(ft.dwHighDateTime, 0x01234567u);
    EXPECT_EQ(FileTimeToU64(ft), 0x0123456789ABCDEFull);

    SYSTEMTIME st;
    // 100 ns units below a millisecond are dropped.
    ASSERT_TRUE(FileTimeToSystemTime(U64ToFileTime(116444736000000000ull + 12345678), st));
    EXPECT_EQ(Show(st), "1970-01-01 00:00:01.234");
    FILETIME out{};
    EXPECT_FALSE(SystemTimeToFileTime(St(1600, 12, 31, 23, 59, 59), out));
    EXPECT_FALSE(FileTimeToSystemTime(U64ToFileTime(1ull << 63), st));
}

TEST(TimeZone, NewYorkFollowsDaylightSaving) {
    ScopedTz tz(NewYork());
    FILETIME ft;
    ASSERT_TRUE(LocalDateToFileTime(D(2024, 7, 1, 12), ft));
    EXPECT_EQ(ft, Ft(2024, 7, 1, 16));  // EDT, UTC-4
    ASSERT_TRUE(LocalDateToFileTime(D(2024, 1, 15, 12, 0, 0, 250), ft));
    EXPECT_EQ(FileTimeToU64(ft), FileTimeToU64(Ft(2024, 1, 15, 17)) + 2500000);  // EST, UTC-5

    DATE local;
    ASSERT_TRUE(FileTimeToLocalDate(Ft(2024, 3, 10, 6, 59, 59), local));
    EXPECT_EQ(local, D(2024, 3, 10, 1, 59, 59));
    ASSERT_TRUE(FileTimeToLocalDate(Ft(2024, 3, 10, 7), local));
    EXPECT_EQ(local, D(2024, 3, 10, 3));  // 02:00 EST became 03:00 EDT
    // The repeated hour of November: both instants show 01:30.
    ASSERT_TRUE(FileTimeToLocalDate(Ft(2024, 11, 3, 5, 30), local));
    EXPECT_EQ(local, D(2024, 11, 3, 1, 30));
    ASSERT_TRUE(FileTimeToLocalDate(Ft(2024, 11, 3, 6, 30), local));
    EXPECT_EQ(local, D(2024, 11, 3, 1, 30));

    // 02:30 on the spring-forward day does not exist; it still maps into the gap's hour.
    ASSERT_TRUE(LocalDateToFileTime(D(2024, 3, 10, 2, 30), ft));
    EXPECT_TRUE(ft == Ft(2024, 3, 10, 6, 30) || ft == Ft(2024, 3, 10, 7, 30));

    SYSTEMTIME utc, back;
    ASSERT_TRUE(LocalToUtc(St(2024, 12, 31, 22, 0, 0, 5), utc));
    EXPECT_EQ(Show(utc), "2025-01-01 03:00:00.005");
    ASSERT_TRUE(UtcToLocal(utc, back));
    EXPECT_EQ(Show(back), "2024-12-31 22:00:00.005");
}

TEST(TimeZone, RoundTripsAcrossTwoYears) {
    for (const char* zone : {NewYork(), "Europe/Moscow", "UTC0"}) {
        if (std::string(zone) == "Europe/Moscow" && !HaveZone(zone)) continue;
        ScopedTz tz(zone);
        SCOPED_TRACE(zone);
        const uint64_t start = FileTimeToU64(Ft(2010, 1, 1));
        const uint64_t step = 37ull * 60 * 10000000 + 1234567;  // 37 min and a bit
        int ambiguous = 0;
        for (uint64_t t = start; t < start + 2ull * 366 * 86400 * 10000000; t += step) {
            const FILETIME ft = U64ToFileTime(t);
            DATE local;
            ASSERT_TRUE(FileTimeToLocalDate(ft, local));
            FILETIME back;
            ASSERT_TRUE(LocalDateToFileTime(local, back));
            const int64_t diff = int64_t(FileTimeToU64(back)) - int64_t(t - t % 10000);
            if (diff != 0) {
                // Only a local time that occurs twice may come back as its twin.
                ++ambiguous;
                EXPECT_TRUE(diff == 36000000000 || diff == -36000000000) << diff;
            }
        }
        EXPECT_LE(ambiguous, 8);
    }
}

TEST(TimeZone, MoscowHistory) {
    if (!HaveZone("Europe/Moscow")) GTEST_SKIP() << "no time-zone database";
    ScopedTz tz("Europe/Moscow");
    FILETIME ft;
    ASSERT_TRUE(LocalDateToFileTime(D(2010, 7, 1, 12), ft));
    EXPECT_EQ(ft, Ft(2010, 7, 1, 8));  // summer time, UTC+4
    ASSERT_TRUE(LocalDateToFileTime(D(2010, 1, 1, 12), ft));
    EXPECT_EQ(ft, Ft(2010, 1, 1, 9));  // UTC+3
    ASSERT_TRUE(LocalDateToFileTime(D(2013, 1, 1, 12), ft));
    EXPECT_EQ(ft, Ft(2013, 1, 1, 8));  // permanent UTC+4 of 2011-2014
    ASSERT_TRUE(LocalDateToFileTime(D(2020, 7, 1, 12), ft));
    EXPECT_EQ(ft, Ft(2020, 7, 1, 9));
}

TEST(Now, ComesFromTheProcessClock) {
    ScopedTz tz("UTC0");
    ScopedFakeClock clock;
    const FILETIME now = NowUtcFileTime();
    EXPECT_EQ(FileTimeToU64(now), clock->UtcNow100ns());
    DATE expect;
    ASSERT_TRUE(FileTimeToLocalDate(now, expect));
    EXPECT_EQ(NowLocal(), expect);
    clock->Advance(86400 * 1000u);
    EXPECT_NEAR(NowLocal() - expect, 1.0, 1e-9);
}

TEST(Now, LocalFollowsTheZone) {
    ScopedTz tz("UTC-3");  // POSIX sign: three hours east
    ScopedFakeClock clock;
    DATE utc;
    {
        ScopedTz utcZone("UTC0");
        utc = NowLocal();
    }
    EXPECT_NEAR(NowLocal() - utc, 3.0 / 24, 1e-9);
}

TEST(LogFormats, TwoDigitFieldsMillisecondsDropped) {
    const DATE d = D(2024, 3, 5, 7, 8, 9, 999);
    EXPECT_EQ(FormatTimeHMS(d), "07:08:09");
    EXPECT_EQ(FormatDateDMY_HMS(d), "05.03.2024 07:08:09");
    EXPECT_EQ(FormatDateDMY_HMS(D(999, 1, 2, 23, 0, 0)), "02.01.0999 23:00:00");
    EXPECT_EQ(FormatTimeHMS(std::nan("")), "??:??:??");
    EXPECT_EQ(FormatDateDMY_HMS(1e9), "??.??.???? ??:??:??");
}

TEST(DateText, ParseForms) {
    const DATE d = D(2024, 3, 5, 7, 8, 0);
    EXPECT_EQ(ParseDateText(" 5.3.2024 7:08 ", LOCALE_RU_RU), d);
    EXPECT_EQ(ParseDateText("05.03.2024 07:08:00", LOCALE_RU_RU), d);
    EXPECT_EQ(ParseDateText("3/5/2024 7:08 am", LOCALE_EN_US), d);
    EXPECT_EQ(ParseDateText("3/5/2024 12:00:00 AM", LOCALE_EN_US), D(2024, 3, 5));
    EXPECT_EQ(ParseDateText("3/5/2024 12:00 PM", LOCALE_EN_US), D(2024, 3, 5, 12));
    EXPECT_EQ(ParseDateText("31.12.1999", LOCALE_RU_RU), D(1999, 12, 31));
    EXPECT_EQ(ParseDateText("18:00:00", LOCALE_RU_RU), 0.75);
    EXPECT_EQ(ParseDateText("05.03.2024 24:00:00", LOCALE_RU_RU), std::nullopt);
    EXPECT_EQ(ParseDateText("30.02.2024", LOCALE_RU_RU), std::nullopt);
    EXPECT_EQ(ParseDateText("3/5/2024 0:30 PM", LOCALE_EN_US), std::nullopt);
    EXPECT_EQ(ParseDateText("3/5/2024 x", LOCALE_EN_US), std::nullopt);
    EXPECT_EQ(ParseDateText("123.1.2024", LOCALE_RU_RU), std::nullopt);
    EXPECT_EQ(ParseDateText("", LOCALE_EN_US), std::nullopt);
    EXPECT_EQ(ParseDateText("abc", LOCALE_EN_US), std::nullopt);
    EXPECT_EQ(FormatDateText(std::nan(""), LOCALE_EN_US), std::nullopt);
    // Half a second rounds up; the last second of the range stays in range.
    EXPECT_EQ(FormatDateText(D(2024, 3, 5, 7, 8, 9, 500), LOCALE_RU_RU), "05.03.2024 07:08:10");
    EXPECT_EQ(FormatDateText(D(9999, 12, 31, 23, 59, 59, 700), LOCALE_RU_RU),
              "31.12.9999 23:59:59");
}
