// The type library as a file: the declarations of service/typelib/TypeLib.h serialised at
// compile time into bytes linked into the executable, written out on request ("NorvaltDrv.TLB")
// and read back by anyone who needs the library's ids, codes, layouts and slots.
//
// Layout (little-endian; a string is a 16-bit byte count and UTF-8; a GUID its 16 bytes in the
// Windows order):
//   "NVTL", u16 format (1), u16 0
//   library:    GUID libid, u16 major, u16 minor, u32 lcid, name, help
//   u16 n enumerations: name, GUID, u16 n, (name, i32 value)...
//   u16 n aliases:      name, GUID, type name
//   u16 n records:      name, GUID, u32 size, u16 n, (name, type name, u32 offset)...
//   u16 n interfaces:   name, IID, parent name, u8 flags, u16 n, (name, i32 dispid, i32 slot)...
//   u16 n coclasses:    name, CLSID, help, u16 n, (interface name, u8 flags)...
// decisions HOST-7
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/types/guid.h"

namespace tlb::file {

struct EnumMember {
    std::string name;
    int32_t value = 0;
    bool operator==(const EnumMember&) const = default;
};
struct Enumeration {
    std::string name;
    plat::GUID guid;
    std::vector<EnumMember> members;
    bool operator==(const Enumeration&) const = default;
};
struct Alias {
    std::string name;
    plat::GUID guid;
    std::string type;
    bool operator==(const Alias&) const = default;
};
struct Field {
    std::string name;
    std::string type;
    uint32_t offset = 0;
    bool operator==(const Field&) const = default;
};
struct Record {
    std::string name;
    plat::GUID guid;
    uint32_t size = 0;
    std::vector<Field> fields;
    bool operator==(const Record&) const = default;
};
struct Method {
    std::string name;
    int32_t dispid = 0;
    int32_t slot = 0;  // vtable slot, IUnknown (and IDispatch on a dual interface) included
    bool operator==(const Method&) const = default;
};
enum : uint8_t { kDual = 1, kOleAutomation = 2 };
struct Interface {
    std::string name;
    plat::IID iid;
    std::string parent;
    uint8_t flags = 0;
    std::vector<Method> methods;  // the ones this interface adds, slot order
    bool operator==(const Interface&) const = default;
};
enum : uint8_t { kDefault = 1, kSource = 2 };
struct CoclassMember {
    std::string interface;
    uint8_t flags = 0;
    bool operator==(const CoclassMember&) const = default;
};
struct Coclass {
    std::string name;
    plat::CLSID clsid;
    std::string help;
    std::vector<CoclassMember> interfaces;
    bool operator==(const Coclass&) const = default;
};
struct TypeLibInfo {
    std::string name;
    plat::GUID libid;
    uint16_t major = 0;
    uint16_t minor = 0;
    uint32_t lcid = 0;
    std::string help;
    std::vector<Enumeration> enumerations;
    std::vector<Alias> aliases;
    std::vector<Record> records;
    std::vector<Interface> interfaces;
    std::vector<Coclass> coclasses;
    bool operator==(const TypeLibInfo&) const = default;
};

// The library as the declarations give it.
TypeLibInfo DescribeTypeLib();
// The bytes built from DescribeTypeLib when the program was compiled.
std::span<const uint8_t> EmbeddedTypeLib();
// Serialises `info`; throws std::length_error when a name or a list exceeds 65535.
std::vector<uint8_t> WriteTypeLib(const TypeLibInfo& info);
// nullopt unless `bytes` is exactly one well-formed library.
std::optional<TypeLibInfo> ReadTypeLib(std::span<const uint8_t> bytes);

// File name of the written library.
// decisions HOST-6
inline constexpr const char* kTypeLibFileName = "NorvaltDrv.TLB";
// Writes the embedded bytes, byte for byte, to kTypeLibFileName in `folder` (created or
// overwritten) and returns the file's path; throws plat::ComError naming the failing step.
std::string WriteTypeLibFile(const std::string& folder);

}  // namespace tlb::file
