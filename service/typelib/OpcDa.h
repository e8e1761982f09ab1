// The published OPC Data Access 2.0 interfaces the server answers, with their published ids,
// enumerations and records. Same shape as the type library: HRESULT results, in parameters by
// value or const pointer, out parameters by pointer. Memory handed out (strings, arrays,
// records) comes from the task allocator and is freed by the receiver.
#pragma once
#include <cstdint>

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

// Frees what a record points to (not the record itself), as its receiver must.
inline void FreeServerStatus(OPCSERVERSTATUS& s) {
    plat::CoTaskMemFree(s.szVendorInfo);
    s.szVendorInfo = nullptr;
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

}  // namespace opc
