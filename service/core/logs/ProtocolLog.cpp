#include "service/core/logs/ProtocolLog.h"

#include <cxxabi.h>
#include <algorithm>
#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/logfile/logfile.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "service/core/logs/ParameterText.h"

namespace drv {

namespace {

constexpr size_t kMaxLine = 255;
constexpr size_t kMaxArgsText = 255;
constexpr int kGenerations = 5;

// Settings are written by InitProtocol before any thread logs and read afterwards.
std::atomic<int> g_threshold{4};
std::atomic<uint64_t> g_file_limit{kProtocolFileLimit};
std::mutex g_settings_mutex;
std::string g_folder;

// The global log and the lock that keeps its lines whole. The mutex outlives everything so
// that logging during or after shutdown stays harmless.
std::mutex g_global_mutex;
TTxtProt* g_global = nullptr;
std::atomic<bool> g_active{false};
std::atomic<ProtocolHookProc> g_hook{nullptr};

std::string BuildLine(std::string_view text, int level) {
    std::string line;
    if (level == PL_EXTERNAL)
        line = "ext ";
    else if (level == PL_CRITICAL)
        line = "cri ";
    line += plat::FormatTimeHMS(plat::NowLocal());
    line += ' ';
    // Room for the prefix, the time and CR LF; the text is cut at a character boundary.
    size_t room = kMaxLine - 2 - line.size();
    line += plat::Utf8Truncate(text, room);
    line += "\r\n";
    return line;
}

void CallHook(const std::string& text, int level) {
    if (ProtocolHookProc hook = g_hook.load()) {
        try {
            hook(text, level);
        } catch (...) {
            // A failing hook must not break the caller's logging.
        }
    }
}

}  // namespace

void SetProtocolHook(ProtocolHookProc hook) {
    g_hook.store(hook);
}

int ProtocolThreshold() {
    return g_threshold.load();
}

std::string ProtocolFolder() {
    std::lock_guard<std::mutex> lk(g_settings_mutex);
    return g_folder;
}

std::string ReadSettingValue(std::string_view settings, std::string_view key) {
    return GetParamValue(key, settings);
}

std::string ReadSettingValue(std::string_view settings, std::string_view key, size_t max_len) {
    return GetParamValue(key, settings, max_len);
}

void InitProtocol(const std::string& key_path, const std::string& value_name) {
    std::lock_guard<std::mutex> glk(g_global_mutex);
    if (g_active.load()) return;
    int threshold = 4;
    std::string folder;
    std::string settings;
    long rc = plat::reg::ReadString(plat::reg::Hive::LocalMachine, key_path, value_name, settings);
    if (rc == plat::ERROR_SUCCESS || rc == plat::ERROR_FILE_NOT_FOUND) {
        bool key_opened = rc == plat::ERROR_SUCCESS ||
                          plat::reg::KeyExists(plat::reg::Hive::LocalMachine, key_path);
        if (key_opened) {
            std::string level = GetParamValue("PROTOCOL", settings);
            if (level.size() == 1) {
                switch (level[0]) {
                    case '1':
                        threshold = 3;
                        break;
                    case '2':
                        threshold = 2;
                        break;
                    case '3':
                        threshold = 1;
                        break;
                    case '4':
                        threshold = 0;
                        break;
                    default:
                        break;
                }
            }
            // A path may be longer than the other settings' 20 characters.
            std::string path = GetParamValue("PROTOCOLPATH", settings, std::string::npos);
            if (path.empty()) path = "C:\\";
            folder = plat::MapWindowsPath(path);
            if (folder.back() != '/') folder += '/';
        }
    } else {
        std::fprintf(stderr, "NorvaltDrv: cannot read %s\\%s (registry error %ld); logging off\n",
                     key_path.c_str(), value_name.c_str(), rc);
    }
    if (threshold < 4 && !plat::MakeLogFolder(folder))
        std::fprintf(stderr, "NorvaltDrv: cannot create the log folder %s\n", folder.c_str());
    {
        std::lock_guard<std::mutex> lk(g_settings_mutex);
        g_folder = folder;
    }
    g_threshold.store(threshold);
    g_global = new TTxtProt("NorvaltDrvCOM");
    g_active.store(true);
}

// decisions CORE-4
void DoneProtocol() {
    std::lock_guard<std::mutex> glk(g_global_mutex);
    g_active.store(false);
    delete g_global;
    g_global = nullptr;
}

void SetProtocolFileLimit(uint64_t bytes) {
    g_file_limit.store(bytes);
}

// --- TTxtProt ---------------------------------------------------------------

TTxtProt::TTxtProt(std::string stem) : stem_(std::move(stem)) {
    Open();
}

TTxtProt::~TTxtProt() {
    SummariseRepeats();
    Close();
}

void TTxtProt::RotateFiles(const std::string& base, int n) {
    // Only the unbroken run of generations from n on moves up; a missing one ends it.
    auto names = plat::LogGenerationNames(base, kGenerations);
    plat::RotateLogGenerations(std::span(names).subspan(n - 1), plat::LogGenerationGap::StopShift);
}

void TTxtProt::Open() {
    int threshold = g_threshold.load();
    if (threshold >= 4) return;
    std::string base = ProtocolFolder() + stem_ + ".LG";
    RotateFiles(base, 1);
    file_name_ = base + "1";
    fd_ = plat::OpenLogFile(file_name_);
    if (fd_ < 0) {
        std::fprintf(stderr, "NorvaltDrv: cannot create the log file %s\n", file_name_.c_str());
        return;
    }
    std::string header = plat::FormatDateDMY_HMS(plat::NowLocal()) + " " +
                         std::to_string(threshold) + " " + std::to_string(plat::CurrentThreadId()) +
                         "\r\n";
    plat::WriteLogLine(fd_, header);
    size_ = header.size();
}

void TTxtProt::Close() {
    plat::CloseLogFile(fd_);
}

// decisions CORE-58
void TTxtProt::Write(std::string_view text, int level, std::string_view key) {
    if (level < g_threshold.load() || fd_ < 0) return;
    const uint32_t now = plat::GetTickCount();
    if (!repeats_.empty() && plat::TickDiff(now, window_start_) >= kRepeatWindowMs)
        SummariseRepeats();
    if (!key.empty()) {
        if (repeats_.empty()) window_start_ = now;
        Repeat* r = nullptr;
        for (Repeat& e : repeats_)
            if (e.key == key) r = &e;
        if (!r && repeats_.size() < kRepeatKeys)
            r = &repeats_.emplace_back(Repeat{std::string(key)});
        if (r && r->written >= kRepeatBurst) {
            if (r->counted++ == 0) {
                r->since = plat::FormatTimeHMS(plat::NowLocal());
                r->level = level;
            }
            r->level = std::max(r->level, level);
            return;
        }
        if (r) ++r->written;
    }
    Put(text, level);
}

void TTxtProt::SummariseRepeats() {
    std::vector<Repeat> done;
    done.swap(repeats_);
    for (const Repeat& r : done)
        if (r.counted != 0 && fd_ >= 0)
            Put(r.key + " ... repeated " + std::to_string(r.counted) + " times since " + r.since,
                r.level);
}

void TTxtProt::Put(std::string_view text, int level) {
    std::string line = BuildLine(text, level);
    // Generations shift by size as well as at each start, so no log grows without bound.
    if (size_ + line.size() > g_file_limit.load()) {
        Close();
        Open();
        if (fd_ < 0) return;
    }
    // Errors are ignored: a log must never stop its caller.
    if (plat::WriteLogLine(fd_, line)) size_ += line.size();
}

void TTxtProt::Log(std::string_view text, int level, std::string_view key) {
    CallHook(std::string(text), level);
    Write(text, level, key);
}

// --- the global log ---------------------------------------------------------

void WriteProtocolLine(std::string_view text, int level, std::string_view key) {
    if (!g_active.load()) return;
    std::string full = std::to_string(plat::CurrentThreadId()) + ":" + std::string(text);
    {
        std::lock_guard<std::mutex> lk(g_global_mutex);
        try {
            if (g_global) g_global->Write(full, level, key);
        } catch (...) {
        }
    }
    CallHook(full, level);
}

std::string VariantsToText(Values values) {
    std::string out;
    try {
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) out += ' ';
            const plat::Variant& v = values[i];
            switch (v.vt) {
                case plat::VT_EMPTY:
                case plat::VT_I1:
                case plat::VT_UI1:
                case plat::VT_I2:
                case plat::VT_UI2:
                case plat::VT_I4:
                case plat::VT_UI4:
                case plat::VT_I8:
                case plat::VT_UI8:
                case plat::VT_INT:
                case plat::VT_UINT:
                case plat::VT_R4:
                case plat::VT_R8:
                case plat::VT_CY:
                case plat::VT_BOOL:
                case plat::VT_DATE: {
                    plat::Variant s;
                    plat::HRESULT hr =
                        plat::VariantChangeTypeEx(s, v, plat::LOCALE_EN_US, 0, plat::VT_BSTR);
                    if (plat::Failed(hr)) {
                        char buf[16];
                        std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(hr));
                        throw std::runtime_error(std::string("conversion failed ") + buf);
                    }
                    out += plat::WideToUtf8(s.bstrVal);
                    break;
                }
                case plat::VT_BSTR:
                    out += plat::WideToUtf8(v.bstrVal);
                    break;
                default:
                    out += "<unsupp variant>";
                    break;
            }
        }
    } catch (const std::exception& e) {
        return "Fmt error:" + std::string(e.what()) + " Result:" + out;
    }
    return out;
}

std::string FormatArgs(std::string_view text, Values values) {
    return std::string(text) + " " + VariantsToText(values);
}

void ProtocolArgs(std::string_view text, Values values, int level, std::string_view key) {
    std::string s = FormatArgs(text, values);
    WriteProtocolLine(plat::Utf8Truncate(s, kMaxArgsText), level, key);
}

void ProtocolArgs(std::string_view text, std::initializer_list<plat::Variant> values, int level,
                  std::string_view key) {
    ProtocolArgs(text, Values(values.begin(), values.size()), level, key);
}

void ProtocolValues(Values values, int level) {
    std::string s = VariantsToText(values);
    WriteProtocolLine(plat::Utf8Truncate(s, kMaxArgsText), level);
}

std::string ExceptionClassName(const std::exception& e) {
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> dem(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && dem ? dem.get() : mangled;
    size_t colon = name.rfind("::");
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

void ProtocolException(const std::exception& e, std::string_view tag) {
    WriteProtocolLine(std::string(tag) + " " + ExceptionClassName(e) + " " + e.what(), PL_CRITICAL);
}

void ProtocolExceptionArgs(const std::exception& e, std::string_view tag, Values values) {
    ProtocolException(e, FormatArgs(tag, values));
}

void ProtocolExceptionArgs(const std::exception& e, std::string_view tag,
                           std::initializer_list<plat::Variant> values) {
    ProtocolExceptionArgs(e, tag, Values(values.begin(), values.size()));
}

void ProtocolCurrentException(std::string_view tag) {
    try {
        throw;
    } catch (const std::exception& e) {
        ProtocolException(e, tag);
    } catch (...) {
        WriteProtocolLine(std::string(tag) + " unknown exception", PL_CRITICAL);
    }
}

// --- SafeFormat ---------------------------------------------------------------

namespace {

struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool IsIntegral(plat::VARTYPE vt) {
    switch (vt) {
        case plat::VT_I1:
        case plat::VT_UI1:
        case plat::VT_I2:
        case plat::VT_UI2:
        case plat::VT_I4:
        case plat::VT_UI4:
        case plat::VT_I8:
        case plat::VT_UI8:
        case plat::VT_INT:
        case plat::VT_UINT:
        case plat::VT_BOOL:
        case plat::VT_ERROR:
            return true;
        default:
            return false;
    }
}

int64_t AsInt64(const plat::Variant& v) {
    switch (v.vt) {
        case plat::VT_I1:
            return v.cVal;
        case plat::VT_UI1:
            return v.bVal;
        case plat::VT_I2:
            return v.iVal;
        case plat::VT_UI2:
            return v.uiVal;
        case plat::VT_I4:
        case plat::VT_INT:
        case plat::VT_ERROR:
            return v.lVal;
        case plat::VT_UI4:
        case plat::VT_UINT:
            return v.ulVal;
        case plat::VT_I8:
            return v.llVal;
        case plat::VT_UI8:
            return static_cast<int64_t>(v.ullVal);
        case plat::VT_BOOL:
            return v.boolVal;
        default:
            return 0;
    }
}

}  // namespace

std::string SafeFormat(std::string_view pattern, Values values) {
    std::string out;
    try {
        size_t arg = 0;
        for (size_t i = 0; i < pattern.size(); ++i) {
            char c = pattern[i];
            if (c != '%') {
                out += c;
                continue;
            }
            size_t start = i++;
            if (i < pattern.size() && pattern[i] == '%') {
                out += '%';
                continue;
            }
            std::string fmt = "%";
            while (i < pattern.size() &&
                   std::string_view("-+ #0").find(pattern[i]) != std::string_view::npos)
                fmt += pattern[i++];
            while (i < pattern.size() &&
                   (std::isdigit(static_cast<unsigned char>(pattern[i])) || pattern[i] == '.'))
                fmt += pattern[i++];
            if (fmt.size() > 24) throw FormatError("Format specifier too long");
            if (i >= pattern.size())
                throw FormatError("Format '" + std::string(pattern.substr(start)) + "' invalid");
            char conv = pattern[i];
            if (arg >= values.size())
                throw FormatError("Format '" + std::string(pattern) +
                                  "' invalid or incompatible with argument");
            const plat::Variant& v = values[arg++];
            char buf[512];
            switch (conv) {
                case 'd':
                case 'i':
                case 'u':
                case 'x':
                case 'X': {
                    if (!IsIntegral(v.vt))
                        throw FormatError("Format '" + std::string(pattern) +
                                          "' invalid or incompatible with argument");
                    int64_t n = AsInt64(v);
                    if (conv == 'x' || conv == 'X') {
                        uint64_t u = v.vt == plat::VT_I8 || v.vt == plat::VT_UI8
                                         ? static_cast<uint64_t>(n)
                                         : static_cast<uint32_t>(n);
                        std::snprintf(buf, sizeof buf, (fmt + "ll" + conv).c_str(),
                                      static_cast<unsigned long long>(u));
                    } else if (conv == 'u') {
                        std::snprintf(buf, sizeof buf, (fmt + "llu").c_str(),
                                      static_cast<unsigned long long>(n));
                    } else {
                        std::snprintf(buf, sizeof buf, (fmt + "lld").c_str(),
                                      static_cast<long long>(n));
                    }
                    out += buf;
                    break;
                }
                case 'f':
                case 'g':
                case 'e':
                case 'G':
                case 'E': {
                    plat::Variant d;
                    if (plat::Failed(
                            plat::VariantChangeTypeEx(d, v, plat::LOCALE_EN_US, 0, plat::VT_R8)) ||
                        v.vt == plat::VT_BSTR)
                        throw FormatError("Format '" + std::string(pattern) +
                                          "' invalid or incompatible with argument");
                    // snprintf follows the C locale, which this process never changes from "C".
                    std::snprintf(buf, sizeof buf, (fmt + conv).c_str(), d.dblVal);
                    out += buf;
                    break;
                }
                case 's': {
                    if (v.vt == plat::VT_BSTR) {
                        out += plat::WideToUtf8(v.bstrVal);
                    } else {
                        out += VariantsToText(Values(&v, 1));
                    }
                    break;
                }
                case 'c': {
                    if (!IsIntegral(v.vt))
                        throw FormatError("Format '" + std::string(pattern) +
                                          "' invalid or incompatible with argument");
                    out += static_cast<char>(AsInt64(v));
                    break;
                }
                default:
                    throw FormatError("Format '" + std::string(pattern) +
                                      "' invalid or incompatible with argument");
            }
        }
    } catch (const std::exception& e) {
        return "Fmt error:" + std::string(e.what()) + " Str:" + std::string(pattern);
    }
    return out;
}

std::string SafeFormat(std::string_view pattern, std::initializer_list<plat::Variant> values) {
    return SafeFormat(pattern, Values(values.begin(), values.size()));
}

}  // namespace drv
