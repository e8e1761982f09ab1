#include "service/core/items/ItemTree.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

constexpr size_t kMaxName = 255;

// Names compare case-insensitively (ASCII), as clients expect of item ids.
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            unsigned char x = static_cast<unsigned char>(a[i]),
                          y = static_cast<unsigned char>(b[i]);
            if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

std::string CutName(const std::string& s) {
    return std::string(plat::Utf8Truncate(s, kMaxName));
}

}  // namespace

// Process-wide namespace state.
class NameSpaceImpl {
  public:
    std::atomic<bool> active{false};
    // Serialises structural changes (add, remove, branch creation).
    std::recursive_mutex structure;
    std::unique_ptr<TSafeIntfArray> table;
    TSyncLock names_lock;
    std::map<std::string, int32_t, NoCaseLess> names;
    // Names that left the namespace keep their id for when they come back.
    // decisions CORE-8
    std::map<std::string, int32_t, NoCaseLess> retired;
    std::atomic<int32_t> next_id{1};
    std::atomic<DATE> start_time{0};
    std::atomic<ItemFactory> branch_factory{&MakeBasicBranch};
    std::atomic<bool> fixed{false};
    std::atomic<bool> addr_space_saved{false};
    std::mutex system_mutex;
    ComPtr<TLeafItem> addr_space_ver;
    ComPtr<TLeafItem> last_critical;
    ComPtr<TLeafItem> last_external;

    static NameSpaceImpl& Get() {
        static NameSpaceImpl ns;
        return ns;
    }

    static void SetIds(TItem& item, int32_t id, int32_t parent, const std::string& full) {
        item.id_ = id;
        item.parent_id_ = parent;
        std::lock_guard<std::mutex> lk(item.name_mutex_);
        item.full_name_ = full;
    }
};

namespace {
NameSpaceImpl& NS() {
    return NameSpaceImpl::Get();
}

bool Wanted(int level) {
    return level >= 2 || level >= ProtocolThreshold();
}

void ProtocolHook(const std::string& text, int level) {
    if (level != PL_CRITICAL && level != PL_EXTERNAL) return;
    ComPtr<TLeafItem> item = LastErrorItem(level);
    if (!item) return;
    item->NewSample(Variant::Str(text), OPC_QUALITY_GOOD, plat::NowLocal());
}

}  // namespace

void ItemLog(int32_t id, const std::string& text, int level, std::string_view key) {
    if (!Wanted(level)) return;
    ProtocolArgs("I", {Variant::I4(id), Variant::Str(text)}, level, key);
}

// --- TItem -----------------------------------------------------------------------------------

TItem::TItem(const std::string& name) : short_name_(CutName(name)) {
    ItemLog(-1, "TItem.Create " + short_name_, PL_INFO);
}

std::string TItem::FullName() const {
    std::lock_guard<std::mutex> lk(name_mutex_);
    return full_name_;
}

void TItem::AddToNS(int32_t parent_id) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load()) throw Exception("AddToNS: the namespace is not running");
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    ComPtr<TItem> keep(this);
    parent_id_ = parent_id;
    std::string full = short_name_;
    if (ComPtr<TItem> parent = GetItem(parent_id)) {
        std::string pf = parent->FullName();
        if (!pf.empty()) full = CutName(pf + "." + short_name_);
    }
    {
        std::lock_guard<std::mutex> nlk(name_mutex_);
        full_name_ = full;
    }
    bool quiet = false;
    if (id_ == -1) {
        int32_t existing = FindItemID(full);
        int32_t id;
        if (existing == -1) {
            WriteGuard g(ns.names_lock);
            auto r = ns.retired.find(full);
            if (r != ns.retired.end()) {
                id = r->second;
                ns.retired.erase(r);
            } else {
                id = ++ns.next_id;
            }
        } else {
            id = existing;
            ItemLog(existing, "AddToNS takes the id of " + full, PL_EXTERNAL);
            ComPtr<TItem> old = GetItem(existing);
            if (old) {
                quiet = IsLeaf() && dynamic_cast<TFastStartItem*>(old.Get()) != nullptr;
                old->RemoveFromNSImpl(true);
            }
        }
        id_ = id;
        WriteGuard g(ns.names_lock);
        ns.retired.erase(full);
        ns.names[full] = id;
    }
    AfterAddToNS();
    ns.table->SetAt(id_, ComPtr<IRef>(static_cast<IRef*>(this)));
    ItemLog(id_, "AddToNS " + full + " P:" + std::to_string(parent_id), PL_INFO);
    if (!quiet && dynamic_cast<TFastStartItem*>(this) == nullptr)
        BumpAddrSpaceVer(AddrSpaceVerItem().Get(), false);
}

void TItem::RemoveFromNS() {
    RemoveFromNSImpl(false);
}

void TItem::RemoveFromNSImpl(bool replacing) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table) return;
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    if (id_ == -1) return;
    ComPtr<TItem> keep(this);
    const int32_t id = id_;
    const std::string full = FullName();
    ItemLog(
        id,
        "RemoveFromNS " + full + " F:" + std::to_string(flag_f) + " B:" + std::to_string(flag_b),
        PL_INFO);
    if (!IsLeaf()) {
        int32_t count = ns.table->Count();
        for (int32_t i = 0; i < count; ++i) {
            ComPtr<TItem> child = GetItem(i);
            if (!child || child.Get() == this || child->ParentID() != id) continue;
            WriteProtocolLine("23EB4B49-7995-4F23-A0BF-9ABEE4F59C38 " + std::to_string(i),
                              PL_CRITICAL);
            child->RemoveFromNSImpl(false);
        }
    }
    const bool placeholder = dynamic_cast<TFastStartItem*>(this) != nullptr;
    if (!replacing && ns.fixed.load() && IsLeaf() && !placeholder &&
        dynamic_cast<TSoftLeafItem*>(this) == nullptr) {
        // The name stays: a placeholder with the same id stands in until the item returns.
        auto ph = New<TFastStartItem>(short_name_);
        TextToItemInfo(*ph, ItemInfoToText(*static_cast<TLeafItem*>(this)));
        NameSpaceImpl::SetIds(*ph, id, parent_id_.load(), full);
        ns.table->SetAt(id, ComPtr<IRef>(static_cast<IRef*>(ph.Get())));
        id_ = -1;
        return;
    }
    ns.table->SetAt(id, nullptr);
    bool name_left = false;
    if (!placeholder) {
        WriteGuard g(ns.names_lock);
        auto it = ns.names.find(full);
        if (it == ns.names.end()) throw Exception("E2E8D476-21A6-46CD-9D6E-356CAA58D9CB");
        if (it->second != id) throw Exception("466858FE-C16E-4DDF-841C-17ED668AF6BE");
        ns.names.erase(it);
        ns.retired[full] = id;
        name_left = true;
    }
    id_ = -1;
    if (name_left) BumpAddrSpaceVer(AddrSpaceVerItem().Get(), false);
}

// --- namespace functions -------------------------------------------------------------------

ComPtr<TItem> MakeBasicBranch(const std::string& name) {
    return ComPtr<TItem>(New<TItem>(name).Get());
}

void SetBranchFactory(ItemFactory factory) {
    NS().branch_factory.store(factory ? factory : &MakeBasicBranch);
}

void InitNameSpace() {
    NameSpaceImpl& ns = NS();
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    if (ns.active.load()) return;
    ns.branch_factory.store(&MakeBasicBranch);
    ns.start_time.store(plat::NowLocal());
    if (ns.names_lock.Name().empty()) ns.names_lock.Init("CacheFullNames");
    {
        WriteGuard g(ns.names_lock);
        ns.names.clear();
        ns.retired.clear();
    }
    ChangeRing().Init();
    ns.table = std::make_unique<TSafeIntfArray>("OPCNameSpace");
    ns.next_id.store(1);
    ns.fixed.store(false);
    CmdRegistryInit();
    ns.active.store(true);

    int32_t system = FindOrCreateBranch(-1, "", "System");
    auto ver = New<TSysAddrSpcVerItem>();
    ver->AddToNS(system);
    {
        std::lock_guard<std::mutex> slk(ns.system_mutex);
        ns.addr_space_ver = ComPtr<TLeafItem>(ver.Get());
    }
    auto crit = New<TSysErrStrItem>("LastErrorCritical", PL_CRITICAL);
    crit->AddToNS(system);
    auto ext = New<TSysErrStrItem>("LastErrorExternal", PL_EXTERNAL);
    ext->AddToNS(system);
    {
        std::lock_guard<std::mutex> slk(ns.system_mutex);
        ns.last_critical = ComPtr<TLeafItem>(crit.Get());
        ns.last_external = ComPtr<TLeafItem>(ext.Get());
    }
    SetProtocolHook(&ProtocolHook);
}

void DoneNameSpace() {
    NameSpaceImpl& ns = NS();
    SetProtocolHook(nullptr);
    std::unique_ptr<TSafeIntfArray> table;
    {
        std::lock_guard<std::recursive_mutex> lk(ns.structure);
        if (!ns.active.load()) return;
        ns.active.store(false);
        {
            std::lock_guard<std::mutex> slk(ns.system_mutex);
            ns.addr_space_ver = nullptr;
            ns.last_critical = nullptr;
            ns.last_external = nullptr;
        }
        table = std::move(ns.table);
        WriteGuard g(ns.names_lock);
        ns.names.clear();
        ns.retired.clear();
    }
    table.reset();  // releases every item outside the structure lock
    CmdRegistryDone();
    ChangeRing().Done();
}

bool NameSpaceActive() {
    return NS().active.load();
}

int32_t FindItemID(const std::string& full_name) {
    NameSpaceImpl& ns = NS();
    ReadGuard g(ns.names_lock);
    auto it = ns.names.find(full_name);
    return it == ns.names.end() ? -1 : it->second;
}

int32_t FindLeafID(const std::string& full_name) {
    int32_t id = FindItemID(full_name);
    if (id == -1) return -1;
    ComPtr<TItem> item = GetItem(id);
    return item && item->IsLeaf() ? id : -1;
}

std::string JoinItemName(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "." + name;
}

int32_t FindOrCreateBranch(int32_t parent_id, const std::string& parent_full_name,
                           const std::string& name) {
    NameSpaceImpl& ns = NS();
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    int32_t id = FindItemID(JoinItemName(parent_full_name, name));
    if (id != -1) return id;
    ComPtr<TItem> branch = ns.branch_factory.load()(name);
    branch->AddToNS(parent_id);
    return branch->ID();
}

ComPtr<TItem> GetItem(int32_t id) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table || id < 0) return {};
    return ns.table->GetAs<TItem>(id);
}

int32_t GetParentID(int32_t id) {
    ComPtr<TItem> item = GetItem(id);
    return item ? item->ParentID() : -1;
}

std::string GetItemFullName(int32_t id) {
    ComPtr<TItem> item = GetItem(id);
    return item ? item->FullName() : std::string();
}

int32_t ItemTableCount() {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table) return 0;
    return ns.table->Count();
}

std::vector<std::pair<std::string, int32_t>> ListItemNames() {
    NameSpaceImpl& ns = NS();
    ReadGuard g(ns.names_lock);
    return {ns.names.begin(), ns.names.end()};
}

void BumpAddrSpaceVer(TLeafItem* item, bool flag) {
    NameSpaceImpl& ns = NS();
    ns.addr_space_saved.store(false);
    if (!item) return;
    if (flag && ns.fixed.load()) return;
    WriteGuard g(item->lock_);
    TVQTSample* s = item->NewestLocked();
    int32_t v = s && s->value.vt == plat::VT_I4 ? s->value.lVal : 0;
    item->NewSampleLocked(Variant::I4(v + 1), OPC_QUALITY_GOOD, plat::NowLocal());
}

std::string ItemInfoToText(TLeafItem& leaf) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "VT=%d;AR=%d;DATE=%.8f", leaf.CanonicalType(),
                  leaf.AccessRights(), plat::NowLocal());
    return buf;
}

namespace {
bool ReadInfoField(const std::string& text, const char* key, int& out) {
    std::string k = std::string(key) + "=";
    size_t p = text.find(k);
    if (p == std::string::npos) return false;
    p += k.size();
    size_t e = text.find(';', p);
    std::string v = text.substr(p, e == std::string::npos ? std::string::npos : e - p);
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoi(v);
    return true;
}
}  // namespace

void TextToItemInfo(TLeafItem& leaf, const std::string& text) {
    if (auto* fs = dynamic_cast<TFastStartItem*>(&leaf)) {
        int vt = 0, ar = 0;
        if (ReadInfoField(text, "VT", vt) && vt <= 0xFFFF)
            fs->SetCanonicalType(static_cast<VARTYPE>(vt));
        else
            WriteProtocolLine("TextToItemInfo: bad VT in \"" + text + "\"", PL_EXTERNAL);
        if (ReadInfoField(text, "AR", ar) && ar <= 255)
            fs->SetAccessRights(static_cast<uint8_t>(ar));
        else
            WriteProtocolLine("TextToItemInfo: bad AR in \"" + text + "\"", PL_EXTERNAL);
        leaf.NewSample(Variant(), 0, plat::NowLocal());
    }
}

void RenewStaleSample(TLeafItem& leaf) {
    // Its age on the monotonic clock: a wall clock put back would hold an old error for as
    // long as the step.
    // decisions CORE-53
    if (plat::GetTickCount64() - leaf.UpdateTick() > 60000)
        leaf.NewSample(Variant::Str(std::string()), OPC_QUALITY_GOOD, plat::NowLocal());
}

void SetFixedAddressSpace(bool on) {
    NS().fixed.store(on);
}
bool FixedAddressSpace() {
    return NS().fixed.load();
}
std::atomic<bool>& AddrSpaceSaved() {
    return NS().addr_space_saved;
}
DATE ServerStartTime() {
    return NS().start_time.load();
}

ComPtr<TLeafItem> AddrSpaceVerItem() {
    std::lock_guard<std::mutex> lk(NS().system_mutex);
    return NS().addr_space_ver;
}

ComPtr<TLeafItem> LastErrorItem(int level) {
    std::lock_guard<std::mutex> lk(NS().system_mutex);
    if (level == PL_CRITICAL) return NS().last_critical;
    if (level == PL_EXTERNAL) return NS().last_external;
    return {};
}

}  // namespace drv
