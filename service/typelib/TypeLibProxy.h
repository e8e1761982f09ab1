// The transport of the type library's interfaces: one method list per interface, in slot
// order, from which the proxies and stubs are made (platform/rpc/marshal.h). Header-only, so
// the service, the console and the tests include it without a library of their own.
#pragma once
#include <span>
#include <stdexcept>

#include "platform/com/classes.h"
#include "platform/rpc/marshal.h"
#include "service/typelib/TypeLib.h"

NORVALT_RPC_RECORD(tlb::TVariableValue, Value, TimeStamp)
NORVALT_RPC_RECORD(tlb::TState, Value, TimeStamp)

// TVariableInfo crosses in its 44-byte wire form with the strings after it, as a counted blob.
template <>
struct plat::rpc::Codec<tlb::TVariableInfo> {
    static constexpr size_t kMinBytes = 4 + sizeof(tlb::TVariableInfoWire);
    static void Write(Writer& w, const tlb::TVariableInfo& v) {
        try {
            std::vector<uint8_t> bytes = tlb::PackVariableInfo(v);
            w.U32(static_cast<uint32_t>(bytes.size()));
            w.Raw(bytes.data(), bytes.size());
        } catch (const std::length_error&) {
            w.Poison(E_INVALIDARG);
        }
    }
    static bool Read(Reader& r, tlb::TVariableInfo& v) {
        uint32_t n;
        if (!r.Count(n, 1)) return false;
        auto info = tlb::UnpackVariableInfo(std::span<const uint8_t>(r.Here(), n));
        if (!info || !r.Skip(n)) return false;
        v = std::move(*info);
        return true;
    }
};

#define TLB_RPC_INORVALTEVENTS(M) \
    M(PostFound, 1)               \
    M(StateChanged, 2)            \
    M(VarValueChanged, 3)         \
    M(PostDeleted, 1)
NORVALT_RPC_INTERFACE(tlb::INorvaltEvents, TLB_RPC_INORVALTEVENTS)

#define TLB_RPC_INORVALTEVENTSEX(M) \
    TLB_RPC_INORVALTEVENTS(M)       \
    M(PostWithoutChanges, 2)
NORVALT_RPC_INTERFACE(tlb::INorvaltEventsEx, TLB_RPC_INORVALTEVENTSEX)

#define TLB_RPC_INORVALT(M)       \
    M(StateJumpValid, 4)          \
    M(GetState, 2)                \
    M(SetState, 3)                \
    M(ReReadVarValue, 3)          \
    M(GetVariablesCount, 3)       \
    M(GetVariable, 4)             \
    M(SetVarValue, 4)             \
    M(GetVarValue, 4)             \
    M(TryResult, 2)               \
    M(GetResult, 2)               \
    M(GetVarInterval, 5)          \
    M(SetVarInterval, 5)          \
    M(RegisterSinkInterface, 1)   \
    M(RegisterSinkInterfaceEx, 1) \
    M(UnRegisterSinkInterface, 0) \
    M(BandUsed, 1)
NORVALT_RPC_INTERFACE(tlb::INorvalt, TLB_RPC_INORVALT)

#define TLB_RPC_IDRVCONTROL(M) \
    M(GetThreadState, 3)       \
    M(SetSearchMode, 1)        \
    M(Restart, 0)              \
    M(SetUsePort, 2)
NORVALT_RPC_INTERFACE(tlb::IDrvControl, TLB_RPC_IDRVCONTROL)

#define TLB_RPC_IHWEMU(M) \
    M(WriteCall, 1)       \
    M(ReadAnswer, 1)      \
    M(Purge, 0)
NORVALT_RPC_INTERFACE(tlb::IHWEmu, TLB_RPC_IHWEMU)

#define TLB_RPC_IHWEMUREG(M) \
    M(Reg, 3)                \
    M(Unreg, 1)
NORVALT_RPC_INTERFACE(tlb::IHWEmuReg, TLB_RPC_IHWEMUREG)

#define TLB_RPC_IOPCITEMSAMPLINGMGTEXT(M)                                   \
    M(SetItemBufferEnableAndTimeStampControl, 5, ::plat::rpc::SizeIs<1, 0>, \
      ::plat::rpc::SizeIs<2, 0>, ::plat::rpc::SizeIs<3, 0>, ::plat::rpc::SizeIs<4, 0>)
NORVALT_RPC_INTERFACE(tlb::IOPCItemSamplingMgtExt, TLB_RPC_IOPCITEMSAMPLINGMGTEXT)

namespace tlb {

// Every interface of the library, for a program that receives them by IID (creation,
// QueryInterface). Call once at start.
inline void RegisterTypeLibInterfaces() {
    plat::rpc::RegisterInterfaces<INorvaltEvents, INorvaltEventsEx, INorvalt, IDrvControl, IHWEmu,
                                  IHWEmuReg, IOPCItemSamplingMgtExt>();
}

// The type library's registration records (plat::RegisterTypeLib) for the file at `path`.
inline plat::TypeLibRegistration TypeLibRegistrationFor(const std::string& path) {
    plat::TypeLibRegistration r;
    r.libid = LIBID_NorvaltDrv;
    r.major = kLibVersionMajor;
    r.minor = kLibVersionMinor;
    r.lcid = 0;
    r.help = std::string(kLibHelpString);
    r.path = path;
    r.interfaces = {{IID_INorvaltEvents, "INorvaltEvents"},
                    {IID_INorvaltEventsEx, "INorvaltEventsEx"},
                    {IID_INorvalt, "INorvalt"},
                    {IID_IDrvControl, "IDrvControl"},
                    {IID_IHWEmuReg, "IHWEmuReg"},
                    {IID_IHWEmu, "IHWEmu"},
                    {IID_IOPCItemSamplingMgtExt, "IOPCItemSamplingMgtExt"}};
    return r;
}

}  // namespace tlb
