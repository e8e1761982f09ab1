// Text protocol (log) files: the global log "NorvaltDrvCOM" and one file per native port.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/variant.h"

namespace drv {

enum ProtocolLevel : int { PL_DETAIL = 0, PL_INFO = 1, PL_EXTERNAL = 2, PL_CRITICAL = 3 };

// Receives every line given to the global log and to a port log through TTxtProt::Log.
using ProtocolHookProc = void (*)(const std::string& text, int level);
void SetProtocolHook(ProtocolHookProc hook);

// Reads PROTOCOL and PROTOCOLPATH from the string value under HKLM and opens the global log.
void InitProtocol(const std::string& key_path, const std::string& value_name);
// Closes the global log. Logging afterwards is harmless: lines are dropped.
void DoneProtocol();

// Current threshold (0..3 write, 4 off) and folder (ends with '/'; empty when never read).
int ProtocolThreshold();
std::string ProtocolFolder();

// A log file that reaches this size moves on to the next generation (so a log holds at most
// five times as much); tests lower it.
// decisions CORE-5
inline constexpr uint64_t kProtocolFileLimit = uint64_t{8} << 20;
void SetProtocolFileLimit(uint64_t bytes);

// A line that a dead line or one client can repeat without end (the probe of a silent address,
// a flood of calls) is written with a key: its call site's text. Of the lines of one key, the
// first kRepeatBurst of each minute (monotonic clock) are written and the rest counted; the
// count is written once the minute is over and when the log closes, as
// "<key> ... repeated N times since hh:mm:ss".
// decisions CORE-58
inline constexpr int kRepeatBurst = 10;
inline constexpr uint32_t kRepeatWindowMs = 60000;
inline constexpr size_t kRepeatKeys = 64;

class TTxtProt {
  public:
    explicit TTxtProt(std::string stem);
    ~TTxtProt();
    TTxtProt(const TTxtProt&) = delete;
    TTxtProt& operator=(const TTxtProt&) = delete;

    // One line, no thread id; with a key, counted as above.
    void Write(std::string_view text, int level, std::string_view key = {});
    // Hook first (every line, counted or not), then Write.
    void Log(std::string_view text, int level, std::string_view key = {});
    const std::string& Stem() const { return stem_; }
    // Full path of the current generation (empty with logging off).
    const std::string& FileName() const { return file_name_; }

  private:
    void Open();
    void Close();
    static void RotateFiles(const std::string& base, int n);
    void Put(std::string_view text, int level);
    void SummariseRepeats();

    struct Repeat {
        std::string key;
        int written = 0;       // this minute
        uint64_t counted = 0;  // not written this minute
        int level = 0;         // the highest counted
        std::string since;     // local time of the first counted
    };

    std::string stem_;
    std::string file_name_;
    int fd_ = -1;
    uint64_t size_ = 0;  // bytes written to the current generation
    std::vector<Repeat> repeats_;
    uint32_t window_start_ = 0;  // tick of the minute's first keyed line
};

using Values = std::span<const plat::Variant>;

// `key`: see kRepeatBurst.
void WriteProtocolLine(std::string_view text, int level, std::string_view key = {});
void ProtocolArgs(std::string_view text, Values values, int level, std::string_view key = {});
void ProtocolArgs(std::string_view text, std::initializer_list<plat::Variant> values, int level,
                  std::string_view key = {});
void ProtocolValues(Values values, int level);
void ProtocolException(const std::exception& e, std::string_view tag);
void ProtocolExceptionArgs(const std::exception& e, std::string_view tag, Values values);
void ProtocolExceptionArgs(const std::exception& e, std::string_view tag,
                           std::initializer_list<plat::Variant> values);
// Logs whatever is in flight inside a catch block (std::exception or anything else).
void ProtocolCurrentException(std::string_view tag);

std::string FormatArgs(std::string_view text, Values values);
std::string VariantsToText(Values values);
// printf-like: %d %i %u %x %X %s %f %g %e %c %%, with flags, width and precision.
std::string SafeFormat(std::string_view pattern, Values values);
std::string SafeFormat(std::string_view pattern, std::initializer_list<plat::Variant> values);
// The "Parameters" lookup (GetParamValue) under the log's own name.
std::string ReadSettingValue(std::string_view settings, std::string_view key);
std::string ReadSettingValue(std::string_view settings, std::string_view key, size_t max_len);

// Class name of an exception as the log shows it (demangled, without namespaces).
std::string ExceptionClassName(const std::exception& e);

}  // namespace drv
