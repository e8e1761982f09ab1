// Text logs of the field-bus library: "ModbusDevice.lg" for the library and one per bus thread.
// Switched on and placed by the service's "Parameters" string (PROTOCOL, PROTOCOLPATH).
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define MB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define MB_PRINTF(fmt, args)
#endif

namespace mb {

// Registry place of the service's settings string.
inline constexpr const char* kSettingsKey = "SOFTWARE\\Norvalt\\Drv";
inline constexpr const char* kSettingsValue = "Parameters";

// What the settings string says about the library's logs.
struct LogSettings {
    bool enabled = false;  // the text PROTOCOL occurs at all
    int level = 0;         // n of the first PROTOCOL=n, n in 1..4, else 0
    std::string folder;    // PROTOCOLPATH as written ("c:\" when absent)
};

// Words are found case-insensitively. Logging is on when PROTOCOL occurs anywhere; the level is
// taken only where the word first occurs, so "PROTOCOLPATH=x PROTOCOL=3" gives level 0.
// PROTOCOLPATH is a key at the start of the string or after a blank; values run to the next
// blank and keep their case.
LogSettings ParseLogSettings(std::string_view parameters);

class CLogFile {
  public:
    // Reads the settings and, when logging is on, rotates "<folder>/<file_name>1".."5" and
    // starts generation 1 with the date and time.
    explicit CLogFile(std::string_view file_name);
    virtual ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // printf formats; a message is cut to 1024 bytes at a character boundary. True when the
    // whole line reached the file (or the log is suspended); false when filtered or failed.
    virtual bool Info(const char* fmt, ...) MB_PRINTF(2, 3);     // level > 2
    virtual bool Warning(const char* fmt, ...) MB_PRINTF(2, 3);  // level > 1
    virtual bool Trace(const char* fmt, ...) MB_PRINTF(2, 3);    // level > 3
    virtual bool Error(const char* fmt, ...) MB_PRINTF(2, 3);    // level > 0
    virtual bool Always(const char* fmt, ...) MB_PRINTF(2, 3);   // whenever the file is open

    bool IsEnabled() const { return enabled_; }
    int Level() const { return level_; }
    // Lets callers skip building costly texts (frame dumps) nobody will see.
    bool TraceOn() const { return fd_ >= 0 && level_ > 3; }
    // While set, writes are skipped and count as done.
    void SetSuspended(bool on) { suspended_.store(on ? 1 : 0); }
    uint32_t StartTick() const { return start_tick_; }
    // "<folder>/<file_name>" without the generation digit; empty with logging off.
    const std::string& Path() const { return path_; }

  private:
    bool Write(bool wanted, const char* kind, const char* fmt, va_list args);

    uint32_t start_tick_ = 0;
    bool enabled_ = false;
    int level_ = 0;
    int fd_ = -1;
    std::atomic<int32_t> suspended_{0};
    std::string path_;
    std::atomic<int> writers_{0};
};

}  // namespace mb
