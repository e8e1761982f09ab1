// The transport of the OPC DA server interfaces (service/typelib/OpcDa.h): one method list per
// interface, in slot order, from which the proxies and stubs are made (platform/rpc/marshal.h).
// Header-only, like the type library's.
#pragma once
#include "platform/com/clipboard.h"
#include "platform/rpc/interfaces.h"
#include "platform/rpc/marshal.h"
#include "service/typelib/OpcDa.h"
#include "service/typelib/TypeLibProxy.h"

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
        // decisions TLB-3
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

namespace opc::wire {

// A blob as u32 count + bytes; the receiver's copy is task memory (null for none).
inline void WriteBlob(plat::rpc::Writer& w, const uint8_t* p, uint32_t size) {
    const uint32_t n = p ? size : 0;
    if (n > plat::rpc::kMaxFrame) {
        w.Poison(plat::E_INVALIDARG);
        w.U32(0);
        return;
    }
    w.U32(n);
    w.Raw(p, n);
}
inline bool ReadBlob(plat::rpc::Reader& r, uint8_t*& p, uint32_t& size) {
    uint32_t n = 0;
    if (!r.Count(n, 1)) return false;
    if (!n) return true;
    p = static_cast<uint8_t*>(plat::CoTaskMemAlloc(n));
    if (!p) return false;
    size = n;
    return r.Raw(p, n);
}

inline void FreeItemDef(OPCITEMDEF& d) {
    plat::CoTaskMemFree(d.szAccessPath);
    plat::CoTaskMemFree(d.szItemID);
    plat::CoTaskMemFree(d.pBlob);
    d.szAccessPath = d.szItemID = nullptr;
    d.pBlob = nullptr;
    d.dwBlobSize = 0;
}

// decisions TLB-6
inline constexpr plat::HRESULT DV_E_TYMED = plat::MakeHr(0x80040069);

}  // namespace opc::wire

template <>
struct plat::rpc::TaskFree<opc::OPCITEMDEF> {
    static constexpr bool kOwns = true;
    static void Free(opc::OPCITEMDEF& d) { opc::wire::FreeItemDef(d); }
};
template <>
struct plat::rpc::TaskFree<opc::OPCITEMRESULT> {
    static constexpr bool kOwns = true;
    static void Free(opc::OPCITEMRESULT& r) { opc::FreeItemResult(r); }
};

// The callee of an in array gets its own task copies of the strings and the blob, given back
// after the call.
template <>
struct plat::rpc::Codec<opc::OPCITEMDEF> {
    static constexpr size_t kMinBytes = 2 * Codec<char16_t*>::kMinBytes + 4 + 4 + 4 + 2 + 2;
    static void Write(Writer& w, const opc::OPCITEMDEF& d) {
        Codec<char16_t*>::Write(w, d.szAccessPath);
        Codec<char16_t*>::Write(w, d.szItemID);
        w.I32(d.bActive);
        w.U32(d.hClient);
        opc::wire::WriteBlob(w, d.pBlob, d.dwBlobSize);
        w.U16(d.vtRequestedDataType);
        w.U16(d.wReserved);
    }
    // What was read before a failure stays in `d` for its owner to free.
    static bool Read(Reader& r, opc::OPCITEMDEF& d) {
        return Codec<char16_t*>::Read(r, d.szAccessPath) && Codec<char16_t*>::Read(r, d.szItemID) &&
               r.I32(d.bActive) && r.U32(d.hClient) &&
               opc::wire::ReadBlob(r, d.pBlob, d.dwBlobSize) && r.U16(d.vtRequestedDataType) &&
               r.U16(d.wReserved);
    }
};

template <>
struct plat::rpc::Codec<opc::OPCITEMRESULT> {
    static constexpr size_t kMinBytes = 4 + 2 + 2 + 4 + 4;
    static void Write(Writer& w, const opc::OPCITEMRESULT& a) {
        w.U32(a.hServer);
        w.U16(a.vtCanonicalDataType);
        w.U16(a.wReserved);
        w.U32(a.dwAccessRights);
        opc::wire::WriteBlob(w, a.pBlob, a.dwBlobSize);
    }
    static bool Read(Reader& r, opc::OPCITEMRESULT& a) {
        return r.U32(a.hServer) && r.U16(a.vtCanonicalDataType) && r.U16(a.wReserved) &&
               r.U32(a.dwAccessRights) && opc::wire::ReadBlob(r, a.pBlob, a.dwBlobSize);
    }
};

NORVALT_RPC_RECORD(opc::OPCITEMSTATE, hClient, ftTimeStamp, wQuality, wReserved, vDataValue)

// A registered format travels by name, since its number is only good on the sender's
// computer: u8 1 + the name, which the receiver maps to its own number (0 when the name is not
// registered there, which no advise or data request matches). A predefined format travels as
// u8 0 + its number. The target device never travels.
template <>
// decisions TLB-5
struct plat::rpc::Codec<opc::FORMATETC> {
    static constexpr size_t kMinBytes = 1 + 2 + 4 + 4 + 4;
    static void Write(Writer& w, const opc::FORMATETC& f) {
        std::u16string name;
        if (f.cfFormat >= plat::kFirstRegisteredFormat &&
            plat::GetClipboardFormatName(f.cfFormat, name)) {
            w.U8(1);
            Codec<WideString>::Write(w, name);
        } else {
            w.U8(0);
            w.U16(f.cfFormat < plat::kFirstRegisteredFormat ? f.cfFormat : 0);
        }
        w.U32(f.dwAspect);
        w.I32(f.lindex);
        w.U32(f.tymed);
    }
    static bool Read(Reader& r, opc::FORMATETC& f) {
        uint8_t by_name = 0;
        if (!r.U8(by_name) || by_name > 1) return false;
        f.ptd = nullptr;
        if (by_name) {
            uint32_t n = 0;
            if (!r.Count(n, sizeof(char16_t)) || n == 0 || n > plat::kMaxClipboardFormatName)
                return false;
            std::u16string name(n, u'\0');
            if (!r.Raw(name.data(), size_t{n} * sizeof(char16_t))) return false;
            f.cfFormat = plat::FindClipboardFormat(name);
        } else {
            uint16_t cf = 0;
            if (!r.U16(cf) || cf >= plat::kFirstRegisteredFormat) return false;
            f.cfFormat = cf;
        }
        return r.U32(f.dwAspect) && r.I32(f.lindex) && r.U32(f.tymed);
    }
};

// Global memory only, as its bytes (bounded by the frame); an empty medium (tymed 0) carries
// nothing. Any other medium cannot be carried: the call fails with DV_E_TYMED.
template <>
struct plat::rpc::Codec<opc::STGMEDIUM> {
    static constexpr size_t kMinBytes = 4;
    static void Write(Writer& w, const opc::STGMEDIUM& m) {
        if (m.tymed != opc::TYMED_HGLOBAL && m.tymed != 0) {
            w.Poison(opc::wire::DV_E_TYMED);
            w.U32(0);
            return;
        }
        w.U32(m.tymed);
        if (m.tymed == 0) return;
        if (m.hGlobal.size() > plat::rpc::kMaxFrame) {
            w.Poison(plat::E_OUTOFMEMORY);
            w.U32(0);
            return;
        }
        w.U32(static_cast<uint32_t>(m.hGlobal.size()));
        w.Raw(m.hGlobal.data(), m.hGlobal.size());
    }
    static bool Read(Reader& r, opc::STGMEDIUM& m) {
        uint32_t n = 0;
        if (!r.U32(m.tymed)) return false;
        m.hGlobal.clear();
        if (m.tymed == 0) return true;
        if (m.tymed != opc::TYMED_HGLOBAL || !r.Count(n, 1)) return false;
        m.hGlobal.resize(n);
        return r.Raw(m.hGlobal.data(), n);
    }
};

// decisions PLAT-RPC-10, PLAT-RPC-11
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

// decisions TLB-2
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

#define OPC_RPC_IOPCGROUPSTATEMGT(M)                                                       \
    M(GetState, 8)                                                                         \
    M(SetState, 7, ::plat::rpc::Unique<0>, ::plat::rpc::Unique<2>, ::plat::rpc::Unique<3>, \
      ::plat::rpc::Unique<4>, ::plat::rpc::Unique<5>, ::plat::rpc::Unique<6>)              \
    M(SetName, 1)                                                                          \
    M(CloneGroup, 3, ::plat::rpc::IidIs<2, 1>)
NORVALT_RPC_INTERFACE(opc::IOPCGroupStateMgt, OPC_RPC_IOPCGROUPSTATEMGT)

#define OPC_RPC_IOPCGROUPSTATEMGT2(M) \
    OPC_RPC_IOPCGROUPSTATEMGT(M)      \
    M(SetKeepAlive, 2)                \
    M(GetKeepAlive, 1)
NORVALT_RPC_INTERFACE(opc::IOPCGroupStateMgt2, OPC_RPC_IOPCGROUPSTATEMGT2)

#define OPC_RPC_IOPCITEMMGT(M)                                                   \
    M(AddItems, 4, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>,         \
      ::plat::rpc::SizeIs<3, 0>)                                                 \
    M(ValidateItems, 5, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<3, 0>,    \
      ::plat::rpc::SizeIs<4, 0>)                                                 \
    M(RemoveItems, 3, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>)      \
    M(SetActiveState, 4, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<3, 0>)   \
    M(SetClientHandles, 4, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>, \
      ::plat::rpc::SizeIs<3, 0>)                                                 \
    M(SetDatatypes, 4, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>,     \
      ::plat::rpc::SizeIs<3, 0>)                                                 \
    M(CreateEnumerator, 2, ::plat::rpc::IidIs<1, 0>)
NORVALT_RPC_INTERFACE(opc::IOPCItemMgt, OPC_RPC_IOPCITEMMGT)

#define OPC_RPC_IOPCSYNCIO(M)                                                                   \
    M(Read, 5, ::plat::rpc::SizeIs<2, 1>, ::plat::rpc::SizeIs<3, 1>, ::plat::rpc::SizeIs<4, 1>) \
    M(Write, 4, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>, ::plat::rpc::SizeIs<3, 0>)
NORVALT_RPC_INTERFACE(opc::IOPCSyncIO, OPC_RPC_IOPCSYNCIO)

#define OPC_RPC_IOPCASYNCIO(M)                                                                   \
    M(Read, 6, ::plat::rpc::SizeIs<3, 2>, ::plat::rpc::SizeIs<5, 2>)                             \
    M(Write, 6, ::plat::rpc::SizeIs<2, 1>, ::plat::rpc::SizeIs<3, 1>, ::plat::rpc::SizeIs<5, 1>) \
    M(Refresh, 3)                                                                                \
    M(Cancel, 1)
NORVALT_RPC_INTERFACE(opc::IOPCAsyncIO, OPC_RPC_IOPCASYNCIO)

#define OPC_RPC_IOPCASYNCIO2(M)                                                                  \
    M(Read, 5, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<4, 0>)                             \
    M(Write, 6, ::plat::rpc::SizeIs<1, 0>, ::plat::rpc::SizeIs<2, 0>, ::plat::rpc::SizeIs<5, 0>) \
    M(Refresh2, 3)                                                                               \
    M(Cancel2, 1)                                                                                \
    M(SetEnable, 1)                                                                              \
    M(GetEnable, 1)
NORVALT_RPC_INTERFACE(opc::IOPCAsyncIO2, OPC_RPC_IOPCASYNCIO2)

#define OPC_RPC_DATA_ARRAYS_                                                         \
    ::plat::rpc::SizeIs<5, 4>, ::plat::rpc::SizeIs<6, 4>, ::plat::rpc::SizeIs<7, 4>, \
        ::plat::rpc::SizeIs<8, 4>, ::plat::rpc::SizeIs<9, 4>
#define OPC_RPC_IOPCDATACALLBACK(M)                                             \
    M(OnDataChange, 10, OPC_RPC_DATA_ARRAYS_)                                   \
    M(OnReadComplete, 10, OPC_RPC_DATA_ARRAYS_)                                 \
    M(OnWriteComplete, 6, ::plat::rpc::SizeIs<4, 3>, ::plat::rpc::SizeIs<5, 3>) \
    M(OnCancelComplete, 2)
NORVALT_RPC_INTERFACE(opc::IOPCDataCallback, OPC_RPC_IOPCDATACALLBACK)

#define OPC_RPC_IADVISESINK(M)                                         \
    M(OnDataChange, 2, ::plat::rpc::Unique<0>, ::plat::rpc::Unique<1>) \
    M(OnViewChange, 2)                                                 \
    M(OnRename, 1)                                                     \
    M(OnSave, 0)                                                       \
    M(OnClose, 0)
NORVALT_RPC_INTERFACE(opc::IAdviseSink, OPC_RPC_IADVISESINK)

#define OPC_RPC_IDATAOBJECT(M)                                    \
    M(GetData, 2, ::plat::rpc::Unique<0>)                         \
    M(GetDataHere, 2, ::plat::rpc::Unique<0>)                     \
    M(QueryGetData, 1, ::plat::rpc::Unique<0>)                    \
    M(GetCanonicalFormatEtc, 2, ::plat::rpc::Unique<0>)           \
    M(SetData, 3, ::plat::rpc::Unique<0>, ::plat::rpc::Unique<1>) \
    M(EnumFormatEtc, 2)                                           \
    M(DAdvise, 4, ::plat::rpc::Unique<0>)                         \
    M(DUnadvise, 1)                                               \
    M(EnumDAdvise, 1)
NORVALT_RPC_INTERFACE(opc::IDataObject, OPC_RPC_IDATAOBJECT)

namespace opc {

// Every OPC DA interface, for a program that receives them by IID (creation, QueryInterface,
// groups and enumerators asked for by riid). Call once at start.
inline void RegisterOpcDaInterfaces() {
    plat::rpc::RegisterInterfaces<IEnumUnknown, IEnumString, IEnumOPCItemAttributes, IOPCCommon,
                                  IOPCServer, IOPCBrowseServerAddressSpace, IOPCItemProperties,
                                  IOPCShutdown, IOPCGroupStateMgt, IOPCGroupStateMgt2, IOPCItemMgt,
                                  IOPCSyncIO, IOPCAsyncIO, IOPCAsyncIO2, IOPCDataCallback,
                                  IAdviseSink, IDataObject, tlb::IOPCItemSamplingMgtExt>();
}

}  // namespace opc
