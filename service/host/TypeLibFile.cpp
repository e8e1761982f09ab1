#include "service/host/TypeLibFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string_view>

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

  private:
    std::vector<uint8_t> out_;
};

constexpr std::vector<uint8_t> Serialise(const TypeLibInfo& lib) {
    Writer w;
    for (char c : std::string_view("NVTL")) w.U8(static_cast<uint8_t>(c));
    w.U16(kFormat);
    w.U16(0);
    w.Guid(lib.libid);
    w.U16(lib.major);
    w.U16(lib.minor);
    w.U32(lib.lcid);
    w.Str(lib.name);
    w.Str(lib.help);
    w.Count(lib.enumerations.size());
    for (const Enumeration& e : lib.enumerations) {
        w.Str(e.name);
        w.Guid(e.guid);
        w.Count(e.members.size());
        for (const EnumMember& m : e.members) {
            w.Str(m.name);
            w.I32(m.value);
        }
    }
    w.Count(lib.aliases.size());
    for (const Alias& a : lib.aliases) {
        w.Str(a.name);
        w.Guid(a.guid);
        w.Str(a.type);
    }
    w.Count(lib.records.size());
    for (const Record& r : lib.records) {
        w.Str(r.name);
        w.Guid(r.guid);
        w.U32(r.size);
        w.Count(r.fields.size());
        for (const Field& f : r.fields) {
            w.Str(f.name);
            w.Str(f.type);
            w.U32(f.offset);
        }
    }
    w.Count(lib.interfaces.size());
    for (const Interface& i : lib.interfaces) {
        w.Str(i.name);
        w.Guid(i.iid);
        w.Str(i.parent);
        w.U8(i.flags);
        w.Count(i.methods.size());
        for (const Method& m : i.methods) {
            w.Str(m.name);
            w.I32(m.dispid);
            w.I32(m.slot);
        }
    }
    w.Count(lib.coclasses.size());
    for (const Coclass& c : lib.coclasses) {
        w.Str(c.name);
        w.Guid(c.clsid);
        w.Str(c.help);
        w.Count(c.interfaces.size());
        for (const CoclassMember& m : c.interfaces) {
            w.Str(m.interface);
            w.U8(m.flags);
        }
    }
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

// Reads a counted list; stops at the first failure so a bogus count costs nothing.
template <class T, class Fn>
void ReadList(Reader& r, std::vector<T>& out, Fn&& one) {
    const uint16_t n = r.U16();
    for (uint16_t i = 0; i < n && r.ok(); ++i) out.push_back(one());
}

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
    lib.libid = r.Guid();
    lib.major = r.U16();
    lib.minor = r.U16();
    lib.lcid = r.U32();
    lib.name = r.Str();
    lib.help = r.Str();
    ReadList(r, lib.enumerations, [&] {
        Enumeration e;
        e.name = r.Str();
        e.guid = r.Guid();
        ReadList(r, e.members, [&] {
            EnumMember m;
            m.name = r.Str();
            m.value = r.I32();
            return m;
        });
        return e;
    });
    ReadList(r, lib.aliases, [&] {
        Alias a;
        a.name = r.Str();
        a.guid = r.Guid();
        a.type = r.Str();
        return a;
    });
    ReadList(r, lib.records, [&] {
        Record rec;
        rec.name = r.Str();
        rec.guid = r.Guid();
        rec.size = r.U32();
        ReadList(r, rec.fields, [&] {
            Field f;
            f.name = r.Str();
            f.type = r.Str();
            f.offset = r.U32();
            return f;
        });
        return rec;
    });
    ReadList(r, lib.interfaces, [&] {
        Interface i;
        i.name = r.Str();
        i.iid = r.Guid();
        i.parent = r.Str();
        i.flags = r.U8();
        ReadList(r, i.methods, [&] {
            Method m;
            m.name = r.Str();
            m.dispid = r.I32();
            m.slot = r.I32();
            return m;
        });
        return i;
    });
    ReadList(r, lib.coclasses, [&] {
        Coclass c;
        c.name = r.Str();
        c.clsid = r.Guid();
        c.help = r.Str();
        ReadList(r, c.interfaces, [&] {
            CoclassMember m;
            m.interface = r.Str();
            m.flags = r.U8();
            return m;
        });
        return c;
    });
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
