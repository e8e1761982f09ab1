// Object references: the export table (our objects the peer holds), the import table (the
// peer's objects we hold proxies of), and references in messages.
#include "platform/rpc/connection.h"
#include "platform/rpc/internal.h"

namespace plat::rpc {

bool Connection::Export(IUnknown* identity, const IID& iid, void* iface, uint64_t& id) {
    {
        std::lock_guard lk(exports_mu_);
        if (!exports_closed_) {
            auto it = export_ids_.find(identity);
            if (it == export_ids_.end()) {
                id = next_export_id_++;
                export_ids_.emplace(identity, id);
                ExportEntry& e = exports_[id];
                e.identity = identity;
                e.refs = 1;
                e.ifaces.emplace(iid, iface);
            } else {
                id = it->second;
                ExportEntry& e = exports_[id];
                ++e.refs;
                e.ifaces.emplace(iid, iface);
            }
            return true;
        }
    }
    identity->Release();
    return false;
}

bool Connection::ReleaseExport(uint64_t id, uint64_t n, bool deferred) {
    IUnknown* identity = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(id);
        if (it == exports_.end() || n == 0 || n > it->second.refs) return false;
        identity = it->second.identity;
        it->second.refs -= n;
        if (it->second.refs == 0) {
            export_ids_.erase(identity);
            exports_.erase(it);
        }
    }
    if (deferred)
        DeferRelease(identity, n);
    else
        for (uint64_t i = 0; i < n; ++i) identity->Release();
    return true;
}

void Connection::UndoExports(const std::vector<uint64_t>& ids) {
    for (uint64_t id : ids) ReleaseExport(id, 1);
}

HRESULT Connection::LookupOwn(uint64_t id, const IID& iid, void** out) {
    IUnknown* identity = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(id);
        if (it == exports_.end()) return CO_E_OBJNOTCONNECTED;
        identity = it->second.identity;
        identity->AddRef();
    }
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(identity);
    return identity->QueryInterface(iid, out);
}

ProxyManager* Connection::Import(uint64_t id) {
    std::lock_guard lk(imports_mu_);
    auto it = imports_.find(id);
    if (it != imports_.end()) {
        ProxyManager* m = it->second;
        m->count_.fetch_add(1);
        ++m->remote_refs_;
        return m;
    }
    auto* m = new ProxyManager(shared_from_this(), id);
    imports_.emplace(id, m);
    return m;
}

// --- Object references -----------------------------------------------------------------------

bool WriteObjRef(MarshalEnv& env, Writer& w, const InterfaceInfo& info, void* iface) {
    if (!iface) {
        w.U8(0);
        w.U64(0);
        w.Guid(info.iid);
        return true;
    }
    if (!env.conn) return env.Fail(E_UNEXPECTED, "no connection to export on");
    Connection& c = *env.conn;
    IUnknown* unk = info.to_unknown(iface);
    if (ProxyManager* pm = AsProxy(unk); pm && &pm->Conn() == &c) {
        w.U8(2);  // the receiver's own object comes home
        w.U64(pm->Id());
        w.Guid(info.iid);
        return true;
    }
    void* idp = nullptr;
    if (Failed(unk->QueryInterface(IID_IUnknown, &idp)) || !idp)
        return env.Fail(E_NOINTERFACE, "object without identity");
    uint64_t id;
    if (!c.Export(static_cast<IUnknown*>(idp), info.iid, iface, id)) {
        w.Poison(RPC_E_DISCONNECTED);
        return env.Fail(RPC_E_DISCONNECTED, "connection closed");
    }
    env.exported.push_back(id);
    w.U8(1);
    w.U64(id);
    w.Guid(info.iid);
    return true;
}

bool ReadObjRef(MarshalEnv& env, Reader& r, const InterfaceInfo* expected, IID* got, void** out) {
    *out = nullptr;
    uint8_t kind;
    uint64_t id;
    GUID iid;
    if (!r.U8(kind) || !r.U64(id) || !r.Guid(iid) || kind > 2) return false;
    if (got) *got = iid;
    if (kind == 0) return true;
    if (expected && !(expected->iid == iid))
        return env.Fail(RPC_E_INVALID_DATA, "object reference of another interface");
    if (!env.conn) {
        if (kind == 1 && env.given) env.given->push_back(id);
        return true;
    }
    const InterfaceInfo* info = expected ? expected : FindInterface(iid);
    if (!info) return env.Fail(E_NOINTERFACE, "interface not declared for the transport");
    Connection& c = *env.conn;
    if (kind == 2) {
        HRESULT hr = c.LookupOwn(id, iid, out);
        if (Failed(hr)) {
            *out = nullptr;
            return env.Fail(hr, "reference to an object that is not exported");
        }
        return true;
    }
    ProxyManager* m = c.Import(id);
    env.credited.push_back(m);
    *out = m->LocalInterface(*info);
    return true;
}

void AbandonCredits(MarshalEnv& env) {
    if (!env.conn) return;
    std::lock_guard lk(env.conn->imports_mu_);
    for (ProxyManager* m : env.credited)
        if (m->remote_refs_ > 0) --m->remote_refs_;
    env.credited.clear();
}

}  // namespace plat::rpc
