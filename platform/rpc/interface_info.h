// The process-wide table of transportable interfaces, and what the generated proxies and
// stubs call into the connection for: object references and the proxy side of a call.
#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/rpc/codecs.h"
#include "platform/rpc/wire.h"

namespace plat::rpc {

// --- Interface table ---------------------------------------------------------------------------

// Base of every generated interface proxy: the proxy manager it belongs to.
class ProxyBase {
  public:
    explicit ProxyBase(ProxyManager* m) : mgr_(m) {}
    virtual ~ProxyBase() = default;

  protected:
    ProxyManager* mgr_;
};

struct MethodInfo {
    const char* name = nullptr;
    // Reads the in parameters, calls, writes the out parameters. Rejected: the request was
    // malformed and nothing was called (env says why); Failed: the call ran but its results
    // could not be written; Done: `hr` is the method's result.
    ReplyStatus (*stub)(void* iface, Reader& in, Writer& out, MarshalEnv& env,
                        HRESULT& hr) = nullptr;
    // Decoders without a call, for validation and fuzzing: in parameters of a request, out
    // parameters of a reply.
    bool (*decode_in)(Reader& in, MarshalEnv& env) = nullptr;
    bool (*decode_out)(Reader& in, MarshalEnv& env) = nullptr;
};

struct InterfaceInfo {
    IID iid;
    const char* name = nullptr;
    const MethodInfo* methods = nullptr;
    uint16_t method_count = 0;
    // A new interface proxy for the manager, and the proxy as the interface's pointer.
    std::pair<ProxyBase*, void*> (*make_proxy)(ProxyManager* m) = nullptr;
    // The interface pointer (as void*) as its IUnknown.
    IUnknown* (*to_unknown)(void* iface) = nullptr;
};

// The process-wide table by IID. InterfaceInfoOf<I>() registers I on first use; a program
// that receives interfaces by IID alone (QueryInterface, creation) registers them at start.
void RegisterInterface(const InterfaceInfo& info);
const InterfaceInfo* FindInterface(const IID& iid);
std::vector<const InterfaceInfo*> RegisteredInterfaces();

template <class>
inline constexpr bool kNotDeclared = false;

// Specialised by NORVALT_RPC_INTERFACE. Reaching this means the header that declares I's
// marshalling was not included.
template <class I>
const InterfaceInfo& InterfaceInfoOf() {
    static_assert(kNotDeclared<I>,
                  "interface not declared for the transport (NORVALT_RPC_INTERFACE)");
    static const InterfaceInfo none;
    return none;
}
template <>
const InterfaceInfo& InterfaceInfoOf<IUnknown>();

// Registers every listed interface.
template <class... I>
void RegisterInterfaces() {
    (void(InterfaceInfoOf<I>()), ...);
}

// --- Object references (objref.cpp) --------------------------------------------------------------

// Writes a reference to `iface` (a pointer of interface `info`, null allowed); our own objects
// are exported with one reference for the receiver.
bool WriteObjRef(MarshalEnv& env, Writer& w, const InterfaceInfo& info, void* iface);
// Reads one: *out is the interface pointer for the reference's IID with a reference the caller
// owns (null for a null reference and when decoding only). With `expected` the reference must
// be of that interface; without, its IID must be declared.
bool ReadObjRef(MarshalEnv& env, Reader& r, const InterfaceInfo* expected, IID* got, void** out);
// A request was refused after some of its references were credited: take the credits back
// (the caller takes back what it exported).
void AbandonCredits(MarshalEnv& env);

// Proxy-side call plumbing (proxy.cpp).
struct ProxyCallState;
struct ProxyCallDeleter {
    void operator()(ProxyCallState* s) const;
};
using ProxyCallPtr = std::unique_ptr<ProxyCallState, ProxyCallDeleter>;
// Starts a request on the manager's object; null (and `hr`) when the connection is gone.
ProxyCallPtr BeginProxyCall(ProxyManager& mgr, const IID& iid, uint16_t method, HRESULT& hr);
Writer& ProxyCallWriter(ProxyCallState& s);
MarshalEnv& ProxyCallEnv(ProxyCallState& s);
// Sends and waits (serving nested calls of this logical thread). True when out parameters
// follow in `reader`; otherwise `hr` is the call's failure and the error text is set.
bool ProxyCallExchange(ProxyCallState& s, HRESULT& hr, Reader& reader, MarshalEnv& reply_env);
// After the out parameters: reads the error text and checks the frame's end. False means a
// malformed reply: the connection is dropped and `hr` becomes RPC_E_INVALID_DATA.
bool ProxyCallFinish(ProxyCallState& s, Reader& reader, bool outs_ok, HRESULT& hr);

HRESULT ManagerQueryInterface(ProxyManager* m, const IID& iid, void** out);
uint32_t ManagerAddRef(ProxyManager* m);
uint32_t ManagerRelease(ProxyManager* m);

}  // namespace plat::rpc
