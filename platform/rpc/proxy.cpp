// The proxy manager of a peer's object, and the proxy side of a call.
#include "platform/com/error.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/internal.h"

namespace plat::rpc {

namespace {

// A private IID: QueryInterface for it yields the proxy manager behind any proxy.
const IID IID_ProxyManager = GuidOf("{6E0B4C52-0D1E-4F7B-9C1A-52C0F1A7D3E9}");

}  // namespace

// --- Proxy manager -------------------------------------------------------------------------------

ProxyManager::~ProxyManager() = default;

uint32_t ProxyManager::AddRef() {
    return count_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t ProxyManager::Release() {
    uint32_t n = count_.load(std::memory_order_relaxed);
    while (n > 1)
        if (count_.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return n - 1;
    // Possibly the last: decide under the import lock, where Import may revive it.
    uint32_t refs = 0;
    {
        std::lock_guard lk(conn_->imports_mu_);
        if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return 1;
        auto it = conn_->imports_.find(id_);
        if (it != conn_->imports_.end() && it->second == this) conn_->imports_.erase(it);
        refs = remote_refs_;
        remote_refs_ = 0;
    }
    if (refs && conn_->Alive()) conn_->SendRelease(id_, refs);
    delete this;
    return 0;
}

void* ProxyManager::LocalInterface(const InterfaceInfo& info) {
    if (info.iid == IID_IUnknown) return static_cast<void*>(static_cast<IUnknown*>(this));
    std::lock_guard lk(m_);
    auto it = ifaces_.find(info.iid);
    if (it != ifaces_.end()) return it->second.second;
    auto made = info.make_proxy(this);
    void* typed = made.second;
    ifaces_.emplace(info.iid, std::make_pair(std::unique_ptr<ProxyBase>(made.first), typed));
    return typed;
}

HRESULT ProxyManager::QueryInterface(const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    if (iid == IID_ProxyManager) {
        *out = this;
        AddRef();
        return S_OK;
    }
    {
        std::lock_guard lk(m_);
        auto it = ifaces_.find(iid);
        if (it != ifaces_.end()) {
            *out = it->second.second;
            AddRef();
            return S_OK;
        }
    }
    const InterfaceInfo* info = FindInterface(iid);
    if (!info) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    ProxyCallPtr call = BeginCall(conn_, id_, IID_IUnknown, kMethodQueryInterface, hr);
    if (!call) return hr;
    ProxyCallWriter(*call).Guid(iid);
    Reader r;
    MarshalEnv env;
    if (!ProxyCallExchange(*call, hr, r, env)) return hr;
    if (!ProxyCallFinish(*call, r, true, hr)) return hr;
    if (Failed(hr)) return hr;
    {
        std::lock_guard lk(conn_->imports_mu_);
        if (conn_->Alive()) ++remote_refs_;
    }
    *out = LocalInterface(*info);
    AddRef();
    return S_OK;
}

ProxyManager* AsProxy(IUnknown* unk) {
    void* p = nullptr;
    if (!unk || Failed(unk->QueryInterface(IID_ProxyManager, &p)) || !p) return nullptr;
    auto* m = static_cast<ProxyManager*>(p);
    m->Release();
    return m;
}

HRESULT ManagerQueryInterface(ProxyManager* m, const IID& iid, void** out) {
    return m->QueryInterface(iid, out);
}
uint32_t ManagerAddRef(ProxyManager* m) {
    return m->AddRef();
}
uint32_t ManagerRelease(ProxyManager* m) {
    return m->Release();
}

// --- Proxy calls ---------------------------------------------------------------------------------

struct ProxyCallState {
    std::shared_ptr<Connection> conn;
    CausalityScope causality;  // a new logical thread unless this thread serves a call
    Writer w;
    MarshalEnv env;
    std::vector<uint8_t> reply;
};

void ProxyCallDeleter::operator()(ProxyCallState* s) const {
    delete s;
}

ProxyCallPtr BeginCall(const std::shared_ptr<Connection>& conn, uint64_t object, const IID& iid,
                       uint16_t method, HRESULT& hr) {
    if (!conn->Alive()) {
        hr = RPC_E_DISCONNECTED;
        SetErrorText("The connection to the object's process is closed");
        return nullptr;
    }
    ProxyCallPtr s(new ProxyCallState{conn, {}, {}, {}, {}});
    s->env.conn = conn.get();
    BeginFrame(s->w, MsgType::Request, 0);
    RequestHeader h;
    h.causality = t_causality;
    h.locale = GetCallContext().locale;
    h.object = object;
    h.iid = iid;
    h.method = method;
    WriteRequestHeader(s->w, h);
    return s;
}

ProxyCallPtr BeginProxyCall(ProxyManager& mgr, const IID& iid, uint16_t method, HRESULT& hr) {
    return BeginCall(mgr.ConnPtr(), mgr.Id(), iid, method, hr);
}

Writer& ProxyCallWriter(ProxyCallState& s) {
    return s.w;
}
MarshalEnv& ProxyCallEnv(ProxyCallState& s) {
    return s.env;
}

bool ProxyCallExchange(ProxyCallState& s, HRESULT& hr, Reader& reader, MarshalEnv& reply_env) {
    Connection& c = *s.conn;
    EndFrame(s.w);
    if (s.w.Poisoned() != S_OK || s.env.hr != S_OK || s.w.Size() - 4 > kMaxFrame) {
        hr = s.w.Poisoned() != S_OK ? s.w.Poisoned() : s.env.hr != S_OK ? s.env.hr : E_OUTOFMEMORY;
        SetErrorText(s.env.error.empty() ? (hr == E_OUTOFMEMORY ? "message too large"
                                                                : "argument cannot be marshalled")
                                         : s.env.error);
        c.UndoExports(s.env.exported);
        return false;
    }
    if (HRESULT failed = c.Call(s.w, s.reply, s.env.exported); failed != S_OK) {
        hr = failed;
        SetErrorText(failed == RPC_E_TIMEOUT ? "The object's process did not answer in time"
                     : failed == E_OUTOFMEMORY
                         ? "The reply was too large to take"
                         : "The connection to the object's process is closed");
        return false;
    }
    Reader r(s.reply);
    FrameHeader fh;
    uint8_t status;
    int32_t code;
    if (!ReadFrameHeader(r, fh) || !r.U8(status) || !r.I32(code) || status > 2) {
        c.ProtocolViolation("malformed reply");
        hr = RPC_E_INVALID_DATA;
        SetErrorText("Malformed reply");
        return false;
    }
    hr = code;
    if (status != static_cast<uint8_t>(ReplyStatus::Done)) {
        std::string text;
        if (!r.Text(text) || !r.AtEnd()) {
            c.ProtocolViolation("malformed reply");
            hr = RPC_E_INVALID_DATA;
            SetErrorText("Malformed reply");
            return false;
        }
        // Rejected: the peer took none of the references this request carried.
        if (status == static_cast<uint8_t>(ReplyStatus::Rejected)) c.UndoExports(s.env.exported);
        if (Succeeded(hr)) hr = RPC_E_INVALID_DATA;
        SetErrorText(text);
        return false;
    }
    reader = r;
    reply_env.conn = &c;
    return true;
}

bool ProxyCallFinish(ProxyCallState& s, Reader& reader, bool outs_ok, HRESULT& hr) {
    std::string text;
    if (!outs_ok || !reader.Text(text) || !reader.AtEnd()) {
        s.conn->ProtocolViolation("malformed reply");
        hr = RPC_E_INVALID_DATA;
        SetErrorText("Malformed reply");
        return false;
    }
    SetErrorText(Failed(hr) ? text : std::string());
    return true;
}

}  // namespace plat::rpc
