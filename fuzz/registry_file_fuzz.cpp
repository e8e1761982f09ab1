// libFuzzer target: arbitrary bytes as a hive file on disk, read through the registry's public
// calls. A file the registry accepts must survive being rewritten by it: after one more value
// is written, every key and value read before reads back the same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"

namespace {

namespace reg = plat::reg;
constexpr auto kHive = reg::Hive::LocalMachine;
constexpr std::string_view kProbeKey = "FuzzProbe\\Written";

std::string g_root;

void RemoveRoot() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

struct Entry {
    std::string key;
    reg::ValueInfo value;
    bool operator==(const Entry& o) const {
        return key == o.key && value.name == o.value.name && value.value == o.value.value;
    }
};

// Every key (as a path) and value below `key`; false when a call on an enumerated name fails.
bool Walk(const std::string& key, int depth, std::vector<Entry>& out) {
    if (depth > 64) return true;
    std::vector<reg::ValueInfo> values;
    if (reg::EnumValues(kHive, key, values) != plat::ERROR_SUCCESS) return false;
    out.push_back({key, {}});
    for (auto& v : values) {
        reg::Value q;
        if (reg::QueryValue(kHive, key, v.name, q) != plat::ERROR_SUCCESS || !(q == v.value))
            return false;
        out.push_back({key, std::move(v)});
    }
    std::vector<std::string> subs;
    if (reg::EnumSubKeys(kHive, key, subs) != plat::ERROR_SUCCESS) return false;
    for (const auto& s : subs) {
        const std::string path = key.empty() ? s : key + "\\" + s;
        if (!reg::KeyExists(kHive, path)) return false;
        if (!Walk(path, depth + 1, out)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = "/dev/shm/norvalt-regfuzz-" + std::to_string(::getpid());
    if (!std::filesystem::exists("/dev/shm"))
        g_root = "/tmp/norvalt-regfuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(g_root + "/registry");
    std::atexit(RemoveRoot);
    plat::SetSystemRoot(g_root);
    reg::SetErrorReporter([](const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = reg::HiveFile(kHive);
    {
        // A new file each time (new inode), as the registry itself replaces it.
        const std::string tmp = file + ".in";
        FILE* f = std::fopen(tmp.c_str(), "wb");
        if (!f) std::abort();
        if (size && std::fwrite(data, 1, size, f) != size) std::abort();
        std::fclose(f);
        std::filesystem::rename(tmp, file);
    }
    std::vector<Entry> before;
    if (!Walk("", 0, before)) return 0;  // a damaged file: every call refuses it, nothing more

    // Write below a key the file does not have, then take it away again: the rest must be
    // exactly what the file held.
    if (reg::KeyExists(kHive, "FuzzProbe")) return 0;
    if (reg::WriteDword(kHive, kProbeKey, "v", 7) != plat::ERROR_SUCCESS) __builtin_trap();
    if (reg::DeleteKeyTree(kHive, "FuzzProbe") != plat::ERROR_SUCCESS) __builtin_trap();
    std::vector<Entry> after;
    if (!Walk("", 0, after)) __builtin_trap();
    if (after != before) __builtin_trap();
    return 0;
}
