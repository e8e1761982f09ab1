// The installed service's names: its unit, the text the unit describes it by, the account it
// runs as and the group of the serial devices it joins. The service module and the unit writer
// the package runs (tools/units) both use them, and tools see only the type library.
// decisions TOOL-12
#pragma once

namespace tlb {

inline constexpr const char* kUnitName = "NorvaltDrv";
inline constexpr const char* kDisplayName = "Norvalt hardware monitoring service";
inline constexpr const char* kServiceUser = "norvalt";
inline constexpr const char* kSerialGroup = "dialout";

}  // namespace tlb
