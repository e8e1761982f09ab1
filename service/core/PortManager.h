// The "Parameters" string (the whole port configuration and several global switches), the port
// manager that starts one port object per configured COM port, and the per-port status table.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/hresult.h"
#include "service/core/Port.h"

namespace drv {

constexpr int kPortCount = 32;
extern const char* const kDrvKey;  // "\Software\Norvalt\Drv"

// --- the "Parameters" string ---------------------------------------------------------------

// One reading of the string for the whole service (the field-bus library keeps a copy of it):
// - pairs KEY=value are separated by blanks; a value runs to the next blank, so it never holds
//   one; tabs and line ends are not separators;
// - a key counts only at the start of the string or right after a blank, so COM1 is found
//   neither inside COM11=.. nor inside XCOM1=..;
// - keys compare without case; values keep their case (paths need it);
// - a repeated key: the first pair counts;
// - "KEY=" is present with an empty value, which reads like a missing key.

// Values count up to this many characters; PROTOCOLPATH is read whole.
constexpr size_t kMaxParamValue = 20;

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
// The value of KEY in `text`: at most `max_len` characters, cut at the first blank; "" when
// absent.
std::string GetParamValue(std::string_view key, std::string_view text,
                          size_t max_len = kMaxParamValue);
// From the cache; with `reread`, from a fresh read, and the cached pair is brought up to date.
std::string GetParam(std::string_view key, bool reread = false);
// Replaces the first pair of KEY, or appends it, in the cached string (not stored). An empty
// value removes every pair of KEY, so the key reads as absent afterwards.
void SetParamValue(std::string_view key, std::string_view value);
// `text` with the pair of KEY replaced, removed or appended as SetParamValue does.
std::string WithParamValue(std::string text, std::string_view key, std::string_view value);
// DISABLEALLPORTS, COM<n> and SHIFT<n> as cached, joined by blanks, at most 20 characters.
std::string PortDescription(int com_number);
// Builds "Parameters" from installation switches (/PORT=, /PROTOCOL=, /DEFSHIFT=, /SHIFT..,
// /COM..). The registry's answer (0 when no switch gave anything).
long InstallParameters(const std::vector<std::string>& args);
// Deletes the "\Software\Norvalt\Drv" key with everything below it but its Transport key
// (the transport's own settings), which stays when present.
void UninstallParameters();

// --- per-port status table -------------------------------------------------------------------

// Aligned 32-bit cells, shared with the libraries that run field-bus and slave ports; every
// access is atomic.
int32_t PortStatus(int index);
int32_t PortInfo(int index);
std::string PortStatusDescription(int index);
void SetPortStatusCell(int index, int32_t status);
void SetPortInfoCell(int index, int32_t info);
int32_t* PortStatusCellAddress(int index);
int32_t* PortInfoCellAddress(int index);

// --- port objects and the manager ----------------------------------------------------------

// One running port (a native poll thread, a field-bus or a slave-library thread).
class TPortObject {
  public:
    virtual ~TPortObject() = default;
    virtual int PostCount() const = 0;
    // False when the object did not take the port (it is freed at once).
    virtual bool Registered() const = 0;
};

struct PortStartInfo {
    int index = 0;  // COM number = index + 1
    std::string word;
    int shift = 0;
    uint32_t baud = 4800;
    bool emulation = false;
    bool default_mode = false;
};

enum class PortKind { Native, FieldBus, SlaveLibrary };
using PortFactory = std::function<std::unique_ptr<TPortObject>(const PortStartInfo&)>;
// Each port kind registers how its objects are made; a kind without a factory starts nothing
// and its ports keep the status "not started".
void SetPortFactory(PortKind kind, PortFactory factory);

// A configured port whose device is missing (status -2) waits for it: the manager looks for
// the device once a second and starts the port when it appears.
void StartPorts();
// Also drops the restarts still waiting on the port manager's thread (and one under way finishes
// first) and ends the wait for missing devices, so none starts a port after it. The ports are
// stopped at the same time, one thread each.
void StopPorts();
void StartThread(int index);
void RestartChangedPorts();
// Restarts a client asks for through the System items. Stopping a bus thread waits for its
// exchange under way, which a client's raw request can make last 10 s, so they run on the port
// manager's own thread; the caller waits at most `wait_ms` and gets true when they were done
// by then. A restart of a kind already waiting is not queued again (it reads the settings when
// it runs).
bool RestartChangedPortsWithin(uint32_t wait_ms);
// StopPorts and StartPorts.
bool RestartAllPortsWithin(uint32_t wait_ms);
// A port waiting for its device counts as on.
plat::HRESULT UsePort(int port_number, bool use);
void SetPortState(const TPortObject* port, int index, int32_t code);
bool PortsStarted();
bool PortRunning(int index);

// Settings the manager took from the string at StartPorts.
bool DefaultMode();
int LastPortIndex();
int HighestPostNumber();
int ExitTimeout();
bool FlatPosts();
// Tick by which the service host expects the ports to be up.
uint32_t StartupDeadline();

// Seams for the system items and the fixed address space, which the host fills.
using ParametersChangedFn = void (*)();
void SetParametersChangedHook(ParametersChangedFn fn);
using LoadAddrSpaceFn = void (*)();
void SetLoadAddrSpaceHook(LoadAddrSpaceFn fn);

}  // namespace drv
