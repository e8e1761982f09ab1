// The controller classes the probe can create, by the program table's class column. The
// classes themselves live in the drivers library, which installs them at start
// (drv::InstallDrivers); the core only knows them through these factories.
#pragma once
#include <string>

#include "service/core/controllers/ControllerBase.h"

namespace drv {

enum class TorkClass { T1, T10, T20, T30, T40, T46, TFF };
constexpr int kTorkClassCount = 7;

using TorkFactory = ComPtr<TBasicTork> (*)(const TorkCreateArgs& args);
// The fallback for programs no class takes; `reprobe` makes it step aside after a while so
// that the probe tries the real class again.
using TorkFallbackFactory = ComPtr<TBasicTork> (*)(const TorkCreateArgs& args, bool newer_program,
                                                   const std::string& program_id, bool reprobe);

// How the drivers library makes a class; null marks the class as not available.
void InstallTorkClass(TorkClass cls, TorkFactory factory);
void InstallTorkFallback(TorkFallbackFactory factory);

// Replaces how a class is made (tests stand in their own drivers); null restores the installed.
void RegisterTorkClass(TorkClass cls, TorkFactory factory);

// A new controller of that class, or null while the class is not available.
ComPtr<TBasicTork> CreateTork(TorkClass cls, const TorkCreateArgs& args);
// The fallback controller, or null while no fallback is installed.
ComPtr<TBasicTork> CreateTorkX(const TorkCreateArgs& args, bool newer_program,
                               const std::string& program_id, bool reprobe);

// The program table's verdict for a family and version.
struct ProgramMatch {
    bool found = false;
    TorkClass cls = TorkClass::T1;
    // The lowest newest version of the family among the rows passed before a match.
    int newest = 0;
    // Some row names the family: only then can a program be newer than the known ones.
    bool family_known = false;
};
ProgramMatch FindProgram(uint8_t family, uint8_t version);

}  // namespace drv
