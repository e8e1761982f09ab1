#include "service/core/ports/Parameters.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/registry/registry.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

const char* const kDrvKey = "\\Software\\Norvalt\\Drv";
const char* const kTransportSubKey = "Transport";

namespace {

std::mutex g_cache_mutex;
std::string g_cache;

std::atomic<ParametersChangedFn> g_params_changed{nullptr};

void ParametersChanged() {
    if (ParametersChangedFn fn = g_params_changed.load()) fn();
}

bool StartsWith(const std::string& upper, std::string_view prefix) {
    return upper.rfind(prefix, 0) == 0;
}

}  // namespace

// --- the string ------------------------------------------------------------------------------

long ReadParameters(std::string& out) {
    out.clear();
    long rc = plat::reg::ReadString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", out);
    if (rc == plat::ERROR_FILE_NOT_FOUND) rc = plat::ERROR_SUCCESS;  // no string: all defaults
    if (rc != plat::ERROR_SUCCESS) {
        out.clear();
        WriteProtocolLine("Parameters cannot be read, registry error " + std::to_string(rc),
                          PL_CRITICAL);
    }
    return rc;
}

std::string ReadParameters() {
    std::string s;
    ReadParameters(s);
    return s;
}

long WriteParameters(const std::string& text) {
    // Stored first: the cache (what the ports run) never holds a string the next start loses.
    long rc = plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", text);
    if (rc != plat::ERROR_SUCCESS) {
        WriteProtocolLine("Parameters cannot be written, registry error " + std::to_string(rc),
                          PL_CRITICAL);
        return rc;
    }
    std::lock_guard<std::mutex> lk(g_cache_mutex);
    g_cache = text;
    return rc;
}

long ReloadParameters() {
    std::string s;
    // A string that cannot be read keeps the one the ports run.
    if (long rc = ReadParameters(s); rc != plat::ERROR_SUCCESS) return rc;
    {
        std::lock_guard<std::mutex> lk(g_cache_mutex);
        g_cache = std::move(s);
    }
    ParametersChanged();
    return plat::ERROR_SUCCESS;
}

std::string CachedParameters() {
    std::lock_guard<std::mutex> lk(g_cache_mutex);
    return g_cache;
}

std::string GetParam(std::string_view key, bool reread) {
    if (!reread) {
        std::lock_guard<std::mutex> lk(g_cache_mutex);
        return GetParamValue(key, g_cache);
    }
    std::string stored;
    if (ReadParameters(stored) != plat::ERROR_SUCCESS) return GetParam(key, false);
    std::string fresh = GetParamValue(key, stored);
    // decisions CORE-30
    SetParamValue(key, fresh);
    return fresh;
}

void SetParamValue(std::string_view key, std::string_view value) {
    {
        std::lock_guard<std::mutex> lk(g_cache_mutex);
        g_cache = WithParamValue(std::move(g_cache), key, value);
    }
    ParametersChanged();
}

std::string PortDescription(int com_number) {
    std::string n = std::to_string(com_number);
    std::string d =
        GetParam("DISABLEALLPORTS") + " " + GetParam("COM" + n) + " " + GetParam("SHIFT" + n);
    return std::string(plat::Utf8Truncate(d, kMaxParamValue));
}

long InstallParameters(const std::vector<std::string>& args) {
    std::string collected;
    for (const std::string& a : args) {
        std::string up = plat::AsciiUpper(a);
        for (const char* prefix : {"/PORT=", "/PROTOCOL=", "/DEFSHIFT=", "/SHIFT", "/COM"}) {
            if (StartsWith(up, prefix)) {
                collected += up.substr(1, kMaxParamValue) + " ";
                break;
            }
        }
    }
    if (collected.empty()) return plat::ERROR_SUCCESS;
    collected.pop_back();
    return WriteParameters(collected);
}

void UninstallParameters() {
    // The transport's settings (who may connect) belong to the platform, not to the service's
    // records: an uninstall and install, the usual upgrade, must not reset them.
    const long rc = plat::reg::Update(plat::reg::Hive::LocalMachine, [](plat::reg::Transaction& t) {
        std::vector<std::string> keys;
        long r = t.EnumSubKeys(kDrvKey, keys);
        if (r == plat::ERROR_FILE_NOT_FOUND) return plat::ERROR_SUCCESS;
        if (r != plat::ERROR_SUCCESS) return r;
        const bool keep = std::find_if(keys.begin(), keys.end(), [](const std::string& k) {
                              return plat::EqualsNoCase(k, kTransportSubKey);
                          }) != keys.end();
        if (!keep) return t.DeleteKeyTree(kDrvKey);
        for (const std::string& k : keys)
            if (!plat::EqualsNoCase(k, kTransportSubKey))
                if ((r = t.DeleteKeyTree(std::string(kDrvKey) + "\\" + k)) != plat::ERROR_SUCCESS)
                    return r;
        std::vector<plat::reg::ValueInfo> values;
        if ((r = t.EnumValues(kDrvKey, values)) != plat::ERROR_SUCCESS) return r;
        for (const auto& v : values)
            if ((r = t.DeleteValue(kDrvKey, v.name)) != plat::ERROR_SUCCESS) return r;
        return plat::ERROR_SUCCESS;
    });
    if (rc != plat::ERROR_SUCCESS && rc != plat::ERROR_FILE_NOT_FOUND)
        WriteProtocolLine(
            "cannot delete " + std::string(kDrvKey) + ", registry error " + std::to_string(rc),
            PL_CRITICAL);
}

void CacheParameters(const std::string& text) {
    {
        std::lock_guard<std::mutex> lk(g_cache_mutex);
        g_cache = text;
    }
    ParametersChanged();
}

void SetParametersChangedHook(ParametersChangedFn fn) {
    g_params_changed.store(fn);
}

}  // namespace drv
