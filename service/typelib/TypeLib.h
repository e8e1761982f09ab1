// The service's type library: everything a client sees outside the published OPC interfaces.
// Codes, records, interfaces and class ids. The object transport builds its method tables from
// this header, so every method has the same shape: HRESULT result, in parameters by value or
// const reference, out parameters by pointer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/types/guid.h"
#include "platform/types/hresult.h"
#include "platform/types/variant.h"
#include "platform/types/wstr.h"

namespace tlb {

using plat::HRESULT;
using DISPID = int32_t;

namespace detail {

consteval uint32_t HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    throw std::invalid_argument("not a hex digit");  // a compile error in a constant
}

consteval uint32_t Hex(const char* s, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v << 4 | HexDigit(s[i]);
    return v;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time, so the ids read as registered.
consteval plat::GUID Guid(const char (&s)[39]) {
    if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
        throw std::invalid_argument("malformed GUID");
    plat::GUID g{};
    g.Data1 = Hex(s + 1, 8);
    g.Data2 = static_cast<uint16_t>(Hex(s + 10, 4));
    g.Data3 = static_cast<uint16_t>(Hex(s + 15, 4));
    g.Data4[0] = static_cast<uint8_t>(Hex(s + 20, 2));
    g.Data4[1] = static_cast<uint8_t>(Hex(s + 22, 2));
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(Hex(s + 25 + 2 * i, 2));
    return g;
}

}  // namespace detail

// --- Library ----------------------------------------------------------------------------------

inline constexpr std::string_view kLibName = "NorvaltDrv";
inline constexpr plat::GUID LIBID_NorvaltDrv =
    detail::Guid("{F6702C6A-4A90-4873-B43C-C03EA082CA77}");
inline constexpr uint16_t kLibVersionMajor = 1;
inline constexpr uint16_t kLibVersionMinor = 0;
inline constexpr uint32_t kLibLcid = 0x409;
inline constexpr std::string_view kLibHelpString = "Library for access to Norvalt's hardware";

// --- Enumerations (32-bit) ----------------------------------------------------------------------

inline constexpr plat::GUID GUID_TStateEnum =
    detail::Guid("{2DA2DB99-E984-43FF-9DE3-B58381C82001}");
enum TStateEnum : int32_t {
    csIdle = 0,
    csWaitingKey = 1,
    csWaitingKeyAfterPause = 3,
    csWorking = 7,
    csPaused = 80,
    csNone = 160,
    csUnknown = 168,
    csCommError = 169,
    csHardwareError = 176,
    csControllerError = 177,
    csSensorError = 178,
    csConfigError = 179,
    csOldController = 186,
    csNewController = 188,
    csFire = 255,
};

inline constexpr plat::GUID GUID_TVariableEnum =
    detail::Guid("{F271243A-CA1D-4382-B0A5-12371869E2C2}");
enum TVariableEnum : int32_t {
    cvStartStop = 0,
    cvEarthed = 1,
    cvHandleState = 2,
    cvDozeV = 3,
    cvDozeM = 4,
    cvDozeW = 5,
    cvCurrentV = 6,
    cvCurrentM = 7,
    cvCurrentW = 8,
    cvTotalV = 9,
    cvTotalM = 10,
    cvTotalW = 11,
    cvTemperature = 12,
    cvLiterPrice = 13,
    cvCalibV = 14,
    cvInspector = 15,
    cvFullUp = 16,
    cvFullDown = 17,
    cvUSSWaitTime = 18,
    cvAirTime = 19,
    cvTrapState = 20,
    cvPropan = 21,
    cvKGPrice = 22,
    cvBasePost = 23,
    cvSide = 24,
    cvPistol = 25,
    cvFirmwareVersion = 26,
    cvControllerVersion = 27,
    cvCounterVersion = 28,
    cvProductivity = 29,
    cvOverFill = 30,
    cvIndicatedPistol = 31,
    cvAddress = 32,
    cvLabDensity = 33,
    cvLabTemperature = 34,
    cvDensity = 35,
    cvStateWithFlags = 36,
    cvCalibW = 37,
    cvSidePost = 38,
    cvException = 39,
    cvReqS = 40,
    cvVCal1K = 64,
    cvVCal1F = 96,
    cvVCal2K = 65,
    cvVCal2F = 97,
    cvVCal3K = 66,
    cvVCal3F = 98,
    cvVCal4K = 67,
    cvVCal4F = 99,
};

// Outcome codes of the INorvalt out parameters. The OPC names carry the library's own values,
// which are not all the published OPC codes (OPC_E_INVALIDHANDLE is 0xC004000F here, 0xC0040001
// in plat): clients compare against these, so they stay as the library declares them.
inline constexpr plat::GUID GUID_TCmdResult =
    detail::Guid("{34839C37-BF75-473E-A05A-779EFF997B52}");
enum TCmdResult : int32_t {
    E_TIMEOUT = -1,
    E_INCOMPATIBLESTATE = -2,
    E_BADVARIABLE = -3,
    E_UNKNOWNPOST = -4,
    E_NOANSWER = -5,
    E_BADINTERVAL = -6,
    E_CANCELLED = -7,
    E_BAD_QUALITY_ON_SET_DOZE = -8,
    CmdBegin = 0x7FFF0000,
    CmdEnd = 0x7FFFFFFF,
    OPC_E_RANGE = -1073479669,          // 0xC004000B
    OPC_E_BADRIGHTS = -1073479674,      // 0xC0040006
    OPC_E_BADTYPE = -1073479676,        // 0xC0040004
    OPC_E_INVALIDITEMID = -1073479672,  // 0xC0040008
    OPC_E_INVALIDHANDLE = -1073479665,  // 0xC004000F
    E_ADDRCONFLICT = INT32_MIN,         // 0x80000000
};

// CmdBegin..CmdEnd: a queued command; anything else: a TCmdResult, 0 for success, or an HRESULT.
inline constexpr plat::GUID GUID_TCmdID = detail::Guid("{2F4DF752-0F78-4B52-A702-914037A2AA69}");
using TCmdID = int32_t;

constexpr bool IsCmdID(TCmdID v) {
    return (static_cast<uint32_t>(v) >> 16) == 0x7FFFu;
}

// --- Records ------------------------------------------------------------------------------------

inline constexpr plat::GUID GUID_TVariableValue =
    detail::Guid("{CA85E5B5-5E3B-43E8-9925-01B47694CC9D}");
struct TVariableValue {
    plat::Currency Value;        // value x 10000
    plat::DATE TimeStamp = 0.0;  // OLE date
};
static_assert(sizeof(TVariableValue) == 16);
static_assert(offsetof(TVariableValue, TimeStamp) == 8);

// Packed to 4 as the library declares it: the date follows the state without a gap.
#pragma pack(push, 4)
inline constexpr plat::GUID GUID_TState = detail::Guid("{DCB31A7B-FBB6-4FB6-AC4B-7456527A3D7E}");
struct TState {
    TStateEnum Value = csIdle;
    plat::DATE TimeStamp = 0.0;
};
#pragma pack(pop)
static_assert(sizeof(TState) == 12);
static_assert(offsetof(TState, TimeStamp) == 4);

// Descriptor of one post variable. The library's record is 44 bytes with 32-bit BSTR pointers in
// it; a 64-bit process cannot hold that layout with real strings, so C++ code works with this
// record (strings owned) and TVariableInfoWire is the 44-byte layout for anything that crosses a
// process: there the two string slots carry the strings' lengths in UTF-16 code units and the
// strings follow the record (PackVariableInfo / UnpackVariableInfo).
inline constexpr plat::GUID GUID_TVariableInfo =
    detail::Guid("{D57CC606-B5AC-4B21-94F7-89364A7E6C3B}");
struct TVariableInfo {
    TVariableEnum Code = cvStartStop;
    plat::WideString ShortName;
    plat::WideString Name;
    plat::VARIANT_BOOL IsReadable = plat::VARIANT_FALSE;
    plat::VARIANT_BOOL IsWriteable = plat::VARIANT_FALSE;
    plat::Currency MinValue;
    plat::Currency MaxValue;
    plat::Currency Step;
    int8_t BelongsTo = 0;  // category of the variable
    plat::VARIANT_BOOL IsRandom = plat::VARIANT_FALSE;

    bool operator==(const TVariableInfo&) const = default;
};

#pragma pack(push, 4)
struct TVariableInfoWire {
    TVariableEnum Code;
    uint32_t ShortName;  // length of ShortName in code units
    uint32_t Name;       // length of Name in code units
    plat::VARIANT_BOOL IsReadable;
    plat::VARIANT_BOOL IsWriteable;
    plat::Currency MinValue;
    plat::Currency MaxValue;
    plat::Currency Step;
    int8_t BelongsTo;
    uint8_t Reserved;  // alignment byte, written as 0
    plat::VARIANT_BOOL IsRandom;
};
#pragma pack(pop)
static_assert(sizeof(TVariableInfoWire) == 44);
static_assert(offsetof(TVariableInfoWire, ShortName) == 4);
static_assert(offsetof(TVariableInfoWire, Name) == 8);
static_assert(offsetof(TVariableInfoWire, IsReadable) == 12);
static_assert(offsetof(TVariableInfoWire, IsWriteable) == 14);
static_assert(offsetof(TVariableInfoWire, MinValue) == 16);
static_assert(offsetof(TVariableInfoWire, MaxValue) == 24);
static_assert(offsetof(TVariableInfoWire, Step) == 32);
static_assert(offsetof(TVariableInfoWire, BelongsTo) == 40);
static_assert(offsetof(TVariableInfoWire, IsRandom) == 42);

// Wire form: the 44-byte record, then ShortName, then Name, as UTF-16 code units in host byte
// order. Strings longer than a BSTR can hold throw std::length_error.
inline std::vector<uint8_t> PackVariableInfo(const TVariableInfo& info) {
    constexpr size_t kMaxChars = 0x7FFFFFFF / 2;
    if (info.ShortName.size() > kMaxChars || info.Name.size() > kMaxChars)
        throw std::length_error("TVariableInfo string too long");
    TVariableInfoWire w{};
    w.Code = info.Code;
    w.ShortName = static_cast<uint32_t>(info.ShortName.size());
    w.Name = static_cast<uint32_t>(info.Name.size());
    w.IsReadable = info.IsReadable;
    w.IsWriteable = info.IsWriteable;
    w.MinValue = info.MinValue;
    w.MaxValue = info.MaxValue;
    w.Step = info.Step;
    w.BelongsTo = info.BelongsTo;
    w.Reserved = 0;
    w.IsRandom = info.IsRandom;
    const size_t a = info.ShortName.size() * sizeof(char16_t);
    const size_t b = info.Name.size() * sizeof(char16_t);
    std::vector<uint8_t> out(sizeof w + a + b);
    std::memcpy(out.data(), &w, sizeof w);
    if (a) std::memcpy(out.data() + sizeof w, info.ShortName.data(), a);
    if (b) std::memcpy(out.data() + sizeof w + a, info.Name.data(), b);
    return out;
}

// nullopt unless `bytes` is exactly one record with the string lengths it declares.
inline std::optional<TVariableInfo> UnpackVariableInfo(std::span<const uint8_t> bytes) {
    TVariableInfoWire w;
    if (bytes.size() < sizeof w) return std::nullopt;
    std::memcpy(&w, bytes.data(), sizeof w);
    const uint64_t a = uint64_t{w.ShortName} * sizeof(char16_t);
    const uint64_t b = uint64_t{w.Name} * sizeof(char16_t);
    if (sizeof w + a + b != bytes.size()) return std::nullopt;
    TVariableInfo info;
    info.Code = w.Code;
    info.ShortName.resize(w.ShortName);
    info.Name.resize(w.Name);
    if (a) std::memcpy(info.ShortName.data(), bytes.data() + sizeof w, a);
    if (b) std::memcpy(info.Name.data(), bytes.data() + sizeof w + a, b);
    info.IsReadable = w.IsReadable;
    info.IsWriteable = w.IsWriteable;
    info.MinValue = w.MinValue;
    info.MaxValue = w.MaxValue;
    info.Step = w.Step;
    info.BelongsTo = w.BelongsTo;
    info.IsRandom = w.IsRandom;
    return info;
}

// --- Interfaces ---------------------------------------------------------------------------------

// One method as a client of the library sees it: name, dispatch id and vtable slot (IUnknown
// takes slots 0-2, IDispatch 3-6 on a dual interface). kMethods lists the methods an interface
// adds, in slot order.
struct TMethodDesc {
    std::string_view Name;
    DISPID Dispid;
    int VtblSlot;
};

inline constexpr plat::IID IID_INorvaltEvents =
    detail::Guid("{682D5ADB-7BF8-4DFF-A4AA-DD1579DC07E4}");
inline constexpr plat::IID IID_INorvaltEventsEx =
    detail::Guid("{682D5ADC-7BF8-4DFF-A4AA-DD1579DC07E4}");
inline constexpr plat::IID IID_INorvalt = detail::Guid("{D5D4D2E4-3080-4B6B-B4C0-4274DE7D54E8}");
inline constexpr plat::IID IID_IDrvControl = detail::Guid("{CB828D38-29F0-4DE6-8AB7-DDAE6F62DE5C}");
inline constexpr plat::IID IID_IHWEmuReg = detail::Guid("{0890DE41-5FFF-46C2-9032-841F2FE2942B}");
inline constexpr plat::IID IID_IHWEmu = detail::Guid("{C4A598EF-73C4-4DFE-9A5C-9A6BB5BFE7D5}");
inline constexpr plat::IID IID_IOPCItemSamplingMgtExt =
    detail::Guid("{D8738C30-D93B-46F5-8921-D3D90E7018CF}");

// Event sink of a client; post numbers are signed 8-bit here.
struct INorvaltEvents : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_INorvaltEvents; }
    struct Disp {
        static constexpr DISPID PostFound = 1;
        static constexpr DISPID StateChanged = 2;
        static constexpr DISPID VarValueChanged = 3;
        static constexpr DISPID PostDeleted = 4;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"PostFound", Disp::PostFound, 3},
        {"StateChanged", Disp::StateChanged, 4},
        {"VarValueChanged", Disp::VarValueChanged, 5},
        {"PostDeleted", Disp::PostDeleted, 6},
    };

    virtual HRESULT PostFound(int8_t Post) = 0;
    virtual HRESULT StateChanged(int8_t Post, TState State) = 0;
    virtual HRESULT VarValueChanged(int8_t Post, TVariableEnum Variable, TVariableValue Value) = 0;
    virtual HRESULT PostDeleted(int8_t Post) = 0;
};

struct INorvaltEventsEx : public virtual INorvaltEvents {
    static const plat::IID& GetIID() { return IID_INorvaltEventsEx; }
    struct Disp : INorvaltEvents::Disp {
        static constexpr DISPID PostWithoutChanges = 5;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"PostWithoutChanges", Disp::PostWithoutChanges, 7},
    };

    virtual HRESULT PostWithoutChanges(int8_t Post, plat::DATE Stamp) = 0;
};

// Post access by post number. A dual interface in the library (seven IDispatch slots before its
// own); our transport calls it by method, so only IUnknown is inherited here.
// decisions TLB-1
struct INorvalt : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_INorvalt; }
    struct Disp {
        static constexpr DISPID StateJumpValid = 1;
        static constexpr DISPID GetState = 2;
        static constexpr DISPID SetState = 3;
        static constexpr DISPID ReReadVarValue = 4;
        static constexpr DISPID GetVariablesCount = 5;
        static constexpr DISPID GetVariable = 6;
        static constexpr DISPID SetVarValue = 7;
        static constexpr DISPID GetVarValue = 8;
        static constexpr DISPID TryResult = 9;
        static constexpr DISPID GetResult = 10;
        static constexpr DISPID GetVarInterval = 11;
        static constexpr DISPID SetVarInterval = 12;
        static constexpr DISPID RegisterSinkInterface = 13;
        static constexpr DISPID RegisterSinkInterfaceEx = 14;
        static constexpr DISPID UnRegisterSinkInterface = 15;
        static constexpr DISPID BandUsed = 16;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"StateJumpValid", Disp::StateJumpValid, 7},
        {"GetState", Disp::GetState, 8},
        {"SetState", Disp::SetState, 9},
        {"ReReadVarValue", Disp::ReReadVarValue, 10},
        {"GetVariablesCount", Disp::GetVariablesCount, 11},
        {"GetVariable", Disp::GetVariable, 12},
        {"SetVarValue", Disp::SetVarValue, 13},
        {"GetVarValue", Disp::GetVarValue, 14},
        {"TryResult", Disp::TryResult, 15},
        {"GetResult", Disp::GetResult, 16},
        {"GetVarInterval", Disp::GetVarInterval, 17},
        {"SetVarInterval", Disp::SetVarInterval, 18},
        {"RegisterSinkInterface", Disp::RegisterSinkInterface, 19},
        {"RegisterSinkInterfaceEx", Disp::RegisterSinkInterfaceEx, 20},
        {"UnRegisterSinkInterface", Disp::UnRegisterSinkInterface, 21},
        {"BandUsed", Disp::BandUsed, 22},
    };

    // The two states are declared with the variable enumeration but carry TStateEnum values.
    virtual HRESULT StateJumpValid(int16_t Post, TVariableEnum StFrom, TVariableEnum StTo,
                                   int32_t* Res) = 0;
    virtual HRESULT GetState(int16_t Post, TState* State) = 0;
    virtual HRESULT SetState(int16_t Post, TStateEnum AState, TCmdID* Res) = 0;
    virtual HRESULT ReReadVarValue(int16_t Post, TVariableEnum Variable, int32_t* Res) = 0;
    virtual HRESULT GetVariablesCount(int16_t Post, int32_t* Count, int32_t* Res) = 0;
    virtual HRESULT GetVariable(int16_t Post, int32_t Number, TVariableInfo* Info,
                                int32_t* Result) = 0;
    virtual HRESULT SetVarValue(int16_t Post, TVariableEnum Variable, plat::Currency AValue,
                                TCmdID* Result) = 0;
    virtual HRESULT GetVarValue(int16_t Post, TVariableEnum Variable, TVariableValue* Val,
                                int32_t* Result) = 0;
    virtual HRESULT TryResult(TCmdID CmdID, TCmdID* Result) = 0;
    virtual HRESULT GetResult(TCmdID CmdID, TCmdID* Result) = 0;
    virtual HRESULT GetVarInterval(int16_t Post, TVariableEnum Variable, uint32_t* IdleInterval,
                                   uint32_t* WorkInterval, int32_t* Result) = 0;
    virtual HRESULT SetVarInterval(int16_t Post, TVariableEnum Variable, uint32_t IdleInterval,
                                   uint32_t WorkInterval, int32_t* Result) = 0;
    virtual HRESULT RegisterSinkInterface(INorvaltEvents* Sink) = 0;
    virtual HRESULT RegisterSinkInterfaceEx(INorvaltEventsEx* Sink) = 0;
    virtual HRESULT UnRegisterSinkInterface() = 0;
    virtual HRESULT BandUsed(double* Result) = 0;
};

// Driver control of the OPC server object. Slot order is not dispatch-id order.
struct IDrvControl : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IDrvControl; }
    struct Disp {
        static constexpr DISPID GetThreadState = 3;
        static constexpr DISPID SetSearchMode = 2;
        static constexpr DISPID Restart = 1;
        static constexpr DISPID SetUsePort = 201;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"GetThreadState", Disp::GetThreadState, 3},
        {"SetSearchMode", Disp::SetSearchMode, 4},
        {"Restart", Disp::Restart, 5},
        {"SetUsePort", Disp::SetUsePort, 6},
    };

    virtual HRESULT GetThreadState(int8_t PortNum, int32_t* State, int32_t* PassesCount) = 0;
    virtual HRESULT SetSearchMode(int8_t bSearch) = 0;
    virtual HRESULT Restart() = 0;
    virtual HRESULT SetUsePort(int32_t PortNum, int8_t Use) = 0;
};

// An emulator's side of one COM port: frames travel as text, one character per byte.
struct IHWEmu : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IHWEmu; }
    struct Disp {
        static constexpr DISPID WriteCall = 201;
        static constexpr DISPID ReadAnswer = 202;
        static constexpr DISPID Purge = 101;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"WriteCall", Disp::WriteCall, 3},
        {"ReadAnswer", Disp::ReadAnswer, 4},
        {"Purge", Disp::Purge, 5},
    };

    virtual HRESULT WriteCall(const plat::WideString& Call) = 0;
    // The caller uses at most 255 characters of the answer.
    virtual HRESULT ReadAnswer(plat::WideString* Answer) = 0;
    virtual HRESULT Purge() = 0;
};

// Registration of emulators by COM port number.
struct IHWEmuReg : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IHWEmuReg; }
    struct Disp {
        static constexpr DISPID Reg = 201;
        static constexpr DISPID Unreg = 202;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"Reg", Disp::Reg, 3},
        {"Unreg", Disp::Unreg, 4},
    };

    virtual HRESULT Reg(int32_t PortNum, int32_t* Protocol, IHWEmu* HWEmu) = 0;
    virtual HRESULT Unreg(int32_t PortNum) = 0;
};

// The system's extension of the OPC group.
struct IOPCItemSamplingMgtExt : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IOPCItemSamplingMgtExt; }
    struct Disp {
        static constexpr DISPID SetItemBufferEnableAndTimeStampControl = 0x60010000;
    };
    static constexpr TMethodDesc kMethods[] = {
        {"SetItemBufferEnableAndTimeStampControl", Disp::SetItemBufferEnableAndTimeStampControl, 3},
    };

    // Arrays of dwCount entries; *ppErrors is allocated by the callee with plat::CoTaskMemAlloc.
    virtual HRESULT SetItemBufferEnableAndTimeStampControl(uint32_t dwCount,
                                                           const uint32_t* phServer,
                                                           const int32_t* pbEnable,
                                                           const int32_t* ptsEarly,
                                                           HRESULT** ppErrors) = 0;
};

// --- Coclasses ----------------------------------------------------------------------------------

// TORK: default interface INorvalt.
inline constexpr plat::CLSID CLSID_TORK = detail::Guid("{40902B39-AC7C-4682-9E76-EC41E0F2A4A4}");
inline constexpr std::string_view kHelpTORK = "Norvalt simplified hardware access server";
// DA2: default IUnknown, plus IDrvControl and IHWEmuReg; its OPC interfaces are not declared here.
inline constexpr plat::CLSID CLSID_DA2 = detail::Guid("{40902B3A-AC7C-4682-9E76-EC41E0F2A4A4}");
inline constexpr std::string_view kHelpDA2 = "Norvalt OPC DA2 Server";

}  // namespace tlb
