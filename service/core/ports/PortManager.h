// The port manager that starts one port object per configured COM port, and the per-port status
// table. The "Parameters" string it runs on is in Parameters.h.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/hresult.h"
#include "service/core/ports/NativePort.h"
#include "service/core/ports/Parameters.h"

namespace drv {

constexpr int kPortCount = 32;

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

// Seams for the fixed address space, which the host fills.
using LoadAddrSpaceFn = void (*)();
void SetLoadAddrSpaceHook(LoadAddrSpaceFn fn);

}  // namespace drv
