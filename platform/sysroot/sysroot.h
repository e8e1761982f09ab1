// The folder that stands in for every system-wide place of a Windows machine.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// The system root of an installed service.
inline constexpr const char* kDefaultSystemRoot = "/var/lib/norvalt";

// $NORVALT_ROOT, else kDefaultSystemRoot; an override set by SetSystemRoot wins.
std::string SystemRoot();
// Process-wide override (tests, the demo). Empty restores the environment's choice.
void SetSystemRoot(const std::string& path);

// Test programs: with a report set, SystemRoot without an override calls it and answers a
// folder that can be neither read nor made, instead of the environment's or the default root,
// so that no test touches the machine's own. Null removes it.
void RefuseDefaultRoot(void (*report)());

// "X:\a\b" -> "<root>/x/a/b" (Windows paths are case-insensitive, so the mapped path is
// lower-cased); an absolute POSIX path stands as it is; any other relative path lands under
// the root. A trailing separator is kept.
std::string MapWindowsPath(std::string_view path);

// Creates a folder and its parents; false when that fails.
bool EnsureDirectory(const std::string& path);

}  // namespace plat
