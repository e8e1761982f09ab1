#include "platform/types/datetime.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace plat {

namespace {

// The C library guards its zone data with a lock the thread checker cannot see; ours makes the
// serialisation visible and costs nothing that the library's lock did not already cost.
std::mutex& ZoneMutex() {
    static std::mutex m;
    return m;
}

// Everything below works on one linear form: milliseconds since 1899-12-30 00:00 in whatever
// frame (local or UTC) the caller is in.
constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kOleEpochUnixDays = -25569;       // 1899-12-30 relative to 1970-01-01
constexpr int64_t kFileTimeEpochOleDays = -109205;  // 1601-01-01 relative to 1899-12-30

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Proleptic Gregorian day count relative to 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(int64_t y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

const int64_t kMinDays = DaysFromCivil(100, 1, 1) - kOleEpochUnixDays;
const int64_t kEndDays = DaysFromCivil(10000, 1, 1) - kOleEpochUnixDays;

bool DateToLinear(DATE d, int64_t& ms) {
    if (!(d > kDateMin - 1.0 && d < kDateEnd)) return false;  // also rejects NaN
    if (d >= 0) {
        ms = std::llround(d * static_cast<double>(kMsPerDay));
    } else {
        const double days = std::trunc(d);
        const double frac = days - d;  // time of day, positive
        ms = static_cast<int64_t>(days) * kMsPerDay +
             std::llround(frac * static_cast<double>(kMsPerDay));
    }
    if (ms >= kEndDays * kMsPerDay) ms = kEndDays * kMsPerDay - 1;
    return true;
}

DATE LinearToDate(int64_t ms) {
    const int64_t days = FloorDiv(ms, kMsPerDay);
    const int64_t rem = ms - days * kMsPerDay;
    const double frac = static_cast<double>(rem) / static_cast<double>(kMsPerDay);
    return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

bool LinearInDateRange(int64_t ms) {
    return ms >= kMinDays * kMsPerDay && ms < kEndDays * kMsPerDay;
}

bool SystemTimeToLinear(const SYSTEMTIME& st, int64_t& ms) {
    if (st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999)
        return false;
    const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kOleEpochUnixDays;
    ms = days * kMsPerDay + ((st.wHour * 60 + st.wMinute) * 60 + st.wSecond) * 1000 +
         st.wMilliseconds;
    return true;
}

// Any year that fits SYSTEMTIME's 16 bits.
bool LinearToSystemTime(int64_t ms, SYSTEMTIME& st) {
    const int64_t days = FloorDiv(ms, kMsPerDay);
    int64_t rem = ms - days * kMsPerDay;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days + kOleEpochUnixDays, y, m, d);
    if (y < 1 || y > 65535) return false;
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(m);
    st.wDay = static_cast<uint16_t>(d);
    // 1970-01-01 was a Thursday.
    const int64_t fromSunday = days + kOleEpochUnixDays + 4;
    st.wDayOfWeek = static_cast<uint16_t>(fromSunday - FloorDiv(fromSunday, 7) * 7);
    st.wMilliseconds = static_cast<uint16_t>(rem % 1000);
    rem /= 1000;
    st.wSecond = static_cast<uint16_t>(rem % 60);
    rem /= 60;
    st.wMinute = static_cast<uint16_t>(rem % 60);
    st.wHour = static_cast<uint16_t>(rem / 60);
    return true;
}

bool FileTimeToLinear(const FILETIME& ft, int64_t& ms) {
    const uint64_t v = FileTimeToU64(ft);
    if (v >= (uint64_t(1) << 63)) return false;
    ms = static_cast<int64_t>(v / 10000) + kFileTimeEpochOleDays * kMsPerDay;
    return true;
}

bool LinearToFileTime(int64_t ms, FILETIME& ft) {
    const int64_t since1601 = ms - kFileTimeEpochOleDays * kMsPerDay;
    if (since1601 < 0 || since1601 > INT64_MAX / 10000) return false;
    ft = U64ToFileTime(static_cast<uint64_t>(since1601) * 10000);
    return true;
}

constexpr int64_t kOleEpochUnixSec = kOleEpochUnixDays * 86400;

bool UtcLinearToLocalUncached(int64_t utc, int64_t& local) {
    const int64_t sec = FloorDiv(utc, 1000);
    const time_t t = static_cast<time_t>(sec + kOleEpochUnixSec);
    struct tm tm {};
    {
        std::lock_guard<std::mutex> lk(ZoneMutex());
        if (!localtime_r(&t, &tm)) return false;
    }
    local = utc + static_cast<int64_t>(tm.tm_gmtoff) * 1000;
    return true;
}

bool LocalLinearToUtcUncached(int64_t local, int64_t& utc) {
    const int64_t sec = FloorDiv(local, 1000);
    const int64_t msRem = local - sec * 1000;
    const int64_t days = FloorDiv(sec, 86400);
    int64_t secOfDay = sec - days * 86400;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days + kOleEpochUnixDays, y, m, d);
    struct tm tm {};
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(m) - 1;
    tm.tm_mday = static_cast<int>(d);
    tm.tm_hour = static_cast<int>(secOfDay / 3600);
    tm.tm_min = static_cast<int>(secOfDay / 60 % 60);
    tm.tm_sec = static_cast<int>(secOfDay % 60);
    tm.tm_isdst = -1;
    errno = 0;
    time_t t;
    {
        std::lock_guard<std::mutex> lk(ZoneMutex());
        t = mktime(&tm);
    }
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    utc = (static_cast<int64_t>(t) - kOleEpochUnixSec) * 1000 + msRem;
    return true;
}

// Zone offsets change only at whole quarter hours, so one offset serves a whole
// quarter-hour block; asking the C library for every sample costs a lock and a zone lookup.
// The key includes the library's zone globals, which tzset() replaces when TZ changes.
// decisions PLAT-TYPE-1
struct OffsetCache {
    int64_t block = INT64_MIN;
    int64_t offset = 0;
    const char* name0 = nullptr;
    const char* name1 = nullptr;
    long zone = 0;
};

constexpr int64_t kBlockMs = 15 * 60 * 1000;

bool SameZone(const OffsetCache& c) {
    return c.name0 == tzname[0] && c.name1 == tzname[1] && c.zone == timezone;
}

void Remember(OffsetCache& c, int64_t block, int64_t offset) {
    c.block = block;
    c.offset = offset;
    c.name0 = tzname[0];
    c.name1 = tzname[1];
    c.zone = timezone;
}

bool UtcLinearToLocal(int64_t utc, int64_t& local) {
    thread_local OffsetCache cache;
    const int64_t block = FloorDiv(utc, kBlockMs);
    if (cache.block == block && SameZone(cache)) {
        local = utc + cache.offset;
        return true;
    }
    if (!UtcLinearToLocalUncached(utc, local)) return false;
    Remember(cache, block, local - utc);
    return true;
}

bool LocalLinearToUtc(int64_t local, int64_t& utc) {
    thread_local OffsetCache cache;
    const int64_t block = FloorDiv(local, kBlockMs);
    if (cache.block == block && SameZone(cache)) {
        utc = local - cache.offset;
        return true;
    }
    if (!LocalLinearToUtcUncached(local, utc)) return false;
    Remember(cache, block, local - utc);
    return true;
}

std::string Two(unsigned v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02u", v % 100);
    return b;
}

bool IsRussian(LCID lcid) {
    return (lcid & 0x3FF) == 0x19;
}

}  // namespace

bool DateToSystemTime(DATE d, SYSTEMTIME& st) {
    int64_t ms;
    return DateToLinear(d, ms) && LinearToSystemTime(ms, st);
}

bool SystemTimeToDate(const SYSTEMTIME& st, DATE& d) {
    int64_t ms;
    if (!SystemTimeToLinear(st, ms) || !LinearInDateRange(ms)) return false;
    d = LinearToDate(ms);
    return true;
}

bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st) {
    int64_t ms;
    return FileTimeToLinear(ft, ms) && LinearToSystemTime(ms, st);
}

bool SystemTimeToFileTime(const SYSTEMTIME& st, FILETIME& ft) {
    int64_t ms;
    return SystemTimeToLinear(st, ms) && LinearToFileTime(ms, ft);
}

bool LocalToUtc(const SYSTEMTIME& local, SYSTEMTIME& utc) {
    int64_t l, u;
    return SystemTimeToLinear(local, l) && LocalLinearToUtc(l, u) && LinearToSystemTime(u, utc);
}

bool UtcToLocal(const SYSTEMTIME& utc, SYSTEMTIME& local) {
    int64_t u, l;
    return SystemTimeToLinear(utc, u) && UtcLinearToLocal(u, l) && LinearToSystemTime(l, local);
}

bool LocalDateToFileTime(DATE local, FILETIME& utc) {
    int64_t l, u;
    return DateToLinear(local, l) && LocalLinearToUtc(l, u) && LinearToFileTime(u, utc);
}

bool FileTimeToLocalDate(const FILETIME& utc, DATE& local) {
    int64_t u, l;
    if (!FileTimeToLinear(utc, u) || !UtcLinearToLocal(u, l) || !LinearInDateRange(l)) return false;
    local = LinearToDate(l);
    return true;
}

FILETIME NowUtcFileTime() {
    return U64ToFileTime(SysClock().UtcNow100ns());
}

DATE NowLocal() {
    DATE d = 0;
    FileTimeToLocalDate(NowUtcFileTime(), d);
    return d;
}

std::string FormatTimeHMS(DATE d) {
    SYSTEMTIME st;
    if (!DateToSystemTime(d, st)) return "??:??:??";
    return Two(st.wHour) + ":" + Two(st.wMinute) + ":" + Two(st.wSecond);
}

std::string FormatDateDMY_HMS(DATE d) {
    SYSTEMTIME st;
    if (!DateToSystemTime(d, st)) return "??.??.???? ??:??:??";
    char b[64];
    std::snprintf(b, sizeof b, "%02u.%02u.%04u %02u:%02u:%02u", unsigned(st.wDay),
                  unsigned(st.wMonth), unsigned(st.wYear), unsigned(st.wHour), unsigned(st.wMinute),
                  unsigned(st.wSecond));
    return b;
}

std::optional<std::string> FormatDateText(DATE d, LCID lcid) {
    int64_t ms;
    if (!DateToLinear(d, ms)) return std::nullopt;
    ms = FloorDiv(ms + 500, 1000) * 1000;
    if (!LinearInDateRange(ms)) ms -= 1000;  // 23:59:59.5 on the last day stays on it
    SYSTEMTIME st;
    if (!LinearToSystemTime(ms, st)) return std::nullopt;
    const bool noDate = FloorDiv(ms, kMsPerDay) == 0;
    const bool noTime = !noDate && st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
    char date[64], time[64];
    if (IsRussian(lcid)) {
        std::snprintf(date, sizeof date, "%02u.%02u.%04u", unsigned(st.wDay), unsigned(st.wMonth),
                      unsigned(st.wYear));
        std::snprintf(time, sizeof time, "%02u:%02u:%02u", unsigned(st.wHour), unsigned(st.wMinute),
                      unsigned(st.wSecond));
    } else {
        std::snprintf(date, sizeof date, "%u/%u/%u", unsigned(st.wMonth), unsigned(st.wDay),
                      unsigned(st.wYear));
        const unsigned h12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        std::snprintf(time, sizeof time, "%u:%02u:%02u %s", h12, unsigned(st.wMinute),
                      unsigned(st.wSecond), st.wHour < 12 ? "AM" : "PM");
    }
    if (noDate) return std::string(time);
    if (noTime) return std::string(date);
    return std::string(date) + " " + time;
}

namespace {

struct Cursor {
    std::string_view s;
    size_t pos = 0;
    bool AtEnd() const { return pos >= s.size(); }
    char Peek() const { return AtEnd() ? '\0' : s[pos]; }
    void SkipBlanks() {
        while (!AtEnd() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    }
    bool Eat(char c) {
        if (Peek() != c) return false;
        ++pos;
        return true;
    }
    // 1 to maxDigits decimal digits.
    bool Number(unsigned maxDigits, unsigned& v) {
        size_t n = 0;
        v = 0;
        while (!AtEnd() && s[pos] >= '0' && s[pos] <= '9' && n < maxDigits) {
            v = v * 10 + unsigned(s[pos] - '0');
            ++pos;
            ++n;
        }
        return n > 0 && !(Peek() >= '0' && Peek() <= '9');
    }
};

bool ParseDatePart(Cursor& c, bool russian, SYSTEMTIME& st) {
    const char sep = russian ? '.' : '/';
    unsigned a, b, y;
    if (!c.Number(2, a) || !c.Eat(sep) || !c.Number(2, b) || !c.Eat(sep) || !c.Number(4, y))
        return false;
    st.wDay = static_cast<uint16_t>(russian ? a : b);
    st.wMonth = static_cast<uint16_t>(russian ? b : a);
    st.wYear = static_cast<uint16_t>(y);
    return true;
}

bool ParseTimePart(Cursor& c, SYSTEMTIME& st) {
    unsigned h, m, s = 0;
    if (!c.Number(2, h) || !c.Eat(':') || !c.Number(2, m)) return false;
    if (c.Eat(':') && !c.Number(2, s)) return false;
    c.SkipBlanks();
    if (c.pos + 2 <= c.s.size()) {
        const std::string_view t = c.s.substr(c.pos, 2);
        const bool am = EqualsNoCase(t, "AM"), pm = EqualsNoCase(t, "PM");
        if (am || pm) {
            if (h < 1 || h > 12) return false;
            h = h % 12 + (pm ? 12 : 0);
            c.pos += 2;
        }
    }
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(m);
    st.wSecond = static_cast<uint16_t>(s);
    return true;
}

}  // namespace

std::optional<DATE> ParseDateText(std::string_view text, LCID lcid) {
    Cursor c{text};
    SYSTEMTIME st;
    st.wYear = 1899;
    st.wMonth = 12;
    st.wDay = 30;
    c.SkipBlanks();
    const size_t start = c.pos;
    bool any = false;
    if (ParseDatePart(c, IsRussian(lcid), st)) {
        any = true;
        c.SkipBlanks();
    } else {
        c.pos = start;
        st.wYear = 1899;
        st.wMonth = 12;
        st.wDay = 30;
    }
    if (!c.AtEnd()) {
        if (!ParseTimePart(c, st)) return std::nullopt;
        any = true;
        c.SkipBlanks();
    }
    if (!any || !c.AtEnd()) return std::nullopt;
    DATE d;
    if (!SystemTimeToDate(st, d)) return std::nullopt;
    return d;
}

}  // namespace plat
