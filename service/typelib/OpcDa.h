// The published OPC Data Access 2.0 interfaces the server answers, with their published ids,
// enumerations and records. Same shape as the type library: HRESULT results, in parameters by
// value or const pointer, out parameters by pointer. Memory handed out (strings, arrays,
// records) comes from the task allocator and is freed by the receiver.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/guid.h"
#include "platform/types/hresult.h"
#include "platform/types/variant.h"
#include "service/typelib/TypeLib.h"

namespace opc {

using plat::HRESULT;
using plat::LCID;
using plat::VARTYPE;
using OPCHANDLE = uint32_t;
using BOOL = int32_t;

// --- Enumerations ---------------------------------------------------------------------------

enum OPCNAMESPACETYPE : uint32_t { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION : uint32_t { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCBROWSETYPE : uint32_t { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
enum OPCENUMSCOPE : uint32_t {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6,
};
enum OPCSERVERSTATE : uint32_t {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5,
};
enum OPCEUTYPE : uint32_t { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCDATASOURCE : uint32_t { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };

// --- Records --------------------------------------------------------------------------------

struct OPCSERVERSTATUS {
    plat::FILETIME ftStartTime{};
    plat::FILETIME ftCurrentTime{};
    plat::FILETIME ftLastUpdateTime{};
    OPCSERVERSTATE dwServerState = OPC_STATUS_RUNNING;
    uint32_t dwGroupCount = 0;
    uint32_t dwBandWidth = 0;
    uint16_t wMajorVersion = 0;
    uint16_t wMinorVersion = 0;
    uint16_t wBuildNumber = 0;
    uint16_t wReserved = 0;
    char16_t* szVendorInfo = nullptr;  // task memory
};

struct OPCITEMATTRIBUTES {
    char16_t* szAccessPath = nullptr;  // task memory
    char16_t* szItemID = nullptr;      // task memory
    BOOL bActive = 0;
    OPCHANDLE hClient = 0;
    OPCHANDLE hServer = 0;
    uint32_t dwAccessRights = 0;
    uint32_t dwBlobSize = 0;
    uint8_t* pBlob = nullptr;  // task memory, dwBlobSize bytes
    VARTYPE vtRequestedDataType = 0;
    VARTYPE vtCanonicalDataType = 0;
    OPCEUTYPE dwEUType = OPC_NOENUM;
    plat::Variant vEUInfo;
};

struct OPCITEMDEF {
    char16_t* szAccessPath = nullptr;
    char16_t* szItemID = nullptr;
    BOOL bActive = 0;
    OPCHANDLE hClient = 0;
    uint32_t dwBlobSize = 0;
    uint8_t* pBlob = nullptr;
    VARTYPE vtRequestedDataType = 0;
    uint16_t wReserved = 0;
};

struct OPCITEMRESULT {
    OPCHANDLE hServer = 0;
    VARTYPE vtCanonicalDataType = 0;
    uint16_t wReserved = 0;
    uint32_t dwAccessRights = 0;
    uint32_t dwBlobSize = 0;
    uint8_t* pBlob = nullptr;  // task memory, dwBlobSize bytes
};

struct OPCITEMSTATE {
    OPCHANDLE hClient = 0;
    plat::FILETIME ftTimeStamp{};
    uint16_t wQuality = 0;
    uint16_t wReserved = 0;
    plat::Variant vDataValue;
};

// Clipboard format numbers (RegisterClipboardFormat); DA 1.0 streams are named formats.
using CLIPFORMAT = uint16_t;
constexpr uint32_t DVASPECT_CONTENT = 1;
constexpr uint32_t TYMED_HGLOBAL = 1;
constexpr uint32_t ADVF_PRIMEFIRST = 4;

// The target device is never used by the DA 1.0 streams and does not travel: always null.
struct FORMATETC {
    CLIPFORMAT cfFormat = 0;
    void* ptd = nullptr;
    uint32_t dwAspect = DVASPECT_CONTENT;
    int32_t lindex = -1;
    uint32_t tymed = TYMED_HGLOBAL;
};

// Only global memory is carried, as its bytes; no release object travels.
struct STGMEDIUM {
    uint32_t tymed = TYMED_HGLOBAL;
    std::vector<uint8_t> hGlobal;
};

// Frees what a record points to (not the record itself), as its receiver must.
inline void FreeServerStatus(OPCSERVERSTATUS& s) {
    plat::CoTaskMemFree(s.szVendorInfo);
    s.szVendorInfo = nullptr;
}
inline void FreeItemResult(OPCITEMRESULT& r) {
    plat::CoTaskMemFree(r.pBlob);
    r.pBlob = nullptr;
    r.dwBlobSize = 0;
}
inline void FreeItemAttributes(OPCITEMATTRIBUTES& a) {
    plat::CoTaskMemFree(a.szAccessPath);
    plat::CoTaskMemFree(a.szItemID);
    plat::CoTaskMemFree(a.pBlob);
    a.szAccessPath = a.szItemID = nullptr;
    a.pBlob = nullptr;
    a.dwBlobSize = 0;
    a.vEUInfo = plat::Variant();
}

// --- Interface ids --------------------------------------------------------------------------

inline constexpr plat::IID IID_IOPCServer =
    tlb::detail::Guid("{39C13A4D-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCBrowseServerAddressSpace =
    tlb::detail::Guid("{39C13A4F-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IEnumOPCItemAttributes =
    tlb::detail::Guid("{39C13A55-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCItemProperties =
    tlb::detail::Guid("{39C13A72-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCCommon =
    tlb::detail::Guid("{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}");
inline constexpr plat::IID IID_IOPCShutdown =
    tlb::detail::Guid("{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}");
inline constexpr plat::IID IID_IEnumUnknown =
    tlb::detail::Guid("{00000100-0000-0000-C000-000000000046}");
inline constexpr plat::IID IID_IEnumString =
    tlb::detail::Guid("{00000101-0000-0000-C000-000000000046}");

inline constexpr plat::IID IID_IOPCGroupStateMgt =
    tlb::detail::Guid("{39C13A50-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCSyncIO =
    tlb::detail::Guid("{39C13A52-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCAsyncIO =
    tlb::detail::Guid("{39C13A53-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCItemMgt =
    tlb::detail::Guid("{39C13A54-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCDataCallback =
    tlb::detail::Guid("{39C13A70-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCAsyncIO2 =
    tlb::detail::Guid("{39C13A71-011E-11D0-9675-0020AFD8ADB3}");
inline constexpr plat::IID IID_IOPCGroupStateMgt2 =
    tlb::detail::Guid("{8E368666-D72E-4F78-87ED-647611C61C9F}");
inline constexpr plat::IID IID_IDataObject =
    tlb::detail::Guid("{0000010E-0000-0000-C000-000000000046}");
inline constexpr plat::IID IID_IAdviseSink =
    tlb::detail::Guid("{0000010F-0000-0000-C000-000000000046}");

// --- Enumerators ----------------------------------------------------------------------------

// Next fills the caller's rgelt (room for celt) and sets *pceltFetched; a null pceltFetched is
// allowed when celt is 1. S_FALSE when fewer than celt were left.
struct IEnumUnknown : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IEnumUnknown; }
    virtual HRESULT Next(uint32_t celt, plat::IUnknown** rgelt, uint32_t* pceltFetched) = 0;
    virtual HRESULT Skip(uint32_t celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumUnknown** ppenum) = 0;
};

// The strings put into rgelt are task memory.
struct IEnumString : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IEnumString; }
    virtual HRESULT Next(uint32_t celt, char16_t** rgelt, uint32_t* pceltFetched) = 0;
    virtual HRESULT Skip(uint32_t celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumString** ppenum) = 0;
};

// Next allocates *ppItemArray (task memory, *pceltFetched records).
struct IEnumOPCItemAttributes : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IEnumOPCItemAttributes; }
    virtual HRESULT Next(uint32_t celt, OPCITEMATTRIBUTES** ppItemArray,
                         uint32_t* pceltFetched) = 0;
    virtual HRESULT Skip(uint32_t celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

// --- Server interfaces ----------------------------------------------------------------------

struct IOPCCommon : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCCommon; }
    virtual HRESULT SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT GetLocaleID(LCID* pdwLcid) = 0;
    virtual HRESULT QueryAvailableLocaleIDs(uint32_t* pdwCount, LCID** pdwLcid) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, char16_t** ppString) = 0;
    virtual HRESULT SetClientName(const char16_t* szName) = 0;
};

struct IOPCServer : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCServer; }
    // pTimeBias and pPercentDeadband are optional; ppUnk receives the interface riid names.
    virtual HRESULT AddGroup(const char16_t* szName, BOOL bActive, uint32_t dwRequestedUpdateRate,
                             OPCHANDLE hClientGroup, const int32_t* pTimeBias,
                             const float* pPercentDeadband, LCID dwLCID, OPCHANDLE* phServerGroup,
                             uint32_t* pRevisedUpdateRate, const plat::IID& riid, void** ppUnk) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, char16_t** ppString) = 0;
    virtual HRESULT GetGroupByName(const char16_t* szName, const plat::IID& riid, void** ppUnk) = 0;
    // *ppServerStatus is one record in task memory.
    virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, const plat::IID& riid,
                                          void** ppUnk) = 0;
};

struct IOPCBrowseServerAddressSpace : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCBrowseServerAddressSpace; }
    virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                         const char16_t* szString) = 0;
    virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                     const char16_t* szFilterCriteria, VARTYPE vtDataTypeFilter,
                                     uint32_t dwAccessRightsFilter,
                                     IEnumString** ppIEnumString) = 0;
    virtual HRESULT GetItemID(const char16_t* szItemDataID, char16_t** szItemID) = 0;
    virtual HRESULT BrowseAccessPaths(const char16_t* szItemID,
                                      IEnumString** ppIEnumAccessPaths) = 0;
};

struct IOPCItemProperties : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCItemProperties; }
    // Three arrays of *pdwCount entries, task memory; the descriptions are task strings.
    virtual HRESULT QueryAvailableProperties(const char16_t* szItemID, uint32_t* pdwCount,
                                             uint32_t** ppPropertyIDs, char16_t*** ppDescriptions,
                                             VARTYPE** ppvtDataTypes) = 0;
    virtual HRESULT GetItemProperties(const char16_t* szItemID, uint32_t dwCount,
                                      const uint32_t* pdwPropertyIDs, plat::Variant** ppvData,
                                      HRESULT** ppErrors) = 0;
    virtual HRESULT LookupItemIDs(const char16_t* szItemID, uint32_t dwCount,
                                  const uint32_t* pdwPropertyIDs, char16_t*** ppszNewItemIDs,
                                  HRESULT** ppErrors) = 0;
};

struct IOPCShutdown : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCShutdown; }
    virtual HRESULT ShutdownRequest(const char16_t* szReason) = 0;
};

// --- Group interfaces -----------------------------------------------------------------------

struct IOPCGroupStateMgt : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCGroupStateMgt; }
    virtual HRESULT GetState(uint32_t* pUpdateRate, BOOL* pActive, char16_t** ppName,
                             int32_t* pTimeBias, float* pPercentDeadband, LCID* pLCID,
                             OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) = 0;
    // Every in pointer is optional: null leaves that setting as it is.
    virtual HRESULT SetState(const uint32_t* pRequestedUpdateRate, uint32_t* pRevisedUpdateRate,
                             const BOOL* pActive, const int32_t* pTimeBias,
                             const float* pPercentDeadband, const LCID* pLCID,
                             const OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT SetName(const char16_t* szName) = 0;
    virtual HRESULT CloneGroup(const char16_t* szName, const plat::IID& riid, void** ppUnk) = 0;
};

struct IOPCGroupStateMgt2 : public virtual IOPCGroupStateMgt {
    static const plat::IID& GetIID() { return IID_IOPCGroupStateMgt2; }
    virtual HRESULT SetKeepAlive(uint32_t dwKeepAliveTime, uint32_t* pdwRevisedKeepAliveTime) = 0;
    virtual HRESULT GetKeepAlive(uint32_t* pdwKeepAliveTime) = 0;
};

// Arrays of dwCount entries in, task-memory arrays of dwCount entries out.
struct IOPCItemMgt : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCItemMgt; }
    virtual HRESULT AddItems(uint32_t dwCount, const OPCITEMDEF* pItemArray,
                             OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) = 0;
    virtual HRESULT ValidateItems(uint32_t dwCount, const OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                  OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
    virtual HRESULT RemoveItems(uint32_t dwCount, const OPCHANDLE* phServer,
                                HRESULT** ppErrors) = 0;
    virtual HRESULT SetActiveState(uint32_t dwCount, const OPCHANDLE* phServer, BOOL bActive,
                                   HRESULT** ppErrors) = 0;
    virtual HRESULT SetClientHandles(uint32_t dwCount, const OPCHANDLE* phServer,
                                     const OPCHANDLE* phClient, HRESULT** ppErrors) = 0;
    virtual HRESULT SetDatatypes(uint32_t dwCount, const OPCHANDLE* phServer,
                                 const VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) = 0;
    // riid is IEnumOPCItemAttributes.
    virtual HRESULT CreateEnumerator(const plat::IID& riid, void** ppUnk) = 0;
};

struct IOPCSyncIO : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCSyncIO; }
    virtual HRESULT Read(OPCDATASOURCE dwSource, uint32_t dwCount, const OPCHANDLE* phServer,
                         OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) = 0;
    virtual HRESULT Write(uint32_t dwCount, const OPCHANDLE* phServer,
                          const plat::Variant* pItemValues, HRESULT** ppErrors) = 0;
};

// DA 1.0 asynchronous access; answers go to the IDataObject advise sinks.
struct IOPCAsyncIO : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCAsyncIO; }
    virtual HRESULT Read(uint32_t dwConnection, OPCDATASOURCE dwSource, uint32_t dwCount,
                         const OPCHANDLE* phServer, uint32_t* pTransactionID,
                         HRESULT** ppErrors) = 0;
    virtual HRESULT Write(uint32_t dwConnection, uint32_t dwCount, const OPCHANDLE* phServer,
                          const plat::Variant* pItemValues, uint32_t* pTransactionID,
                          HRESULT** ppErrors) = 0;
    virtual HRESULT Refresh(uint32_t dwConnection, OPCDATASOURCE dwSource,
                            uint32_t* pTransactionID) = 0;
    virtual HRESULT Cancel(uint32_t dwTransactionID) = 0;
};

// DA 2.0 asynchronous access; answers go to the IOPCDataCallback.
struct IOPCAsyncIO2 : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCAsyncIO2; }
    virtual HRESULT Read(uint32_t dwCount, const OPCHANDLE* phServer, uint32_t dwTransactionID,
                         uint32_t* pdwCancelID, HRESULT** ppErrors) = 0;
    virtual HRESULT Write(uint32_t dwCount, const OPCHANDLE* phServer,
                          const plat::Variant* pItemValues, uint32_t dwTransactionID,
                          uint32_t* pdwCancelID, HRESULT** ppErrors) = 0;
    virtual HRESULT Refresh2(OPCDATASOURCE dwSource, uint32_t dwTransactionID,
                             uint32_t* pdwCancelID) = 0;
    virtual HRESULT Cancel2(uint32_t dwCancelID) = 0;
    virtual HRESULT SetEnable(BOOL bEnable) = 0;
    virtual HRESULT GetEnable(BOOL* pbEnable) = 0;
};

// The client's sink of a group's data; arrays of dwCount entries.
struct IOPCDataCallback : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCDataCallback; }
    virtual HRESULT OnDataChange(uint32_t dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                 HRESULT hrMastererror, uint32_t dwCount,
                                 const OPCHANDLE* phClientItems, const plat::Variant* pvValues,
                                 const uint16_t* pwQualities, const plat::FILETIME* pftTimeStamps,
                                 const HRESULT* pErrors) = 0;
    virtual HRESULT OnReadComplete(uint32_t dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                   HRESULT hrMastererror, uint32_t dwCount,
                                   const OPCHANDLE* phClientItems, const plat::Variant* pvValues,
                                   const uint16_t* pwQualities, const plat::FILETIME* pftTimeStamps,
                                   const HRESULT* pErrors) = 0;
    virtual HRESULT OnWriteComplete(uint32_t dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                    uint32_t dwCount, const OPCHANDLE* pClienthandles,
                                    const HRESULT* pErrors) = 0;
    virtual HRESULT OnCancelComplete(uint32_t dwTransid, OPCHANDLE hGroup) = 0;
};

// The DA 1.0 client's sink: a stream block per change.
struct IAdviseSink : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IAdviseSink; }
    virtual HRESULT OnDataChange(const FORMATETC* pFormatetc, const STGMEDIUM* pStgmed) = 0;
    virtual HRESULT OnViewChange(uint32_t dwAspect, int32_t lindex) = 0;
    virtual HRESULT OnRename(plat::IUnknown* pmk) = 0;
    virtual HRESULT OnSave() = 0;
    virtual HRESULT OnClose() = 0;
};

// The DA 1.0 face of a group. The enumerators are not offered (E_NOTIMPL), so they are typed
// as IUnknown.
struct IDataObject : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IDataObject; }
    virtual HRESULT GetData(const FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
    virtual HRESULT GetDataHere(const FORMATETC* pformatetc, STGMEDIUM* pmedium) = 0;
    virtual HRESULT QueryGetData(const FORMATETC* pformatetc) = 0;
    virtual HRESULT GetCanonicalFormatEtc(const FORMATETC* pformatectIn,
                                          FORMATETC* pformatetcOut) = 0;
    virtual HRESULT SetData(const FORMATETC* pformatetc, const STGMEDIUM* pmedium,
                            BOOL fRelease) = 0;
    virtual HRESULT EnumFormatEtc(uint32_t dwDirection, plat::IUnknown** ppenumFormatEtc) = 0;
    virtual HRESULT DAdvise(const FORMATETC* pformatetc, uint32_t advf, IAdviseSink* pAdvSink,
                            uint32_t* pdwConnection) = 0;
    virtual HRESULT DUnadvise(uint32_t dwConnection) = 0;
    virtual HRESULT EnumDAdvise(plat::IUnknown** ppenumAdvise) = 0;
};

}  // namespace opc
