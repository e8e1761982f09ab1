// Transport declarations of the platform's own interfaces.
#pragma once
#include "platform/com/connpt.h"
#include "platform/rpc/marshal.h"

NORVALT_RPC_FORWARD(plat::IConnectionPoint)

// A connection as an enumerator hands it out: the sink's reference, then the cookie.
template <>
// decisions PLAT-RPC-12
struct plat::rpc::Elem<plat::CONNECTDATA> {
    static constexpr size_t kMinBytes = kObjRefBytes + 4;
    static bool Write(MarshalEnv& env, Writer& w, const CONNECTDATA& e) {
        if (!Elem<IUnknown*>::Write(env, w, e.pUnk)) return false;
        w.U32(e.dwCookie);
        return true;
    }
    static bool Read(MarshalEnv& env, Reader& r, CONNECTDATA& e) {
        return Elem<IUnknown*>::Read(env, r, e.pUnk) && r.U32(e.dwCookie);
    }
    static void Free(CONNECTDATA& e) { Elem<IUnknown*>::Free(e.pUnk); }
};

#define NORVALT_RPC_IENUMCONNECTIONS(M)                                   \
    M(Next, 3, ::plat::rpc::FillIs<1, 0, 2>, ::plat::rpc::OptionalOut<2>) \
    M(Skip, 1) M(Reset, 0) M(Clone, 1)
NORVALT_RPC_INTERFACE(plat::IEnumConnections, NORVALT_RPC_IENUMCONNECTIONS)

#define NORVALT_RPC_IENUMCONNECTIONPOINTS(M)                              \
    M(Next, 3, ::plat::rpc::FillIs<1, 0, 2>, ::plat::rpc::OptionalOut<2>) \
    M(Skip, 1) M(Reset, 0) M(Clone, 1)
NORVALT_RPC_INTERFACE(plat::IEnumConnectionPoints, NORVALT_RPC_IENUMCONNECTIONPOINTS)

#define NORVALT_RPC_ICONNECTIONPOINTCONTAINER(M) \
    M(EnumConnectionPoints, 1) M(FindConnectionPoint, 2)
NORVALT_RPC_INTERFACE(plat::IConnectionPointContainer, NORVALT_RPC_ICONNECTIONPOINTCONTAINER)

#define NORVALT_RPC_ICONNECTIONPOINT(M) \
    M(GetConnectionInterface, 1)        \
    M(GetConnectionPointContainer, 1)   \
    M(Advise, 2)                        \
    M(Unadvise, 1)                      \
    M(EnumConnections, 1)
NORVALT_RPC_INTERFACE(plat::IConnectionPoint, NORVALT_RPC_ICONNECTIONPOINT)
