#include "platform/com/classes.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/registry/registry.h"
#include "platform/types/wstr.h"

namespace plat {

HRESULT FunctionClassFactory::CreateInstance(IUnknown* outer, const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
        return fn_(iid, out);
    } catch (...) {
        return HresultFromCurrentException();
    }
}

// --- Run-time class table ---------------------------------------------------------------------

namespace {

struct ClassTable {
    std::mutex m;
    std::map<CLSID, std::pair<uint32_t, ComPtr<IClassFactory>>> by_clsid;
    uint32_t next_cookie = 1;
};

ClassTable& Classes() {
    static ClassTable* t = new ClassTable;  // outlives every thread that may still create
    return *t;
}

std::string ClsidKey(const CLSID& clsid) {
    return "CLSID\\" + FormatGuid(clsid);
}

}  // namespace

uint32_t RegisterClassObject(const CLSID& clsid, IClassFactory* factory) {
    if (!factory) return 0;
    ClassTable& t = Classes();
    std::lock_guard lk(t.m);
    if (t.by_clsid.count(clsid)) return 0;
    uint32_t cookie = t.next_cookie++;
    t.by_clsid[clsid] = {cookie, ComPtr<IClassFactory>(factory)};
    return cookie;
}

HRESULT RevokeClassObject(uint32_t cookie) {
    ComPtr<IClassFactory> old;
    ClassTable& t = Classes();
    {
        std::lock_guard lk(t.m);
        for (auto it = t.by_clsid.begin(); it != t.by_clsid.end(); ++it) {
            if (it->second.first == cookie) {
                old = std::move(it->second.second);
                t.by_clsid.erase(it);
                return S_OK;  // `old` is released outside the lock
            }
        }
    }
    return E_INVALIDARG;
}

ComPtr<IClassFactory> GetClassObject(const CLSID& clsid) {
    ClassTable& t = Classes();
    std::lock_guard lk(t.m);
    auto it = t.by_clsid.find(clsid);
    return it == t.by_clsid.end() ? ComPtr<IClassFactory>() : it->second.second;
}

// --- Registration records
// -------------------------------------------------------------------------

long RegisterClass(const ClassRegistration& r) {
    using reg::Hive;
    const std::string key = ClsidKey(r.clsid);
    reg::Batch b(Hive::ClassesRoot);
    b.WriteString(key, "", r.description);
    if (!r.app_id.empty()) b.WriteString(key, "AppID", r.app_id);
    b.WriteString(key + "\\LocalServer32", "", r.server_path);
    if (!r.socket_path.empty()) b.WriteString(key + "\\LocalServer32", "Socket", r.socket_path);
    if (!r.prog_id.empty()) {
        b.WriteString(key + "\\ProgID", "", r.prog_id);
        b.WriteString(r.prog_id, "", r.description);
        b.WriteString(r.prog_id + "\\CLSID", "", FormatGuid(r.clsid));
    }
    return b.Commit();
}

long UnregisterClass(const CLSID& clsid, std::string_view prog_id) {
    reg::Batch b(reg::Hive::ClassesRoot);
    b.DeleteKeyTree(ClsidKey(clsid));
    if (!prog_id.empty()) b.DeleteKeyTree(prog_id);
    return b.Commit();
}

bool IsClassRegistered(const CLSID& clsid) {
    return reg::KeyExists(reg::Hive::ClassesRoot, ClsidKey(clsid) + "\\LocalServer32");
}

std::string ClassSocketPath(const CLSID& clsid) {
    std::string path;
    if (reg::ReadString(reg::Hive::ClassesRoot, ClsidKey(clsid) + "\\LocalServer32", "Socket",
                        path) != ERROR_SUCCESS)
        path.clear();
    return path;
}

namespace {

std::string VersionText(const TypeLibRegistration& r) {
    return std::to_string(r.major) + "." + std::to_string(r.minor);
}

std::string LibVersionKey(const TypeLibRegistration& r) {
    return "TypeLib\\" + FormatGuid(r.libid) + "\\" + VersionText(r);
}

}  // namespace

long RegisterTypeLib(const TypeLibRegistration& r) {
    const std::string vkey = LibVersionKey(r);
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", r.lcid);
    std::string dir = r.path;
    if (auto slash = dir.rfind('/'); slash != std::string::npos) dir.erase(slash == 0 ? 1 : slash);
    reg::Batch b(reg::Hive::ClassesRoot);
    b.WriteString(vkey, "", r.help);
    b.WriteString(vkey + "\\" + lcid + "\\linux64", "", r.path);
    b.WriteString(vkey + "\\FLAGS", "", "0");
    b.WriteString(vkey + "\\HELPDIR", "", dir);
    for (const auto& [iid, name] : r.interfaces) {
        const std::string ikey = "Interface\\" + FormatGuid(iid);
        b.WriteString(ikey, "", name);
        b.WriteString(ikey + "\\TypeLib", "", FormatGuid(r.libid));
        b.WriteString(ikey + "\\TypeLib", "Version", VersionText(r));
    }
    return b.Commit();
}

long UnregisterTypeLib(const TypeLibRegistration& r) {
    const std::string lkey = "TypeLib\\" + FormatGuid(r.libid);
    return reg::Update(reg::Hive::ClassesRoot, [&](reg::Transaction& t) -> long {
        if (t.KeyExists(LibVersionKey(r))) t.DeleteKeyTree(LibVersionKey(r));
        std::vector<std::string> left;
        if (t.EnumSubKeys(lkey, left) == ERROR_SUCCESS && left.empty()) t.DeleteKeyTree(lkey);
        for (const auto& entry : r.interfaces) {
            const std::string ikey = "Interface\\" + FormatGuid(entry.first);
            if (t.KeyExists(ikey)) t.DeleteKeyTree(ikey);
        }
        return ERROR_SUCCESS;
    });
}

// --- Creation
// -------------------------------------------------------------------------------------

std::string LocalComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

bool IsLocalComputer(std::string_view name) {
    if (name.empty() || EqualsNoCase(name, "localhost")) return true;
    const std::string self = LocalComputerName();
    if (EqualsNoCase(name, self)) return true;
    auto host = [](std::string_view s) { return s.substr(0, s.find('.')); };
    return EqualsNoCase(host(name), host(self));
}

namespace {

// Constant-initialised, so the transport may install itself from a static initialiser.
std::atomic<OutOfProcessCreator> g_out_of_process{nullptr};

HRESULT CreateOutOfProcess(std::string_view computer, const std::string& socket_path,
                           const CLSID& clsid, const IID& iid, void** out) {
    OutOfProcessCreator create = g_out_of_process.load(std::memory_order_acquire);
    if (!create) {
        SetErrorText("No transport in this program to create outside the process");
        return E_NOTIMPL;
    }
    return create(computer, socket_path, clsid, iid, out);
}

}  // namespace

OutOfProcessCreator SetOutOfProcessCreator(OutOfProcessCreator creator) {
    return g_out_of_process.exchange(creator, std::memory_order_acq_rel);
}

HRESULT CreateInstance(const CLSID& clsid, uint32_t clsctx, std::string_view computer,
                       const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ClearErrorText();
    if (IsLocalComputer(computer)) {
        if (ComPtr<IClassFactory> f = GetClassObject(clsid)) {
            HRESULT hr = f->CreateInstance(nullptr, iid, out);
            if (Succeeded(hr)) ClearErrorText();
            return hr;
        }
        if (!(clsctx & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER))) {
            SetErrorText("Class not registered in this process");
            return REGDB_E_CLASSNOTREG;
        }
        if (!IsClassRegistered(clsid)) {
            SetErrorText("Class not registered");
            return REGDB_E_CLASSNOTREG;
        }
        return CreateOutOfProcess({}, ClassSocketPath(clsid), clsid, iid, out);
    }
    if (!(clsctx & CLSCTX_REMOTE_SERVER)) {
        SetErrorText("A named computer needs CLSCTX_REMOTE_SERVER");
        return E_INVALIDARG;
    }
    return CreateOutOfProcess(computer, {}, clsid, iid, out);
}

}  // namespace plat
