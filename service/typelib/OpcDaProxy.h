// The transport of the OPC DA server interfaces (service/typelib/OpcDa.h): one method list per
// interface, in slot order, from which the proxies and stubs are made (platform/rpc/marshal.h).
// Header-only, like the type library's.
#pragma once
#include "platform/rpc/interfaces.h"
#include "platform/rpc/marshal.h"
#include "service/typelib/OpcDa.h"

template <>
struct plat::rpc::TaskFree<opc::OPCSERVERSTATUS> {
    static constexpr bool kOwns = true;
    static void Free(opc::OPCSERVERSTATUS& s) { opc::FreeServerStatus(s); }
};
template <>
struct plat::rpc::TaskFree<opc::OPCITEMATTRIBUTES> {
    static constexpr bool kOwns = true;
    static void Free(opc::OPCITEMATTRIBUTES& a) { opc::FreeItemAttributes(a); }
};

NORVALT_RPC_RECORD(opc::OPCSERVERSTATUS, ftStartTime, ftCurrentTime, ftLastUpdateTime,
                   dwServerState, dwGroupCount, dwBandWidth, wMajorVersion, wMinorVersion,
                   wBuildNumber, wReserved, szVendorInfo)

// Field by field; the blob as u32 count + bytes (its count is dwBlobSize on arrival).
template <>
struct plat::rpc::Codec<opc::OPCITEMATTRIBUTES> {
    static constexpr size_t kMinBytes =
        2 * Codec<char16_t*>::kMinBytes + 4 * 4 + 4 + 2 * 2 + 4 + Codec<Variant>::kMinBytes;
    static void Write(Writer& w, const opc::OPCITEMATTRIBUTES& a) {
        Codec<char16_t*>::Write(w, a.szAccessPath);
        Codec<char16_t*>::Write(w, a.szItemID);
        w.I32(a.bActive);
        w.U32(a.hClient);
        w.U32(a.hServer);
        w.U32(a.dwAccessRights);
        const uint32_t n = a.pBlob ? a.dwBlobSize : 0;
        w.U32(n);
        w.Raw(a.pBlob, n);
        w.U16(a.vtRequestedDataType);
        w.U16(a.vtCanonicalDataType);
        w.U32(a.dwEUType);
        Codec<Variant>::Write(w, a.vEUInfo);
    }
    // What was read before a failure stays in `a` for its owner to free.
    static bool Read(Reader& r, opc::OPCITEMATTRIBUTES& a) {
        uint32_t eu = 0, n = 0;
        if (!Codec<char16_t*>::Read(r, a.szAccessPath) || !Codec<char16_t*>::Read(r, a.szItemID) ||
            !r.I32(a.bActive) || !r.U32(a.hClient) || !r.U32(a.hServer) ||
            !r.U32(a.dwAccessRights) || !r.Count(n, 1))
            return false;
        if (n) {
            a.pBlob = static_cast<uint8_t*>(CoTaskMemAlloc(n));
            if (!a.pBlob) return false;
            a.dwBlobSize = n;
            if (!r.Raw(a.pBlob, n)) return false;
        }
        if (!r.U16(a.vtRequestedDataType) || !r.U16(a.vtCanonicalDataType) || !r.U32(eu))
            return false;
        a.dwEUType = static_cast<opc::OPCEUTYPE>(eu);
        return Codec<Variant>::Read(r, a.vEUInfo);
    }
};

#define OPC_RPC_IENUMUNKNOWN(M)                                           \
    M(Next, 3, ::plat::rpc::FillIs<1, 0, 2>, ::plat::rpc::OptionalOut<2>) \
    M(Skip, 1)                                                            \
    M(Reset, 0)                                                           \
    M(Clone, 1)
NORVALT_RPC_INTERFACE(opc::IEnumUnknown, OPC_RPC_IENUMUNKNOWN)

#define OPC_RPC_IENUMSTRING(M)                                            \
    M(Next, 3, ::plat::rpc::FillIs<1, 0, 2>, ::plat::rpc::OptionalOut<2>) \
    M(Skip, 1)                                                            \
    M(Reset, 0)                                                           \
    M(Clone, 1)
NORVALT_RPC_INTERFACE(opc::IEnumString, OPC_RPC_IENUMSTRING)

#define OPC_RPC_IENUMOPCITEMATTRIBUTES(M) \
    M(Next, 3, ::plat::rpc::SizeIs<1, 2>) \
    M(Skip, 1)                            \
    M(Reset, 0)                           \
    M(Clone, 1)
NORVALT_RPC_INTERFACE(opc::IEnumOPCItemAttributes, OPC_RPC_IENUMOPCITEMATTRIBUTES)

#define OPC_RPC_IOPCCOMMON(M)                                \
    M(SetLocaleID, 1)                                        \
    M(GetLocaleID, 1)                                        \
    M(QueryAvailableLocaleIDs, 2, ::plat::rpc::SizeIs<1, 0>) \
    M(GetErrorString, 2)                                     \
    M(SetClientName, 1)
NORVALT_RPC_INTERFACE(opc::IOPCCommon, OPC_RPC_IOPCCOMMON)

#define OPC_RPC_IOPCSERVER(M)                                                                  \
    M(AddGroup, 11, ::plat::rpc::Unique<4>, ::plat::rpc::Unique<5>, ::plat::rpc::IidIs<10, 9>) \
    M(GetErrorString, 3)                                                                       \
    M(GetGroupByName, 3, ::plat::rpc::IidIs<2, 1>)                                             \
    M(GetStatus, 1)                                                                            \
    M(RemoveGroup, 2)                                                                          \
    M(CreateGroupEnumerator, 3, ::plat::rpc::IidIs<2, 1>)
NORVALT_RPC_INTERFACE(opc::IOPCServer, OPC_RPC_IOPCSERVER)

#define OPC_RPC_IOPCBROWSESERVERADDRESSSPACE(M) \
    M(QueryOrganization, 1)                     \
    M(ChangeBrowsePosition, 2)                  \
    M(BrowseOPCItemIDs, 5)                      \
    M(GetItemID, 2)                             \
    M(BrowseAccessPaths, 2)
NORVALT_RPC_INTERFACE(opc::IOPCBrowseServerAddressSpace, OPC_RPC_IOPCBROWSESERVERADDRESSSPACE)

#define OPC_RPC_IOPCITEMPROPERTIES(M)                                                    \
    M(QueryAvailableProperties, 5, ::plat::rpc::SizeIs<2, 1>, ::plat::rpc::SizeIs<3, 1>, \
      ::plat::rpc::SizeIs<4, 1>)                                                         \
    M(GetItemProperties, 5, ::plat::rpc::SizeIs<2, 1>, ::plat::rpc::SizeIs<3, 1>,        \
      ::plat::rpc::SizeIs<4, 1>)                                                         \
    M(LookupItemIDs, 5, ::plat::rpc::SizeIs<2, 1>, ::plat::rpc::SizeIs<3, 1>,            \
      ::plat::rpc::SizeIs<4, 1>)
NORVALT_RPC_INTERFACE(opc::IOPCItemProperties, OPC_RPC_IOPCITEMPROPERTIES)

#define OPC_RPC_IOPCSHUTDOWN(M) M(ShutdownRequest, 1)
NORVALT_RPC_INTERFACE(opc::IOPCShutdown, OPC_RPC_IOPCSHUTDOWN)

namespace opc {

// Every OPC DA interface, for a program that receives them by IID (creation, QueryInterface,
// groups and enumerators asked for by riid). Call once at start.
inline void RegisterOpcDaInterfaces() {
    plat::rpc::RegisterInterfaces<IEnumUnknown, IEnumString, IEnumOPCItemAttributes, IOPCCommon,
                                  IOPCServer, IOPCBrowseServerAddressSpace, IOPCItemProperties,
                                  IOPCShutdown>();
}

}  // namespace opc
