// The field-bus library as the service loads it: libnorvalt_modbus.so beside the executable
// or in the private library folder relative to it, opened with dlopen and handed the host-callback
// table once.
#pragma once
#include <string>

#include "fieldbus/core/HostApi.h"

namespace drv {

// The library's four exports, resolved by name.
struct ModbusExports {
    mb::MBInitializeFn initialize = nullptr;
    mb::MBCreateThreadFn create_thread = nullptr;
    mb::MBDestroyThreadFn destroy_thread = nullptr;
    mb::MBFinalizeFn finalize = nullptr;
};

inline constexpr const char* kModbusLibraryName = "libnorvalt_modbus.so";
// Environment override of the library's path (tests, unusual installations).
// decisions CORE-41
inline constexpr const char* kModbusLibraryEnv = "NORVALT_MODBUS_LIB";

// The private library folder relative to the executable's folder: the same in the build tree
// (bin/ and lib/norvalt/) and installed (/usr/bin and /usr/lib/norvalt), so neither needs the
// environment.
#ifndef NORVALT_MODBUS_RELDIR
#define NORVALT_MODBUS_RELDIR "../lib/norvalt"
#endif
inline constexpr const char* kModbusLibraryFolder = NORVALT_MODBUS_RELDIR;

// The running program's folder ("." when it cannot be told): the libraries are found beside it.
std::string ExecutableFolder();

// Where the library is looked for: the path set by SetModbusLibraryPath, else
// $NORVALT_MODBUS_LIB, else ModbusLibraryNear(the executable's folder).
std::string ModbusLibraryPath();
// The library beside the executable when one is there, else the one in the private folder.
std::string ModbusLibraryNear(const std::string& exe_folder);
// Overrides the path for this process; empty restores the default.
void SetModbusLibraryPath(const std::string& path);

// The first call loads the library and calls MBInitialize with HostCallbackTable() (which must
// be filled). A library that cannot be loaded or lacks an export is logged once; field-bus
// ports then stay closed. Later calls change nothing. True when the library is in use.
bool LoadModbusLibrary();
// The loaded library's exports; null when it is missing or not loaded yet.
const ModbusExports* ModbusLibrary();

// Tests: calls MBFinalize of a loaded library and forgets it (the module stays mapped), so the
// next LoadModbusLibrary starts over.
void ResetModbusLibraryForTests();

}  // namespace drv
