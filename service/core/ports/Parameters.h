// The "Parameters" string: the whole port configuration and several global switches, as stored
// under HKLM and as cached for the service.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "service/core/logs/ParameterText.h"

namespace drv {

extern const char* const kDrvKey;  // "\Software\Norvalt\Drv"

// The stored string (empty when the key or value is missing, or when it cannot be read).
std::string ReadParameters();
// The same with the registry's answer: 0 also when the key or value is missing.
long ReadParameters(std::string& out);
// Stores the string (creating the key when missing) and, once stored, caches it. The registry's
// answer; a string that cannot be stored leaves the cache as it was.
long WriteParameters(const std::string& text);
std::string CachedParameters();
// Replaces the cache with a fresh read of the stored string. A string that cannot be read
// leaves the cache as it was; the registry's answer.
long ReloadParameters();
// From the cache; with `reread`, from a fresh read, and the cached pair is brought up to date.
std::string GetParam(std::string_view key, bool reread = false);
// Replaces the first pair of KEY, or appends it, in the cached string (not stored). An empty
// value removes every pair of KEY, so the key reads as absent afterwards.
void SetParamValue(std::string_view key, std::string_view value);
// DISABLEALLPORTS, COM<n> and SHIFT<n> as cached, joined by blanks, at most 20 characters.
std::string PortDescription(int com_number);
// Builds "Parameters" from installation switches (/PORT=, /PROTOCOL=, /DEFSHIFT=, /SHIFT..,
// /COM..). The registry's answer (0 when no switch gave anything).
long InstallParameters(const std::vector<std::string>& args);
// Deletes the "\Software\Norvalt\Drv" key with everything below it but its Transport key
// (the transport's own settings), which stays when present.
void UninstallParameters();
// Replaces the cache with `text` (not stored) and calls the hook, as the ports' start does.
void CacheParameters(const std::string& text);

// Called after every change of the cached string; the system items fill it.
using ParametersChangedFn = void (*)();
void SetParametersChangedHook(ParametersChangedFn fn);

}  // namespace drv
