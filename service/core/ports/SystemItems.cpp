#include "service/core/ports/SystemItems.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/items/ExternalItems.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/ModbusLibrary.h"
#include "service/core/ports/PortManager.h"

namespace drv {

const char* const kAddrSpaceKey = "\\Software\\Norvalt\\Drv\\AddrSpace";

namespace {

std::atomic<bool> g_loaded{false};
std::atomic<uint32_t> g_last_save{0};
std::atomic<bool> g_ever_saved{false};

std::string Text(const Variant& v) {
    return VariantsToText(Values(&v, 1));
}

bool AsBool(const Variant& v, bool& out, HRESULT& hr) {
    Variant b;
    hr = plat::VariantChangeType(b, v, 0, plat::VT_BOOL);
    if (plat::Failed(hr)) return false;
    out = b.boolVal != 0;
    return true;
}

void SaveDword(const std::string& name, uint32_t value) {
    long rc = plat::reg::WriteDword(plat::reg::Hive::LocalMachine, kAddrSpaceKey, name, value);
    if (rc != plat::ERROR_SUCCESS)
        WriteProtocolLine("AddrSpace " + name + " not saved, registry error " + std::to_string(rc),
                          PL_CRITICAL);
}

ComPtr<TItem> MakeDrvBranch(const std::string& name) {
    return ComPtr<TItem>(New<TDrvBranchItem>(name).Get());
}

// The branch "Post<n>" (made when missing).
int32_t PostBranch(int post) {
    return FindOrCreateBranch(-1, "", "Post" + std::to_string(post));
}

// Creates the branches of a dotted name; returns the parent of its last part.
int32_t BranchesOf(const std::string& full, std::string& leaf_name) {
    int32_t parent = -1;
    std::string parent_name;
    size_t start = 0;
    for (size_t dot; (dot = full.find('.', start)) != std::string::npos; start = dot + 1) {
        std::string part = full.substr(start, dot - start);
        parent = FindOrCreateBranch(parent, parent_name, part);
        parent_name = JoinItemName(parent_name, part);
    }
    leaf_name = full.substr(start);
    return parent;
}

}  // namespace

// --- System items ----------------------------------------------------------------------------

// How long a client's write waits for the port restart it asked for; the restart goes on after.
constexpr uint32_t kRestartWaitMs = 3000;

TSysParStrItem::TSysParStrItem() : TSoftLeafItem("AllParameters", plat::VT_BSTR) {
    NewSample(Variant::Str(CachedParameters()), OPC_QUALITY_GOOD, plat::NowLocal());
}

HRESULT TSysParStrItem::Write(const Variant& value, int client_privilege, int, LCID) {
    if (client_privilege < 1) return plat::E_ACCESSDENIED;
    if (value.vt != plat::VT_BSTR) return plat::E_INVALIDARG;
    const std::string text = plat::WideToUtf8(value.bstrVal);
    WriteProtocolLine(text, PL_INFO);
    const std::string before = plat::WideToUtf8(PeekValue().bstrVal);
    if (text != before) {
        // What cannot be stored is not run either: the next start would lose it.
        if (const long rc = WriteParameters(text); rc != plat::ERROR_SUCCESS)
            return plat::HresultFromWin32(rc);
    }
    NewSample(value, OPC_QUALITY_GOOD, plat::NowLocal());
    if (text != before) {
        if (!RestartChangedPortsWithin(kRestartWaitMs))
            WriteProtocolLine("AllParameters: the ports restart in the background", PL_INFO);
        RefreshSystemItems();
    }
    return plat::S_OK;
}

// decisions CORE-47, HOST-23
TSysEnableAllPortsItem::TSysEnableAllPortsItem() : TSoftLeafItem("AllPortsEnable", plat::VT_BOOL) {
    NewSample(Variant::Bool(GetParam("DISABLEALLPORTS") != "1"), OPC_QUALITY_GOOD,
              plat::NowLocal());
}

HRESULT TSysEnableAllPortsItem::Write(const Variant& value, int client_privilege, int, LCID) {
    if (client_privilege != 1) return plat::E_ACCESSDENIED;
    WriteProtocolLine("TSysEnableAllPortsItem.Write " + Text(value), PL_INFO);
    bool on = false;
    HRESULT hr = plat::S_OK;
    if (!AsBool(value, on, hr)) return hr;
    bool was = false;
    AsBool(PeekValue(), was, hr);
    if (on == was) return plat::S_OK;
    if (const long rc =
            WriteParameters(WithParamValue(CachedParameters(), "DISABLEALLPORTS", on ? "" : "1"));
        rc != plat::ERROR_SUCCESS)
        return plat::HresultFromWin32(rc);
    if (!RestartAllPortsWithin(kRestartWaitMs))
        WriteProtocolLine("AllPortsEnable: the ports restart in the background", PL_INFO);
    RefreshSystemItems();
    return plat::S_OK;
}

void RefreshSystemItems() {
    if (auto all = GetItemAs<TLeafItem>(FindLeafID("System.AllParameters"))) {
        Variant v = Variant::Str(CachedParameters());
        if (!(all->PeekValue() == v)) all->NewSample(v, OPC_QUALITY_GOOD, plat::NowLocal());
    }
    if (auto ports = GetItemAs<TLeafItem>(FindLeafID("System.AllPortsEnable"))) {
        Variant v = Variant::Bool(GetParam("DISABLEALLPORTS") != "1");
        if (!(ports->PeekValue() == v)) ports->NewSample(v, OPC_QUALITY_GOOD, plat::NowLocal());
    }
}

// --- post enable and tank ------------------------------------------------------------------------

TPostEnableItem::TPostEnableItem(int post_number, bool enabled)
    : TSoftLeafItem("Enable", plat::VT_BOOL), post_(post_number) {
    NewSample(Variant::Bool(enabled), OPC_QUALITY_GOOD, plat::NowLocal());
}

HRESULT TPostEnableItem::Write(const Variant& value, int, int, LCID) {
    ItemLog(ID(), "Write var " + FullName() + " " + Text(value), PL_INFO);
    bool on = false;
    HRESULT hr = plat::S_OK;
    if (!AsBool(value, on, hr)) return hr;
    NewSample(Variant::Bool(on), OPC_QUALITY_GOOD, plat::NowLocal());
    if (!on) {
        if (auto state =
                GetItemAs<TLeafItem>(FindLeafID("Post" + std::to_string(post_) + ".State"))) {
            int32_t s = state->PeekValue().vt == plat::VT_EMPTY ? -1 : state->PeekValue().bVal;
            if (s == 1 || s == 7) state->Write(Variant::I4(80), 9999, 0, plat::LOCALE_EN_US);
        }
    }
    SaveDword("Post" + std::to_string(post_) + ".Enable", on ? 1u : 0u);
    return plat::S_OK;
}

TPostTankIDItem::TPostTankIDItem(int post_number, int32_t tank)
    : TSoftLeafItem("Tank", plat::VT_I4), post_(post_number) {
    NewSample(Variant::I4(tank), OPC_QUALITY_GOOD, plat::NowLocal());
}

HRESULT TPostTankIDItem::Write(const Variant& value, int, int, LCID locale) {
    ItemLog(ID(), "Write var " + FullName() + " " + Text(value), PL_INFO);
    Variant v;
    HRESULT hr = plat::VariantChangeTypeEx(v, value, locale, 0, plat::VT_I4);
    if (plat::Failed(hr)) return hr;
    NewSample(v, OPC_QUALITY_GOOD, plat::NowLocal());
    SaveDword("Post" + std::to_string(post_) + ".Tank", static_cast<uint32_t>(v.lVal));
    return plat::S_OK;
}

// --- start-up ---------------------------------------------------------------------------------

void InitDriverItems() {
    g_loaded = false;
    g_ever_saved = false;
    SetBranchFactory(&MakeDrvBranch);
    const int32_t system = FindItemID("System");
    New<TSysEnableAllPortsItem>()->AddToNS(system);
    New<TSysParStrItem>()->AddToNS(system);
    SetParametersChangedHook(&RefreshSystemItems);
    SetLoadAddrSpaceHook(&LoadAddrSpace);
    InitExtItems();
    // Once per process: the library keeps the first table it is given.
    LoadModbusLibrary();
}

// --- fixed address space ------------------------------------------------------------------------

bool AddrSpaceLoaded() {
    return g_loaded.load();
}

void LoadAddrSpace() {
    using plat::reg::Hive;
    std::vector<plat::reg::ValueInfo> values;
    long rc = plat::reg::EnumValues(Hive::LocalMachine, kAddrSpaceKey, values);
    if (rc != plat::ERROR_SUCCESS && rc != plat::ERROR_FILE_NOT_FOUND)
        WriteProtocolLine("AddrSpace cannot be read, registry error " + std::to_string(rc),
                          PL_CRITICAL);
    auto ends_with = [](const std::string& s, const char* tail) {
        size_t n = std::strlen(tail);
        return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
    };
    for (const auto& v : values) {
        const std::string& name = v.name;
        if (plat::EqualsNoCase(name, "DATE")) continue;
        if (ends_with(name, ".Enable") || ends_with(name, ".Tank")) {
            const int post = PostOfName(name.substr(0, name.rfind('.')));
            if (post <= 0 || v.value.kind != plat::reg::Kind::Dword) continue;
            if (FindItemID(name) != -1) continue;
            if (ends_with(name, ".Enable"))
                New<TPostEnableItem>(post, v.value.dword != 0)->AddToNS(PostBranch(post));
            else
                New<TPostTankIDItem>(post, static_cast<int32_t>(v.value.dword))
                    ->AddToNS(PostBranch(post));
            continue;
        }
        if (v.value.kind != plat::reg::Kind::String || v.value.text.rfind("VT=", 0) != 0) continue;
        if (FindItemID(name) != -1) continue;
        std::string leaf;
        const int32_t parent = BranchesOf(name, leaf);
        if (leaf.empty()) continue;
        auto ph = New<TFastStartItem>(leaf);
        TextToItemInfo(*ph, v.value.text);
        ph->AddToNS(parent);
    }
    g_loaded = true;
}

bool SaveAddrSpace(bool force) {
    if (!FixedAddressSpace() || !g_loaded.load()) return false;
    const uint32_t now = plat::GetTickCount();
    // Once a minute whether or not anything changed: DATE tells when the service last stood
    // behind the saved names.
    if (!force && g_ever_saved.load() && plat::TickDiff(now, g_last_save.load()) < 60000)
        return false;
    plat::reg::Batch batch(plat::reg::Hive::LocalMachine);
    batch.DeleteKeyTree(kAddrSpaceKey).CreateKey(kAddrSpaceKey);
    char date[32];
    std::snprintf(date, sizeof date, "%.8f", plat::NowLocal());
    batch.WriteString(kAddrSpaceKey, "DATE", date);
    const int32_t count = ItemTableCount();
    for (int32_t id = 0; id < count; ++id) {
        ComPtr<TLeafItem> leaf = GetItemAs<TLeafItem>(id);
        if (!leaf) continue;
        const std::string name = leaf->FullName();
        if (auto* e = dynamic_cast<TPostEnableItem*>(leaf.Get())) {
            batch.WriteDword(kAddrSpaceKey, name, e->PeekValue().boolVal ? 1u : 0u);
        } else if (auto* t = dynamic_cast<TPostTankIDItem*>(leaf.Get())) {
            batch.WriteDword(kAddrSpaceKey, name, static_cast<uint32_t>(t->PeekValue().lVal));
        } else if (dynamic_cast<TSoftLeafItem*>(leaf.Get()) == nullptr) {
            batch.WriteString(kAddrSpaceKey, name, ItemInfoToText(*leaf));
        }
    }
    long rc = batch.Commit();
    if (rc != plat::ERROR_SUCCESS) {
        WriteProtocolLine("AddrSpace not saved, registry error " + std::to_string(rc), PL_CRITICAL);
        return false;
    }
    AddrSpaceSaved() = true;
    g_last_save = now;
    g_ever_saved = true;
    return true;
}

}  // namespace drv
