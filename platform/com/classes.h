// Class objects by CLSID: the run-time table a server fills, the HKCR records an installation
// writes, and creation by CLSID in this process, through the local server socket, or on a
// named computer.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/error.h"
#include "platform/com/object.h"
#include "platform/com/unknown.h"
#include "platform/types/guid.h"

namespace plat {

inline const IID IID_IClassFactory = GuidOf("{00000001-0000-0000-C000-000000000046}");

struct IClassFactory : public virtual IUnknown {
    static const IID& GetIID() { return IID_IClassFactory; }
    // Aggregation is not supported: a non-null outer gives CLASS_E_NOAGGREGATION.
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
    virtual HRESULT LockServer(bool lock) = 0;
};

// A factory around a function that builds one object and answers `iid` on it. Exceptions
// from the function fail the creation with their text (ComError keeps its HRESULT), so a
// server that is stopping can refuse with "Process is stopping".
class FunctionClassFactory final : public ComObject<IClassFactory> {
  public:
    using Create = std::function<HRESULT(const IID& iid, void** out)>;
    explicit FunctionClassFactory(Create fn) : fn_(std::move(fn)) {}
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override;
    HRESULT LockServer(bool) override { return S_OK; }

  private:
    Create fn_;
};

// Factory for a ComObject-style class T with a default constructor.
template <class T>
ComPtr<IClassFactory> MakeClassFactory() {
    return MakeCom<FunctionClassFactory>([](const IID& iid, void** out) -> HRESULT {
        ComPtr<T> obj = MakeCom<T>();
        return obj->QueryInterface(iid, out);
    });
}

// --- Run-time class table (this process) ------------------------------------------------------

// Registers the class object; 0 when the CLSID already has one in this process.
uint32_t RegisterClassObject(const CLSID& clsid, IClassFactory* factory);
// S_OK, or E_INVALIDARG for an unknown cookie.
HRESULT RevokeClassObject(uint32_t cookie);
ComPtr<IClassFactory> GetClassObject(const CLSID& clsid);

// --- Registration records (HKCR)
// ------------------------------------------------------------------

// Written by RegisterClass, removed by UnregisterClass:
//   CLSID\{clsid}                  @ = description, "AppID" = app id (when given)
//   CLSID\{clsid}\LocalServer32    @ = server path, "Socket" = socket path (when given: a
//                                  server that does not listen on the default socket)
//   CLSID\{clsid}\ProgID           @ = ProgID (when given)
//   <ProgID>                       @ = description
//   <ProgID>\CLSID                 @ = {clsid}
struct ClassRegistration {
    CLSID clsid;
    std::string description;
    std::string prog_id;
    std::string server_path;
    std::string app_id;
    std::string socket_path;
};
// Win32 error codes of plat::reg; all records are written in one durable step.
long RegisterClass(const ClassRegistration& reg);
// Removes the CLSID key and the ProgID key with everything below them.
long UnregisterClass(const CLSID& clsid, std::string_view prog_id);
bool IsClassRegistered(const CLSID& clsid);
// The socket a registered class is served on ("" = the default socket).
std::string ClassSocketPath(const CLSID& clsid);

// Type library records for clients that only need the interfaces marshalled:
//   TypeLib\{libid}\<major>.<minor>            @ = help string
//   TypeLib\{libid}\<major>.<minor>\<lcid>\linux64   @ = file path (lcid in hex)
//   TypeLib\{libid}\<major>.<minor>\FLAGS      @ = "0"
//   TypeLib\{libid}\<major>.<minor>\HELPDIR    @ = folder of the file
//   Interface\{iid}                            @ = interface name
//   Interface\{iid}\TypeLib                    @ = {libid}, "Version" = "<major>.<minor>"
struct TypeLibRegistration {
    GUID libid;
    uint16_t major = 1;
    uint16_t minor = 0;
    uint32_t lcid = 0;
    std::string help;
    std::string path;
    std::vector<std::pair<IID, std::string>> interfaces;
};
long RegisterTypeLib(const TypeLibRegistration& reg);
// Removes the version key (and the library key when no other version is left) and the
// interface keys.
long UnregisterTypeLib(const TypeLibRegistration& reg);

// --- Creation
// -------------------------------------------------------------------------------------

enum : uint32_t {
    CLSCTX_INPROC_SERVER = 1,
    CLSCTX_LOCAL_SERVER = 4,
    CLSCTX_REMOTE_SERVER = 16,
    CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

// This computer's host name.
std::string LocalComputerName();
// Empty, "localhost", or this computer's name (case-insensitive; the host part of a dotted
// name is enough).
bool IsLocalComputer(std::string_view name);

// Creates an object of `clsid` and answers `iid` on it (*out holds a reference).
// On this computer (empty name, or IsLocalComputer): a class object registered in this process
// is used directly; else (CLSCTX_LOCAL_SERVER or CLSCTX_REMOTE_SERVER) the class must be
// registered (REGDB_E_CLASSNOTREG) and is created by its server through the local socket.
// On a named computer ("host" or "host:port"; CLSCTX_REMOTE_SERVER required): over TCP.
// A failure leaves its text in GetErrorText(): the server's ("Process is stopping") or the
// connection's.
HRESULT CreateInstance(const CLSID& clsid, uint32_t clsctx, std::string_view computer,
                       const IID& iid, void** out);

// Creation outside this process belongs to the transport, which sits above this layer and
// installs itself here when it is linked. `computer` empty: the server on `socket_path` on
// this computer ("" = the default socket); else the named computer. Without one installed,
// such creation fails with E_NOTIMPL and says so in the error text.
using OutOfProcessCreator = HRESULT (*)(std::string_view computer, const std::string& socket_path,
                                        const CLSID& clsid, const IID& iid, void** out);
// Returns the one it replaces (null = none).
OutOfProcessCreator SetOutOfProcessCreator(OutOfProcessCreator creator);

template <class I>
HRESULT CreateInstance(const CLSID& clsid, ComPtr<I>& out, std::string_view computer = {},
                       uint32_t clsctx = CLSCTX_SERVER) {
    void* p = nullptr;
    HRESULT hr = CreateInstance(clsid, clsctx, computer, I::GetIID(), &p);
    out = Succeeded(hr) ? ComPtr<I>::Attach(static_cast<I*>(p)) : ComPtr<I>();
    return hr;
}

}  // namespace plat
