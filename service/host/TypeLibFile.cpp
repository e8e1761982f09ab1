#include "service/host/TypeLibFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "platform/com/error.h"
#include "service/typelib/TypeLib.h"

namespace tlb::file {

namespace {

constexpr uint16_t kFormat = 1;

constexpr std::vector<Method> MethodsOf(std::span<const TMethodDesc> descs) {
    std::vector<Method> out;
    for (const TMethodDesc& d : descs) out.push_back({std::string(d.Name), d.Dispid, d.VtblSlot});
    return out;
}

// Everything below is evaluated by the compiler: the library's bytes are a constant.
constexpr TypeLibInfo Describe() {
    TypeLibInfo lib;
    lib.name = std::string(kLibName);
    lib.libid = LIBID_NorvaltDrv;
    lib.major = kLibVersionMajor;
    lib.minor = kLibVersionMinor;
    lib.lcid = kLibLcid;
    lib.help = std::string(kLibHelpString);

    lib.enumerations = {
        {"TStateEnum",
         GUID_TStateEnum,
         {{"csIdle", csIdle},
          {"csWaitingKey", csWaitingKey},
          {"csWaitingKeyAfterPause", csWaitingKeyAfterPause},
          {"csWorking", csWorking},
          {"csPaused", csPaused},
          {"csNone", csNone},
          {"csUnknown", csUnknown},
          {"csCommError", csCommError},
          {"csHardwareError", csHardwareError},
          {"csControllerError", csControllerError},
          {"csSensorError", csSensorError},
          {"csConfigError", csConfigError},
          {"csOldController", csOldController},
          {"csNewController", csNewController},
          {"csFire", csFire}}},
        {"TVariableEnum",
         GUID_TVariableEnum,
         {{"cvStartStop", cvStartStop},
          {"cvEarthed", cvEarthed},
          {"cvHandleState", cvHandleState},
          {"cvDozeV", cvDozeV},
          {"cvDozeM", cvDozeM},
          {"cvDozeW", cvDozeW},
          {"cvCurrentV", cvCurrentV},
          {"cvCurrentM", cvCurrentM},
          {"cvCurrentW", cvCurrentW},
          {"cvTotalV", cvTotalV},
          {"cvTotalM", cvTotalM},
          {"cvTotalW", cvTotalW},
          {"cvTemperature", cvTemperature},
          {"cvLiterPrice", cvLiterPrice},
          {"cvCalibV", cvCalibV},
          {"cvInspector", cvInspector},
          {"cvFullUp", cvFullUp},
          {"cvFullDown", cvFullDown},
          {"cvUSSWaitTime", cvUSSWaitTime},
          {"cvAirTime", cvAirTime},
          {"cvTrapState", cvTrapState},
          {"cvPropan", cvPropan},
          {"cvKGPrice", cvKGPrice},
          {"cvBasePost", cvBasePost},
          {"cvSide", cvSide},
          {"cvPistol", cvPistol},
          {"cvFirmwareVersion", cvFirmwareVersion},
          {"cvControllerVersion", cvControllerVersion},
          {"cvCounterVersion", cvCounterVersion},
          {"cvProductivity", cvProductivity},
          {"cvOverFill", cvOverFill},
          {"cvIndicatedPistol", cvIndicatedPistol},
          {"cvAddress", cvAddress},
          {"cvLabDensity", cvLabDensity},
          {"cvLabTemperature", cvLabTemperature},
          {"cvDensity", cvDensity},
          {"cvStateWithFlags", cvStateWithFlags},
          {"cvCalibW", cvCalibW},
          {"cvSidePost", cvSidePost},
          {"cvException", cvException},
          {"cvReqS", cvReqS},
          // Each K directly before its F, as the library lists them.
          {"cvVCal1K", cvVCal1K},
          {"cvVCal1F", cvVCal1F},
          {"cvVCal2K", cvVCal2K},
          {"cvVCal2F", cvVCal2F},
          {"cvVCal3K", cvVCal3K},
          {"cvVCal3F", cvVCal3F},
          {"cvVCal4K", cvVCal4K},
          {"cvVCal4F", cvVCal4F}}},
        {"TCmdResult",
         GUID_TCmdResult,
         {{"E_TIMEOUT", E_TIMEOUT},
          {"E_INCOMPATIBLESTATE", E_INCOMPATIBLESTATE},
          {"E_BADVARIABLE", E_BADVARIABLE},
          {"E_UNKNOWNPOST", E_UNKNOWNPOST},
          {"E_NOANSWER", E_NOANSWER},
          {"E_BADINTERVAL", E_BADINTERVAL},
          {"E_CANCELLED", E_CANCELLED},
          {"E_BAD_QUALITY_ON_SET_DOZE", E_BAD_QUALITY_ON_SET_DOZE},
          {"CmdBegin", CmdBegin},
          {"CmdEnd", CmdEnd},
          {"OPC_E_RANGE", OPC_E_RANGE},
          {"OPC_E_BADRIGHTS", OPC_E_BADRIGHTS},
          {"OPC_E_BADTYPE", OPC_E_BADTYPE},
          {"OPC_E_INVALIDITEMID", OPC_E_INVALIDITEMID},
          {"OPC_E_INVALIDHANDLE", OPC_E_INVALIDHANDLE},
          {"E_ADDRCONFLICT", E_ADDRCONFLICT}}},
    };

    lib.aliases = {{"TCmdID", GUID_TCmdID, "int32"}};

    // TVariableInfo in its library layout: the wire record's offsets, BSTRs in the string slots.
    lib.records = {
        {"TVariableValue",
         GUID_TVariableValue,
         sizeof(TVariableValue),
         {{"Value", "Currency", offsetof(TVariableValue, Value)},
          {"TimeStamp", "DATE", offsetof(TVariableValue, TimeStamp)}}},
        {"TState",
         GUID_TState,
         sizeof(TState),
         {{"Value", "TStateEnum", offsetof(TState, Value)},
          {"TimeStamp", "DATE", offsetof(TState, TimeStamp)}}},
        {"TVariableInfo",
         GUID_TVariableInfo,
         sizeof(TVariableInfoWire),
         {{"Code", "TVariableEnum", offsetof(TVariableInfoWire, Code)},
          {"ShortName", "BSTR", offsetof(TVariableInfoWire, ShortName)},
          {"Name", "BSTR", offsetof(TVariableInfoWire, Name)},
          {"IsReadable", "VARIANT_BOOL", offsetof(TVariableInfoWire, IsReadable)},
          {"IsWriteable", "VARIANT_BOOL", offsetof(TVariableInfoWire, IsWriteable)},
          {"MinValue", "Currency", offsetof(TVariableInfoWire, MinValue)},
          {"MaxValue", "Currency", offsetof(TVariableInfoWire, MaxValue)},
          {"Step", "Currency", offsetof(TVariableInfoWire, Step)},
          {"BelongsTo", "int8", offsetof(TVariableInfoWire, BelongsTo)},
          {"IsRandom", "VARIANT_BOOL", offsetof(TVariableInfoWire, IsRandom)}}},
    };

    lib.interfaces = {
        {"INorvaltEvents", IID_INorvaltEvents, "IUnknown", kOleAutomation,
         MethodsOf(INorvaltEvents::kMethods)},
        {"INorvaltEventsEx", IID_INorvaltEventsEx, "INorvaltEvents", kOleAutomation,
         MethodsOf(INorvaltEventsEx::kMethods)},
        {"INorvalt", IID_INorvalt, "IDispatch", kDual | kOleAutomation,
         MethodsOf(INorvalt::kMethods)},
        {"IDrvControl", IID_IDrvControl, "IUnknown", kOleAutomation,
         MethodsOf(IDrvControl::kMethods)},
        {"IHWEmuReg", IID_IHWEmuReg, "IUnknown", kOleAutomation, MethodsOf(IHWEmuReg::kMethods)},
        {"IHWEmu", IID_IHWEmu, "IUnknown", kOleAutomation, MethodsOf(IHWEmu::kMethods)},
        {"IOPCItemSamplingMgtExt", IID_IOPCItemSamplingMgtExt, "IUnknown", kOleAutomation,
         MethodsOf(IOPCItemSamplingMgtExt::kMethods)},
    };

    lib.coclasses = {
        {"TORK", CLSID_TORK, std::string(kHelpTORK), {{"INorvalt", kDefault}}},
        {"DA2",
         CLSID_DA2,
         std::string(kHelpDA2),
         {{"IUnknown", kDefault}, {"IDrvControl", 0}, {"IHWEmuReg", 0}}},
    };
    return lib;
}

// The file's layout after its header, once for both directions: the writer visits a
// description, the reader fills a new one in the same order.
template <class A, class T>
constexpr void Layout(A& a, T& x) {
    using U = std::remove_const_t<T>;
    if constexpr (std::is_same_v<U, TypeLibInfo>) {
        a(x.libid), a(x.major), a(x.minor), a(x.lcid), a(x.name), a(x.help);
        a.List(x.enumerations), a.List(x.aliases), a.List(x.records);
        a.List(x.interfaces), a.List(x.coclasses);
    } else if constexpr (std::is_same_v<U, Enumeration>) {
        a(x.name), a(x.guid), a.List(x.members);
    } else if constexpr (std::is_same_v<U, EnumMember>) {
        a(x.name), a(x.value);
    } else if constexpr (std::is_same_v<U, Alias>) {
        a(x.name), a(x.guid), a(x.type);
    } else if constexpr (std::is_same_v<U, Record>) {
        a(x.name), a(x.guid), a(x.size), a.List(x.fields);
    } else if constexpr (std::is_same_v<U, Field>) {
        a(x.name), a(x.type), a(x.offset);
    } else if constexpr (std::is_same_v<U, Interface>) {
        a(x.name), a(x.iid), a(x.parent), a(x.flags), a.List(x.methods);
    } else if constexpr (std::is_same_v<U, Method>) {
        a(x.name), a(x.dispid), a(x.slot);
    } else if constexpr (std::is_same_v<U, Coclass>) {
        a(x.name), a(x.clsid), a(x.help), a.List(x.interfaces);
    } else {
        static_assert(std::is_same_v<U, CoclassMember>);
        a(x.interface), a(x.flags);
    }
}

class Writer {
  public:
    constexpr void U8(uint8_t v) { out_.push_back(v); }
    constexpr void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    constexpr void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    constexpr void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    constexpr void Count(size_t n) {
        if (n > 0xFFFF) throw std::length_error("type library list too long");
        U16(static_cast<uint16_t>(n));
    }
    constexpr void Str(const std::string& s) {
        Count(s.size());
        for (char c : s) U8(static_cast<uint8_t>(c));
    }
    constexpr void Guid(const plat::GUID& g) {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        for (uint8_t b : g.Data4) U8(b);
    }
    constexpr std::vector<uint8_t> Take() { return std::move(out_); }

    // The layout's visit of a field or a counted list.
    constexpr void operator()(uint8_t v) { U8(v); }
    constexpr void operator()(uint16_t v) { U16(v); }
    constexpr void operator()(uint32_t v) { U32(v); }
    constexpr void operator()(int32_t v) { I32(v); }
    constexpr void operator()(const std::string& s) { Str(s); }
    constexpr void operator()(const plat::GUID& g) { Guid(g); }
    template <class T>
    constexpr void List(const std::vector<T>& v) {
        Count(v.size());
        for (const T& x : v) Layout(*this, x);
    }

  private:
    std::vector<uint8_t> out_;
};

constexpr std::vector<uint8_t> Serialise(const TypeLibInfo& lib) {
    Writer w;
    for (char c : std::string_view("NVTL")) w.U8(static_cast<uint8_t>(c));
    w.U16(kFormat);
    w.U16(0);
    Layout(w, lib);
    return w.Take();
}

constexpr size_t kEmbeddedSize = Serialise(Describe()).size();
constexpr std::array<uint8_t, kEmbeddedSize> kEmbedded = [] {
    std::array<uint8_t, kEmbeddedSize> a{};
    const std::vector<uint8_t> v = Serialise(Describe());
    for (size_t i = 0; i < a.size(); ++i) a[i] = v[i];
    return a;
}();

// Every read checks what is left, so a cut or hostile file fails instead of reading past it.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return pos_ == b_.size(); }
    uint8_t U8() { return Take(1) ? b_[pos_ - 1] : 0; }
    uint16_t U16() {
        if (!Take(2)) return 0;
        return static_cast<uint16_t>(b_[pos_ - 2] | b_[pos_ - 1] << 8);
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | uint32_t{U16()} << 16;
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    std::string Str() {
        const uint16_t n = U16();
        if (!Take(n)) return {};
        return std::string(reinterpret_cast<const char*>(b_.data() + pos_ - n), n);
    }
    plat::GUID Guid() {
        plat::GUID g;
        g.Data1 = U32();
        g.Data2 = U16();
        g.Data3 = U16();
        for (uint8_t& b : g.Data4) b = U8();
        return g;
    }

    void operator()(uint8_t& v) { v = U8(); }
    void operator()(uint16_t& v) { v = U16(); }
    void operator()(uint32_t& v) { v = U32(); }
    void operator()(int32_t& v) { v = I32(); }
    void operator()(std::string& s) { s = Str(); }
    void operator()(plat::GUID& g) { g = Guid(); }
    // Stops at the first failure so a bogus count costs nothing.
    template <class T>
    void List(std::vector<T>& v) {
        const uint16_t n = U16();
        for (uint16_t i = 0; i < n && ok(); ++i) Layout(*this, v.emplace_back());
    }

  private:
    bool Take(size_t n) {
        if (!ok_ || b_.size() - pos_ < n) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

TypeLibInfo DescribeTypeLib() {
    return Describe();
}

std::span<const uint8_t> EmbeddedTypeLib() {
    return kEmbedded;
}

std::vector<uint8_t> WriteTypeLib(const TypeLibInfo& info) {
    return Serialise(info);
}

std::optional<TypeLibInfo> ReadTypeLib(std::span<const uint8_t> bytes) {
    Reader r(bytes);
    const bool magic = r.U8() == 'N' && r.U8() == 'V' && r.U8() == 'T' && r.U8() == 'L';
    if (!magic || r.U16() != kFormat || r.U16() != 0) return std::nullopt;
    TypeLibInfo lib;
    Layout(r, lib);
    if (!r.ok() || !r.AtEnd()) return std::nullopt;
    return lib;
}

std::string WriteTypeLibFile(const std::string& folder) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    path += kTypeLibFileName;
    const std::span<const uint8_t> bytes = EmbeddedTypeLib();
    auto fail = [&](const char* step) {
        throw plat::ComError(
            plat::HresultFromWin32(plat::ERROR_CANTWRITE),
            std::string("Cannot ") + step + " " + path + ": " + std::strerror(errno));
    };
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("create");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            errno = e;
            fail("write");
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) fail("write");
    return path;
}

}  // namespace tlb::file
