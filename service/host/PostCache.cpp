#include "service/host/PostCache.h"

#include <atomic>
#include <map>
#include <unordered_map>
#include <utility>

#include "service/core/base/SyncLock.h"
#include "service/core/posts/PostItems.h"
#include "service/core/posts/PostVariables.h"

namespace drv {

namespace {

// --- post cache -------------------------------------------------------------------------------

struct PostCache {
    TSyncLock lock{"INorv_PS"};
    bool built = false;
    int32_t version = 0;
    std::map<int, TPostRecord> posts;
    std::unordered_map<int32_t, std::pair<int, int>> by_id;
};

PostCache& Cache() {
    static PostCache* c = new PostCache;  // outlives every client thread
    return *c;
}

std::atomic<bool> g_cache_dirty{true};

}  // namespace

int32_t CurrentAddrSpaceVersion() {
    ComPtr<TLeafItem> ver = AddrSpaceVerItem();
    if (!ver) return -1;
    plat::Variant v = ver->PeekValue();
    return v.vt == plat::VT_I4 ? v.lVal : 0;
}

namespace {

// Caller holds the cache's lock.
void RebuildLocked(PostCache& c) {
    const bool dirty = g_cache_dirty.exchange(false);
    // Read before the scan: a change during the scan moves it again and the next look-up
    // builds once more.
    const int32_t version = CurrentAddrSpaceVersion();
    if (c.built && !dirty && version == c.version) return;
    c.posts.clear();
    c.by_id.clear();
    for (const auto& [name, id] : ListItemNames()) {
        TPostItemName p = ParsePostItemName(name);
        if (p.post < 1) continue;
        ComPtr<TItem> item = GetItem(id);
        if (!item || !item->IsLeaf()) continue;
        TPostRecord& r = c.posts[p.post];
        const size_t slot = static_cast<size_t>(p.index - kFirstPostIndex);
        r.present[slot] = 1;
        r.ids[slot] = id;
    }
    for (auto& [post, r] : c.posts) {
        r.count = 0;
        for (int i = 0; i <= kLastPostIndex; ++i) {
            if (!r.Has(i)) continue;
            r.codes[static_cast<size_t>(r.count++)] = i;
            c.by_id[r.ItemID(i)] = {post, i};
        }
        if (r.Has(kFirstPostIndex)) c.by_id[r.ItemID(kFirstPostIndex)] = {post, kFirstPostIndex};
    }
    c.version = version;
    c.built = true;
}

}  // namespace

// --- post cache -------------------------------------------------------------------------------

bool GetPostRecord(int post, TPostRecord& out) {
    PostCache& c = Cache();
    WriteGuard g(c.lock);
    RebuildLocked(c);
    auto it = c.posts.find(post);
    if (it == c.posts.end()) return false;
    out = it->second;
    return true;
}

int32_t PostItemID(int post, int index) {
    PostCache& c = Cache();
    WriteGuard g(c.lock);
    RebuildLocked(c);
    auto it = c.posts.find(post);
    return it == c.posts.end() ? -1 : it->second.ItemID(index);
}

ComPtr<TLeafItem> PostItem(int post, int index) {
    const int32_t id = PostItemID(post, index);
    return id < 0 ? ComPtr<TLeafItem>() : GetItemAs<TLeafItem>(id);
}

std::vector<int> PostsWithState() {
    std::vector<int> out;
    PostCache& c = Cache();
    WriteGuard g(c.lock);
    RebuildLocked(c);
    for (const auto& [post, r] : c.posts)
        if (r.Has(kFirstPostIndex)) out.push_back(post);
    return out;
}

bool FindPostOfItem(int32_t id, int& post, int& index) {
    PostCache& c = Cache();
    WriteGuard g(c.lock);
    RebuildLocked(c);
    auto it = c.by_id.find(id);
    if (it == c.by_id.end()) return false;
    post = it->second.first;
    index = it->second.second;
    return true;
}

void InvalidatePostCache() {
    g_cache_dirty.store(true);
}

void ClearPostCache() {
    PostCache& c = Cache();
    WriteGuard g(c.lock);
    c.posts.clear();
    c.by_id.clear();
    c.built = false;
}

// --- values -------------------------------------------------------------------------------------

tlb::TState ReadStateValue(TLeafItem& item) {
    tlb::TState st{tlb::csUnknown, 0};
    DATE time = 0;
    bool good = false;
    plat::Variant v = item.GetValueAndTime(time, good);
    if (v.vt == plat::VT_EMPTY) {
        if (auto* state = dynamic_cast<TStateItem*>(&item)) {
            int32_t s = tlb::csUnknown;
            state->GetStateAndTime(s, time);
            st.Value = static_cast<tlb::TStateEnum>(s);
            st.TimeStamp = time;
        }
        return st;
    }
    plat::Variant i4;
    if (plat::Succeeded(plat::VariantChangeType(i4, v, 0, plat::VT_I4)))
        st.Value = static_cast<tlb::TStateEnum>(i4.lVal);
    st.TimeStamp = time;
    return st;
}

HRESULT ReadVariableValue(TLeafItem& item, tlb::TVariableValue& out) {
    out = {};
    DATE time = 0;
    bool good = false;
    plat::Variant v = item.GetValueAndTime(time, good);
    out.TimeStamp = time;
    switch (v.vt) {
        case plat::VT_EMPTY:
            return plat::S_OK;
        case plat::VT_BOOL:
            out.Value.int64 = v.boolVal ? kFixedOne : 0;
            return plat::S_OK;
        default:
            break;
    }
    plat::Variant cy;
    HRESULT hr = plat::VariantChangeType(cy, v, 0, plat::VT_CY);
    if (plat::Failed(hr)) return hr;
    out.Value.int64 = cy.cyVal;
    return plat::S_OK;
}

}  // namespace drv
