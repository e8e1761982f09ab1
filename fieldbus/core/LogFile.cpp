#include "fieldbus/core/LogFile.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/logfile/logfile.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "platform/types/wstr.h"

namespace mb {

namespace {

constexpr int kGenerations = 5;
constexpr size_t kMaxMessage = 1024;

// The service's reading of "Parameters", kept here because the library does not link the
// service: KEY= counts only at the start or after a blank, keys compare without case, the first
// of a repeated key counts, and the value runs to the next blank and keeps its case.
std::string_view FindKey(std::string_view s, std::string_view key) {
    const std::string upper = plat::AsciiUpper(s);
    const std::string pattern = plat::AsciiUpper(key) + "=";
    for (size_t pos = upper.find(pattern); pos != std::string::npos;
         pos = upper.find(pattern, pos + 1)) {
        if (pos != 0 && s[pos - 1] != ' ') continue;
        std::string_view v = s.substr(pos + pattern.size());
        return v.substr(0, v.find(' '));
    }
    return {};
}

// The local date and time as the process's locale writes them.
std::string Header() {
    plat::SYSTEMTIME st;
    if (!plat::DateToSystemTime(plat::NowLocal(), st)) return "??.??.????  ??:??:??\r\n";
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_wday = st.wDayOfWeek;
    tm.tm_isdst = -1;
    char buf[128];
    // decisions FB-10
    const size_t n = std::strftime(buf, sizeof buf, "%x  %X", &tm);
    return std::string(buf, n) + "\r\n";
}

// One-time reports of a log that cannot work; logging then stays off.
void Report(const std::string& text) {
    std::fprintf(stderr, "modbus: %s\n", text.c_str());
}

}  // namespace

LogSettings ParseLogSettings(std::string_view parameters) {
    LogSettings s;
    // The library reads its level where the word first occurs, unlike the service's own logs,
    // which look the key up: a PROTOCOLPATH standing before PROTOCOL=n gives level 0 here.
    // A first occurrence that is not the PROTOCOL key itself (XPROTOCOL=3) also gives 0.
    // decisions FB-9
    const std::string upper = plat::AsciiUpper(parameters);
    const size_t first = upper.find("PROTOCOL");
    s.enabled = first != std::string::npos;
    if (s.enabled && (first == 0 || upper[first - 1] == ' ') && first + 9 < upper.size() &&
        upper[first + 8] == '=' && upper[first + 9] >= '1' && upper[first + 9] <= '4')
        s.level = upper[first + 9] - '0';
    std::string_view path = FindKey(parameters, "PROTOCOLPATH");
    s.folder = path.empty() ? std::string("c:\\") : std::string(path);
    return s;
}

CLogFile::CLogFile(std::string_view file_name) {
    std::string parameters;
    long rc = plat::reg::ReadString(plat::reg::Hive::LocalMachine, kSettingsKey, kSettingsValue,
                                    parameters);
    if (rc != plat::ERROR_SUCCESS) {
        if (rc != plat::ERROR_FILE_NOT_FOUND)
            Report("cannot read the settings (registry error " + std::to_string(rc) + ")");
        start_tick_ = plat::GetTickCount();
        return;
    }
    LogSettings settings = ParseLogSettings(parameters);
    if (settings.enabled) {
        std::string folder = plat::MapWindowsPath(settings.folder);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!plat::MakeLogFolder(folder)) {
            Report("cannot create the log folder " + folder);
        } else {
            path_ = folder + "/" + std::string(file_name);
            // Every generation that exists moves up one, gaps or not.
            plat::RotateLogGenerations(plat::LogGenerationNames(path_, kGenerations),
                                       plat::LogGenerationGap::SkipIt);
            std::string first = path_ + "1";
            fd_ = plat::OpenLogFile(first);
            if (fd_ < 0) {
                Report("cannot create the log file " + first);
                path_.clear();
            } else {
                enabled_ = true;
                level_ = settings.level;
                plat::WriteLogLine(fd_, Header());
            }
        }
    }
    start_tick_ = plat::GetTickCount();
}

CLogFile::~CLogFile() {
    if (fd_ < 0) return;
    // Give lines that are being written a moment to land (the file has no lock).
    for (int waited = 0; writers_.load() > 0 && waited < 200; ++waited) plat::Sleep(1);
    // A copy: fd_ is left as it is for a writer that may still be looking at it.
    int fd = fd_;
    plat::CloseLogFile(fd);
}

bool CLogFile::Write(bool wanted, const char* kind, const char* fmt, va_list args) {
    if (!wanted || fd_ < 0) return false;
    if (suspended_.load() != 0) return true;
    writers_.fetch_add(1);
    // Room for the character that straddles the limit, so the cut can see it whole.
    char message[kMaxMessage + 4];
    int n = std::vsnprintf(message, sizeof message, fmt, args);
    std::string_view text =
        n < 0 ? std::string_view()
              : std::string_view(message, std::min<size_t>(n, sizeof message - 1));
    text = plat::Utf8Truncate(text, kMaxMessage);

    plat::SYSTEMTIME st;
    if (!plat::DateToSystemTime(plat::NowLocal(), st)) st = {};
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u:%03u", st.wHour, st.wMinute, st.wSecond,
                  st.wMilliseconds);
    std::string line;
    line.reserve(text.size() + 32);
    line += stamp;
    line += ' ';
    line += kind;
    line += text;
    line += "\r\n";
    // One append per line keeps concurrent lines whole.
    bool whole = plat::WriteLogLine(fd_, line);
    writers_.fetch_sub(1);
    return whole;
}

#define MB_LOG_WRITER(name, wanted, kind)         \
    bool CLogFile::name(const char* fmt, ...) {   \
        va_list args;                             \
        va_start(args, fmt);                      \
        bool ok = Write(wanted, kind, fmt, args); \
        va_end(args);                             \
        return ok;                                \
    }

MB_LOG_WRITER(Info, level_ > 2, "")
MB_LOG_WRITER(Warning, level_ > 1, "WARNING:")
MB_LOG_WRITER(Trace, level_ > 3, "")
MB_LOG_WRITER(Error, level_ > 0, "ERROR:")
MB_LOG_WRITER(Always, true, "")

#undef MB_LOG_WRITER

}  // namespace mb
