#include "platform/sysroot/sysroot.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/types/wstr.h"

namespace plat {

namespace {
std::mutex g_mutex;
std::string g_override;
std::atomic<void (*)()> g_refuse{nullptr};
}  // namespace

std::string SystemRoot() {
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        if (!g_override.empty()) return g_override;
    }
    if (auto* report = g_refuse.load()) {
        report();
        return "/proc/norvalt-refused-root";
    }
    const char* env = std::getenv("NORVALT_ROOT");
    if (env && *env) return env;
    return kDefaultSystemRoot;
}

void SetSystemRoot(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_override = path;
}

void RefuseDefaultRoot(void (*report)()) {
    g_refuse.store(report);
}

std::string MapWindowsPath(std::string_view path) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    std::string root = SystemRoot();
    if (!root.empty() && root.back() == '/') root.pop_back();
    std::string rest;
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        rest = std::string(1, path[0]);
        path.remove_prefix(2);
        if (path.empty() || (path.front() != '\\' && path.front() != '/')) rest += '/';
    }
    rest += path;
    for (auto& c : rest)
        if (c == '\\') c = '/';
    rest = AsciiLower(rest);
    // Collapse doubled separators so "C:\\" and "C:\" map alike.
    std::string out;
    for (char c : rest)
        if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
    if (!out.empty() && out.front() == '/') out.erase(0, 1);
    return root + "/" + out;
}

bool EnsureDirectory(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

}  // namespace plat
