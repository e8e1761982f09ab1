#include "platform/com/clipboard.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/types/hresult.h"
#include "platform/types/wstr.h"

namespace plat {
namespace {

// One value per format: the name as first registered, its number as a dword.
constexpr std::string_view kKey = "\\System\\Clipboard Formats";

// Pairs seen in this process, per store (a test may move the system root); a pair never
// changes once registered, so nothing here goes stale.
struct Known {
    std::map<std::string, uint16_t> by_name;  // ASCII-lowered UTF-8 name
    std::map<uint16_t, std::u16string> by_number;
};
std::mutex g_mutex;
std::map<std::string, Known> g_known;

Known& KnownHere() {
    return g_known[reg::StoreFolder()];
}

void Remember(const std::string& utf8, uint16_t number) {
    std::lock_guard lk(g_mutex);
    Known& k = KnownHere();
    k.by_name[AsciiLower(utf8)] = number;
    k.by_number[number] = Utf8ToWide(utf8);
}

bool Cached(const std::string& utf8, uint16_t& number) {
    std::lock_guard lk(g_mutex);
    Known& k = KnownHere();
    auto it = k.by_name.find(AsciiLower(utf8));
    if (it == k.by_name.end()) return false;
    number = it->second;
    return true;
}

bool Usable(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxClipboardFormatName &&
           name.find(u'\0') == std::u16string_view::npos;
}

// Loads every registered pair into this process's memory.
bool LoadAll() {
    std::vector<reg::ValueInfo> values;
    const long rc = reg::EnumValues(reg::Hive::LocalMachine, kKey, values);
    if (rc != ERROR_SUCCESS) return false;
    for (const auto& v : values)
        if (v.value.kind == reg::Kind::Dword && v.value.dword >= kFirstRegisteredFormat &&
            v.value.dword <= 0xFFFF)
            Remember(v.name, static_cast<uint16_t>(v.value.dword));
    return true;
}

}  // namespace

uint16_t FindClipboardFormat(std::u16string_view name) {
    if (!Usable(name)) return 0;
    const std::string utf8 = WideToUtf8(name);
    uint16_t number = 0;
    if (Cached(utf8, number)) return number;
    // Registered by another process since: read the store once.
    if (!LoadAll() || !Cached(utf8, number)) return 0;
    return number;
}

uint16_t RegisterClipboardFormat(std::u16string_view name) {
    if (!Usable(name)) {
        SetErrorText("clipboard format name empty or longer than 255 characters");
        return 0;
    }
    const std::string utf8 = WideToUtf8(name);
    uint16_t number = 0;
    if (Cached(utf8, number)) return number;
    // Look and add under the hive's lock, so two processes registering at once agree.
    std::string kept = utf8;
    const long rc = reg::Update(reg::Hive::LocalMachine, [&](reg::Transaction& t) -> long {
        std::vector<reg::ValueInfo> values;
        const long er = t.EnumValues(kKey, values);
        if (er != ERROR_SUCCESS && er != ERROR_FILE_NOT_FOUND) return er;
        uint32_t next = kFirstRegisteredFormat;
        for (const auto& v : values) {
            if (v.value.kind != reg::Kind::Dword) continue;
            if (EqualsNoCase(v.name, utf8)) {
                number = static_cast<uint16_t>(v.value.dword);
                kept = v.name;
                return ERROR_SUCCESS;
            }
            if (v.value.dword >= next) next = v.value.dword + 1;
        }
        if (next > 0xFFFF) return ERROR_NO_MORE_ITEMS;
        number = static_cast<uint16_t>(next);
        return t.WriteDword(kKey, utf8, next);
    });
    if (rc != ERROR_SUCCESS || number < kFirstRegisteredFormat) {
        SetErrorText("clipboard format \"" + utf8 + "\" not registered, registry error " +
                     std::to_string(rc));
        return 0;
    }
    Remember(kept, number);
    return number;
}

bool GetClipboardFormatName(uint16_t format, std::u16string& name) {
    if (format < kFirstRegisteredFormat) return false;
    for (int pass = 0; pass < 2; ++pass) {
        {
            std::lock_guard lk(g_mutex);
            Known& k = KnownHere();
            auto it = k.by_number.find(format);
            if (it != k.by_number.end()) {
                name = it->second;
                return true;
            }
        }
        // Registered by another process since: read the store once.
        if (pass == 0 && !LoadAll()) return false;
    }
    return false;
}

}  // namespace plat
