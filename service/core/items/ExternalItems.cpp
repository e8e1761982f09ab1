#include "service/core/items/ExternalItems.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

constexpr size_t kMaxName = 255;
// A variable offers about twenty properties; more than this is a broken answer.
constexpr uint32_t kMaxProperties = 1024;

// The library's live items by handle. It owns the counted reference on each library variable
// from ExtItemCreate to ExtItemDestroy, whatever became of the item in the tree meanwhile.
// Handles of library variables come from a range of their own, never given twice: an item id
// comes back with its name, so a late destroy of an old handle would reach the item made again
// under that name.
constexpr int32_t kFirstHandle = 0x40000000;

struct ExtEntry {
    ComPtr<TExtLeafItem> item;
    int32_t id;  // the item's id in the tree when it was made
};

struct ExtRegistry {
    std::mutex lock;
    std::unordered_map<int32_t, ExtEntry> items;  // by handle
    std::unordered_map<int32_t, int32_t> by_id;   // item id -> handle of its live variable
    int32_t next_handle = kFirstHandle;
    // Serialises creation, so that two bus threads cannot both take one name.
    std::mutex create;
    // Branches the library destroyed while something was still under them (under `create`):
    // each leaves once its last item is gone. The library destroys a branch and its items in
    // whatever order its devices go, and one device's items may sit in another's branch.
    // decisions CORE-40
    std::unordered_set<int32_t> released;
    mb::HostCallbacks table;
};

// Never destroyed: at process exit the library may be gone, and its variables must not be
// released then.
ExtRegistry& Reg() {
    static ExtRegistry* r = new ExtRegistry;
    return *r;
}

bool Wanted(int level) {
    return level >= PL_EXTERNAL || level >= ProtocolThreshold();
}

void Log(const std::string& text, int level = PL_INFO) {
    if (Wanted(level)) WriteProtocolLine(text, level);
}

std::string ValueText(const Variant& v) {
    if (v.vt == plat::VT_EMPTY) return "<---  UNASSIGNED  --->";
    if (v.vt == plat::VT_NULL) return "<---  NULL  --->";
    return VariantsToText(Values(&v, 1));
}

std::string NameOf(const char16_t* w) {
    return w ? plat::WideToUtf8(w) : std::string();
}

bool NotFinite(const Variant& v) {
    // decisions CORE-39
    return (v.vt == plat::VT_R4 && !std::isfinite(v.fltVal)) ||
           (v.vt == plat::VT_R8 && !std::isfinite(v.dblVal));
}

void FreeDescriptions(char16_t** d, uint32_t count) {
    if (!d) return;
    for (uint32_t i = 0; i < count; ++i) plat::CoTaskMemFree(d[i]);
    plat::CoTaskMemFree(d);
}

// A branch the library is done with leaves the tree when it is one of the driver's branches and
// nothing is under it any more; its id stays with its name, so a port started again gets it
// back. One that still holds items is remembered and leaves with the last of them, and a
// released parent it leaves empty follows it. The caller holds the registry's create lock, so
// no library item is being put under it.
void RemoveEmptyBranch(ExtRegistry& r, int32_t handle) {
    while (handle >= 0) {
        ComPtr<TItem> item = GetItem(handle);
        r.released.erase(handle);
        if (!item || item->IsLeaf() || item->ID() != handle) return;
        if (!dynamic_cast<TDrvBranchItem*>(item.Get())) return;
        const int32_t count = ItemTableCount();
        for (int32_t id = 0; id < count; ++id)
            if (id != handle && GetParentID(id) == handle) {
                Log("ExtItemDestroy " + item->FullName() + " kept: item " + std::to_string(id) +
                    " is under it");
                r.released.insert(handle);
                return;
            }
        const int32_t parent = GetParentID(handle);
        item->RemoveFromNS();
        handle = r.released.count(parent) != 0 ? parent : -1;
    }
}

int32_t Refuse(const std::string& name, const std::string& why, int32_t* handle) {
    Log("ExtItemCreate " + name + " refused: " + why, PL_EXTERNAL);
    if (handle) *handle = -1;
    return -1;
}

}  // namespace

// --- TExtLeafItem --------------------------------------------------------------------------

TExtLeafItem::TExtLeafItem(const std::string& name, plat::ComPtr<mb::IModbusItem> item,
                           VARTYPE canonical, uint8_t access, std::string description,
                           bool privileged)
    : TCustomLeafItem(name, canonical),
      iface_(std::move(item)),
      rights_(static_cast<uint8_t>(access & 0x0F)),
      quiet_((access & mb::kAccessQuiet) != 0),
      privileged_(privileged),
      description_(std::move(description)) {}

TExtLeafItem::~TExtLeafItem() = default;

std::shared_lock<std::shared_mutex> TExtLeafItem::Hold() {
    // New calls stop at once when a detach begins, so a stream of them cannot starve it.
    if (detaching_.load()) return {};
    std::shared_lock lk(iface_lock_);
    if (!iface_) return {};
    return lk;
}

bool TExtLeafItem::Attached() {
    return static_cast<bool>(Hold());
}

void TExtLeafItem::Detach() {
    plat::ComPtr<mb::IModbusItem> gone;
    detaching_.store(true);
    {
        std::unique_lock lk(iface_lock_);
        gone = std::move(iface_);
    }
    // Released here, while the library still keeps the variable alive for this call.
}

bool TExtLeafItem::RefusesClient(int client_kind, int) {
    return privileged_ && client_kind != kFriendClientKind;
}

HRESULT TExtLeafItem::Write(const Variant& value, int client_privilege, int flag, LCID) {
    const int level = privileged_ ? 1 : 0;
    HRESULT result;
    if (privileged_ && (flag != kFriendClientKind || client_privilege < level)) {
        result = plat::E_ACCESSDENIED;
    } else {
        auto held = Hold();
        if (!held) {
            // decisions CORE-36
            result = plat::OPC_E_UNKNOWNITEMID;
        } else {
            try {
                result = iface_->Write(value);
            } catch (...) {
                ProtocolCurrentException("FTExtLeafItem.Write " + FullName());
                result = plat::E_FAIL;
            }
        }
    }
    Log("FTExtLeafItem.Write VT:" + std::to_string(value.vt) + " V:\"" + ValueText(value) +
        "\" CliPrivLevel:" + std::to_string(client_privilege) +
        " PrivLevel:" + std::to_string(level) + " Result:" + std::to_string(result));
    return result;
}

void TExtLeafItem::RequestRefresh() {
    TCustomLeafItem::RequestRefresh();
    auto held = Hold();
    if (!held) return;
    try {
        iface_->SetUpdateRequest(1);
    } catch (...) {
        ProtocolCurrentException("TExtLeafItem.RequestRefresh " + FullName());
    }
}

std::vector<PropertyInfo> TExtLeafItem::AvailableProperties() {
    uint32_t count = 0;
    uint32_t* ids = nullptr;
    char16_t** descriptions = nullptr;
    VARTYPE* types = nullptr;
    HRESULT hr;
    {
        auto held = Hold();
        if (!held) return {};
        try {
            hr = iface_->QueryAvailableProperties(&count, &ids, &descriptions, &types);
        } catch (...) {
            ProtocolCurrentException("TExtLeafItem.QueryAvailableProperties " + FullName());
            return {};
        }
    }
    std::vector<PropertyInfo> out;
    if (plat::Succeeded(hr) && ids && descriptions && types) {
        if (count > kMaxProperties)
            Log("TExtLeafItem.QueryAvailableProperties " + FullName() + " count " +
                    std::to_string(count),
                PL_EXTERNAL);
        else
            for (uint32_t i = 0; i < count; ++i)
                out.push_back({ids[i], NameOf(descriptions[i]), types[i]});
    }
    FreeDescriptions(descriptions, std::min(count, kMaxProperties));
    plat::CoTaskMemFree(ids);
    plat::CoTaskMemFree(types);
    return out;
}

HRESULT TExtLeafItem::GetItemProperty(uint32_t id, LCID locale, Variant& out) {
    out.Clear();
    Variant* values = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr;
    {
        auto held = Hold();
        if (!held) return plat::OPC_E_UNKNOWNITEMID;
        try {
            hr = iface_->GetItemProperties(1, &id, locale, &values, &errors);
        } catch (...) {
            ProtocolCurrentException("TExtLeafItem.GetItemProperties " + FullName());
            return plat::E_FAIL;
        }
    }
    if (plat::Succeeded(hr)) {
        if (values && errors) {
            hr = errors[0];
            if (plat::Succeeded(hr)) out = std::move(values[0]);
        } else {
            hr = plat::E_FAIL;
        }
    }
    FreeVariantArray(values, 1);
    plat::CoTaskMemFree(errors);
    return hr;
}

// --- registry and table ------------------------------------------------------------------

ComPtr<TExtLeafItem> FindExtItem(int32_t handle) {
    ExtRegistry& r = Reg();
    std::lock_guard<std::mutex> lk(r.lock);
    auto it = r.items.find(handle);
    return it == r.items.end() ? ComPtr<TExtLeafItem>() : it->second.item;
}

void DropExtItems() {
    ExtRegistry& r = Reg();
    std::unordered_map<int32_t, ExtEntry> items;
    {
        std::lock_guard<std::mutex> lk(r.lock);
        items.swap(r.items);
        r.by_id.clear();
    }
    for (auto& [handle, entry] : items) entry.item->Detach();
    std::lock_guard<std::mutex> creating(r.create);
    r.released.clear();
}

void InitExtItems() {
    DropExtItems();
    mb::HostCallbacks t;
    t.pItemFind = &ExtItemFind;
    t.pItemCreate = &ExtItemCreate;
    t.pItemDestroy = &ExtItemDestroy;
    t.pParentCreate = &ExtParentCreate;
    t.pCmdNewID = &ExtCmdNewID;
    t.pCmdSetResult = &CmdSetResultC;
    t.pCmdIsCancelled = &ExtCmdIsDead;
    t.pNewSample = &ExtNewSample;
    t.pUpdateTS = &ExtUpdateTS;
    t.pSearchFlag = &SearchMode();
    std::lock_guard<std::mutex> lk(Reg().lock);
    Reg().table = t;
}

const mb::HostCallbacks& HostCallbackTable() {
    return Reg().table;
}

}  // namespace drv

// --- host callbacks ------------------------------------------------------------------------

using namespace drv;

extern "C" int32_t ExtItemFind(const char16_t* full_name, int16_t* is_leaf,
                               int32_t* parent) noexcept {
    try {
        const std::string name = NameOf(full_name);
        const int32_t id = name.empty() ? -1 : FindItemID(name);
        ComPtr<TItem> item = GetItem(id);
        // Placeholders stand for items that are not there; names match exactly, case included.
        if (!item || dynamic_cast<TFastStartItem*>(item.Get()) || item->FullName() != name) {
            Log("ExtItemFind not found " + name);
            return -1;
        }
        if (is_leaf) *is_leaf = item->IsLeaf() ? -1 : 0;
        if (parent) *parent = item->ParentID();
        // A library variable is known to the library by its handle.
        int32_t found = id;
        {
            ExtRegistry& r = Reg();
            std::lock_guard<std::mutex> lk(r.lock);
            if (auto it = r.by_id.find(id); it != r.by_id.end()) {
                auto e = r.items.find(it->second);
                if (e != r.items.end() && e->second.item.Get() == item.Get()) found = it->second;
            }
        }
        Log("ExtItemFind found " + name + " " + std::to_string(found));
        return found;
    } catch (...) {
        ProtocolCurrentException("ExtItemFind");
        return -1;
    }
}

extern "C" int32_t ExtItemCreate(mb::IModbusItem* item, const char16_t* name, plat::VARTYPE vt,
                                 uint8_t access, int32_t parent, const char* description,
                                 int32_t* handle) noexcept {
    try {
        const std::string short_name = NameOf(name);
        Log("ExtItemCreate " + short_name + " " + std::to_string(access) + " " +
            std::to_string(vt) + " " + std::to_string(parent));
        if (!item) return Refuse(short_name, "no library item", handle);
        if (short_name.empty()) return Refuse(short_name, "empty name", handle);
        ExtRegistry& r = Reg();
        std::lock_guard<std::mutex> creating(r.create);
        std::string parent_name;
        if (parent != -1) {
            ComPtr<TItem> p = GetItem(parent);
            if (!p || p->IsLeaf())
                return Refuse(short_name, "no branch " + std::to_string(parent), handle);
            parent_name = p->FullName();
        }
        // A privileged item is for trusted clients only; bit 7 is the library's "quiet" mark.
        auto ext = New<TExtLeafItem>(short_name, plat::ComPtr<mb::IModbusItem>(item), vt, access,
                                     description ? std::string(description) : std::string(),
                                     // decisions CORE-38
                                     (access & mb::kAccessPrivileged) != 0);
        const std::string full(plat::Utf8Truncate(
            parent_name.empty() ? ext->ShortName() : parent_name + "." + ext->ShortName(),
            kMaxName));
        // A second port with the same name shift makes the same names: the first keeps them.
        const int32_t existing = FindItemID(full);
        if (existing != -1) {
            ComPtr<TItem> holder = GetItem(existing);
            // decisions CORE-37
            if (holder && !dynamic_cast<TFastStartItem*>(holder.Get())) {
                ext->Detach();
                return Refuse(full, "the name belongs to item " + std::to_string(existing), handle);
            }
        }
        ext->AddToNS(parent);
        r.released.erase(parent);
        const int32_t id = ext->ID();
        int32_t h = -1;
        {
            std::lock_guard<std::mutex> lk(r.lock);
            if (r.by_id.count(id) == 0) {
                do {
                    h = r.next_handle;
                    r.next_handle = r.next_handle == INT32_MAX ? kFirstHandle : r.next_handle + 1;
                } while (r.items.count(h) != 0);
                r.items.emplace(h, ExtEntry{ext, id});
                r.by_id.emplace(id, h);
            }
        }
        if (h < 0) {
            // The id still belongs to a variable that left the tree without being destroyed.
            ext->Detach();
            ext->RemoveFromNS();
            return Refuse(full, "item " + std::to_string(id) + " is still in use", handle);
        }
        if (handle) *handle = h;
        return h;
    } catch (...) {
        ProtocolCurrentException("ExtItemCreate");
        if (handle) *handle = -1;
        return -1;
    }
}

extern "C" void ExtItemDestroy(int32_t handle) noexcept {
    try {
        Log("ExtItemDestroy " + std::to_string(handle));
        ComPtr<TExtLeafItem> ext;
        int32_t id = -1;
        ExtRegistry& r = Reg();
        {
            std::lock_guard<std::mutex> lk(r.lock);
            auto it = r.items.find(handle);
            if (it != r.items.end()) {
                ext = std::move(it->second.item);
                id = it->second.id;
                r.items.erase(it);
                r.by_id.erase(id);
            }
        }
        if (!ext) {  // a branch, a handle destroyed before, or nothing
            if (handle >= kFirstHandle) return;
            std::lock_guard<std::mutex> creating(r.create);
            RemoveEmptyBranch(r, handle);
            return;
        }
        ext->Detach();
        // Only while the id still names this very item: the name may have passed on.
        if (ext->ID() == id && GetItem(id).Get() == static_cast<TItem*>(ext.Get())) {
            std::lock_guard<std::mutex> creating(r.create);
            const int32_t parent = GetParentID(id);
            ext->RemoveFromNS();
            if (r.released.count(parent) != 0) RemoveEmptyBranch(r, parent);
        }
    } catch (...) {
        ProtocolCurrentException("ExtItemDestroy");
    }
}

extern "C" int32_t ExtParentCreate(const char16_t* name, int32_t parent) noexcept {
    try {
        const std::string branch = NameOf(name);
        Log("ExtParentCreate " + branch + " " + std::to_string(parent));
        if (branch.empty()) return -1;
        // Not while a destroy is taking an empty branch away.
        std::lock_guard<std::mutex> creating(Reg().create);
        std::string parent_name;
        if (parent != -1) {
            ComPtr<TItem> p = GetItem(parent);
            if (!p || p->IsLeaf()) {
                Log("ExtParentCreate " + branch + ": no branch " + std::to_string(parent),
                    PL_EXTERNAL);
                return -1;
            }
            parent_name = p->FullName();
        }
        const int32_t id = FindOrCreateBranch(parent, parent_name, branch);
        Reg().released.erase(id);
        Reg().released.erase(parent);
        ComPtr<TItem> made = GetItem(id);
        if (!made || made->IsLeaf()) {
            Log("ExtParentCreate " + branch + ": the name belongs to a leaf", PL_EXTERNAL);
            return -1;
        }
        return id;
    } catch (...) {
        ProtocolCurrentException("ExtParentCreate");
        return -1;
    }
}

extern "C" int32_t ExtCmdNewID() noexcept {
    try {
        return CmdNewID();
    } catch (...) {
        ProtocolCurrentException("ExtCmdNewID");
        return plat::E_FAIL;
    }
}

extern "C" uint8_t ExtCmdIsDead(int32_t id) noexcept {
    try {
        return CmdIsDead(id) ? 1 : 0;
    } catch (...) {
        ProtocolCurrentException("ExtCmdIsDead");
        return 0;
    }
}

extern "C" void ExtNewSample(int32_t handle, const plat::Variant* value, uint16_t quality,
                             const plat::FILETIME* time) noexcept {
    try {
        ComPtr<TExtLeafItem> ext = FindExtItem(handle);
        if (!ext || !value || !time) {
            Log("ExtNewSample " + std::to_string(handle) + " ignored");
            return;
        }
        Variant v = *value;
        if (NotFinite(v)) {
            v.Clear();
            if (quality > OPC_QUALITY_EGU_EXCEEDED) quality = OPC_QUALITY_EGU_EXCEEDED;
        }
        if (!ext->Quiet())
            Log("ExtNewSample " + std::to_string(handle) + " " + ValueText(v) + " " +
                std::to_string(quality));
        ext->NewSample(v, quality, FileTimeToDateTimeLocal(*time));
    } catch (...) {
        ProtocolCurrentException("ExtNewSample");
    }
}

extern "C" void ExtUpdateTS(int32_t handle, const plat::FILETIME* time) noexcept {
    try {
        ComPtr<TExtLeafItem> ext = FindExtItem(handle);
        if (!ext || !time) {
            Log("ExtUpdateTS " + std::to_string(handle) + " ignored");
            return;
        }
        if (!ext->Quiet()) Log("ExtUpdateTS " + std::to_string(handle));
        ext->SetLastTimestampFT(*time);
    } catch (...) {
        ProtocolCurrentException("ExtUpdateTS");
    }
}
