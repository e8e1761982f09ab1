// Dates and times in the platform's forms: OLE DATE (local, days since 1899-12-30 as a double),
// FILETIME (UTC, 100 ns since 1601-01-01) and the broken-down SYSTEMTIME. Local time is the
// process's time zone (TZ honoured; callers that change TZ call tzset()).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types/oletypes.h"

namespace plat {

struct FILETIME {
    uint32_t dwLowDateTime = 0;
    uint32_t dwHighDateTime = 0;
    bool operator==(const FILETIME&) const = default;
};

constexpr uint64_t FileTimeToU64(const FILETIME& ft) {
    return uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}
constexpr FILETIME U64ToFileTime(uint64_t v) {
    return FILETIME{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
}

struct SYSTEMTIME {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;      // 1..12
    uint16_t wDayOfWeek = 0;  // 0 = Sunday; filled on output, ignored on input
    uint16_t wDay = 0;        // 1..31
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
};

// Valid OLE dates: kDateMin - 1 < d < kDateEnd, i.e. 0100-01-01 (day kDateMin; below it the
// fraction is that day's time) up to 9999-12-31 23:59:59.999.
constexpr DATE kDateMin = -657434.0;
constexpr DATE kDateEnd = 2958466.0;

// DATE <-> broken-down time, to the nearest millisecond. Negative dates follow the OLE rule:
// the integer part counts days, the fraction is the time of day whatever the sign
// (-1.25 is 1899-12-29 06:00). Out-of-range input gives false and leaves the output alone.
bool DateToSystemTime(DATE d, SYSTEMTIME& st);
bool SystemTimeToDate(const SYSTEMTIME& st, DATE& d);

// FILETIME <-> broken-down time (same frame, no zone shift). Years before 1601 and FILETIMEs
// at or above 2^63 give false.
bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st);
bool SystemTimeToFileTime(const SYSTEMTIME& st, FILETIME& ft);

// Zone shifts with the rules in force at that date (DST included). A local time that does not
// exist (spring-forward gap) or exists twice (fall-back hour) is resolved as mktime does.
bool LocalToUtc(const SYSTEMTIME& local, SYSTEMTIME& utc);
bool UtcToLocal(const SYSTEMTIME& utc, SYSTEMTIME& local);

// Local DATE <-> UTC FILETIME in one step.
bool LocalDateToFileTime(DATE local, FILETIME& utc);
bool FileTimeToLocalDate(const FILETIME& utc, DATE& local);

// Now, from the process clock (SysClock), so tests can fake it.
FILETIME NowUtcFileTime();
DATE NowLocal();

// Log formats: "HH:MM:SS" and "DD.MM.YYYY HH:MM:SS" (milliseconds dropped, not rounded).
// An invalid date gives "??:??:??" / "??.??.???? ??:??:??".
std::string FormatTimeHMS(DATE d);
std::string FormatDateDMY_HMS(DATE d);

// Text form of a DATE as VariantChangeTypeEx gives it: Russian locales
// "DD.MM.YYYY HH:MM:SS", others "M/D/YYYY h:mm:ss AM/PM". The date alone when the time is
// midnight, the time alone on day 0. Rounded to the second. nullopt for an invalid date.
std::optional<std::string> FormatDateText(DATE d, LCID lcid);
// Reads the forms FormatDateText writes (date, time or both; seconds and AM/PM optional;
// either order of the locale's date fields is not guessed: the locale decides).
std::optional<DATE> ParseDateText(std::string_view text, LCID lcid);

}  // namespace plat
