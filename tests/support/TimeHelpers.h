// Time zones and calendar values for tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/types/datetime.h"

namespace testsupport {

// Sets TZ for a scope (and tzset), restoring the old value after.
class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

  private:
    std::optional<std::string> old_;
};

inline plat::SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    plat::SYSTEMTIME st;
    st.wYear = uint16_t(y);
    st.wMonth = uint16_t(mo);
    st.wDay = uint16_t(d);
    st.wHour = uint16_t(h);
    st.wMinute = uint16_t(mi);
    st.wSecond = uint16_t(s);
    st.wMilliseconds = uint16_t(ms);
    return st;
}

inline plat::DATE MakeDate(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    plat::DATE out = 0;
    EXPECT_TRUE(plat::SystemTimeToDate(St(y, mo, d, h, mi, s, ms), out));
    return out;
}

}  // namespace testsupport
