#include "service/core/items/DeviceItems.h"

#include <charconv>

#include "fieldbus/core/HostApi.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {
std::atomic<bool> g_restrict_users{false};
alignas(4) std::atomic<int32_t> g_search_mode{0};
static_assert(std::atomic<int32_t>::is_always_lock_free && sizeof(std::atomic<int32_t>) == 4,
              "the library reads the search flag as a plain 32-bit cell");
}  // namespace

void SetStationsExistProbe(StationsExistFn fn) {
    CoreHooks().stations_exist.store(fn);
}
bool StationsExist() {
    StationsExistFn fn = CoreHooks().stations_exist.load();
    return fn && fn();
}
void SetPostItemAddedHook(PostItemAddedFn fn) {
    CoreHooks().post_item_added.store(fn);
}
std::atomic<bool>& RestrictUsers() {
    return g_restrict_users;
}

void TCustomLeafItem::AfterAddToNS() {
    if (PostItemAddedFn fn = CoreHooks().post_item_added.load()) {
        std::string full = FullName();
        if (full.rfind("Post", 0) == 0) fn(full);
    }
}

void TCustomLeafItem::Changed(const Variant& value) {
    TLeafItem::Changed(value);
    // decisions CORE-14
    if (!IsPostState()) return;
    Variant state;
    if (plat::Failed(plat::VariantChangeType(state, value, 0, plat::VT_I4))) return;
    // Under this leaf's lock: the Enable item's lock and the post queue wait for AfterSample.
    enable_check_.store(state.lVal);
}

void TCustomLeafItem::AfterSample() {
    const int32_t state = enable_check_.exchange(kNoCheck);
    if (state == kNoCheck) return;
    if (CheckPostEnabled(PostNumber(), state) != 0)
        Write(Variant::I4(80), 9999, 0, plat::LOCALE_EN_US);
}

int CheckPostEnabled(int post_number, int requested_state) {
    if (requested_state != 1 && requested_state != 7) return 0;
    int32_t id = FindLeafID("Post" + std::to_string(post_number) + ".Enable");
    if (id == -1) return 0;
    ComPtr<TLeafItem> enable = GetItemAs<TLeafItem>(id);
    if (!enable) return 0;
    Variant v = enable->PeekValue();
    Variant b;
    if (v.vt == plat::VT_EMPTY || plat::Failed(plat::VariantChangeType(b, v, 0, plat::VT_BOOL)))
        return 0;
    if (b.boolVal) return 0;
    WriteProtocolLine("3260834D-6E21-4AB2-A48F-34A5094F6ACE", PL_INFO);
    return mb::HostCode(mb::WriteResult::kRefused);
}

int PostOfName(const std::string& name) {
    if (name.size() <= 4 || name.compare(0, 4, "Post") != 0) return 0;
    int n = 0;
    auto r = std::from_chars(name.data() + 4, name.data() + name.size(), n);
    return r.ec == std::errc() && r.ptr == name.data() + name.size() ? n : 0;
}

TDrvBranchItem::TDrvBranchItem(const std::string& name) : TItem(name), post_(PostOfName(name)) {}

std::atomic<int32_t>& SearchMode() {
    return g_search_mode;
}

}  // namespace drv
