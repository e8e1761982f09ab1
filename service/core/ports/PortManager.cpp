#include "service/core/ports/PortManager.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/serial/serial.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/items/DeviceItems.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/LibraryPorts.h"
#include "service/core/ports/SystemItems.h"

namespace drv {

namespace {

// Work on the whole table (StartPorts, StopPorts, RestartChangedPorts and the client restarts
// on the manager's thread) runs one at a time under this lock. Switching one port on or off does
// not take it.
std::recursive_mutex g_table_mutex;

// The port table. A port being started or stopped is claimed (`g_claimed`) for that time: its
// line is opened, and its old object's threads joined, outside `g_slots_mutex`, so a slow line
// holds up only those who want the same port. One thread claims one port at a time.
std::mutex g_slots_mutex;
std::condition_variable g_slots_cv;
std::array<std::unique_ptr<TPortObject>, kPortCount> g_ports;
std::array<bool, kPortCount> g_claimed{};

alignas(64) int32_t g_status[kPortCount];
alignas(64) int32_t g_info[kPortCount];
std::mutex g_desc_mutex;
std::array<std::string, kPortCount> g_desc;

std::atomic<bool> g_started{false};
std::atomic<bool> g_default_mode{true};
std::atomic<int> g_last_index{0};
std::atomic<int> g_highest_post{0};
std::atomic<int> g_exit_timeout{3};
std::atomic<bool> g_flat{true};

std::mutex g_factory_mutex;
// The library kinds are there from the start; the native kind comes with the drivers.
PortFactory g_factories[3] = {nullptr, &MakeModbusPort, &MakeSlaveLibraryPort};

std::atomic<LoadAddrSpaceFn> g_load_addr_space{nullptr};

// Restarts asked for by clients, run one after another on a thread of their own.
enum class PortJob { RestartChanged, RestartAll };
struct PortJobs {
    struct Entry {
        PortJob kind;
        uint64_t ticket;
        uint64_t epoch;
    };
    std::mutex m;
    std::condition_variable cv;
    std::deque<Entry> pending;  // at most one of each kind
    uint64_t issued = 0;
    uint64_t done = 0;  // every ticket up to this one has run or was dropped
    bool worker = false;
};
// Never destroyed: the worker may still be leaving when the process ends.
PortJobs& Jobs() {
    static PortJobs* jobs = new PortJobs;
    return *jobs;
}
// Raised by every StopPorts; a restart queued before it does not run.
std::atomic<uint64_t> g_stop_epoch{0};

bool ValidIndex(int i) {
    return i >= 0 && i < kPortCount;
}

// One port claimed: waits while another thread starts or stops it, then holds its object in
// `port`; whatever `port` holds at the end is put back in the table. So no port is built twice
// at once, and an old object is freed (its line closed) before a new one opens the line.
// decisions CORE-48
class PortClaim {
  public:
    explicit PortClaim(int index) : i_(static_cast<size_t>(index)) {
        std::unique_lock<std::mutex> lk(g_slots_mutex);
        g_slots_cv.wait(lk, [&] { return !g_claimed[i_]; });
        g_claimed[i_] = true;
        port = std::move(g_ports[i_]);
    }
    ~PortClaim() {
        std::lock_guard<std::mutex> lk(g_slots_mutex);
        g_ports[i_] = std::move(port);
        g_claimed[i_] = false;
        g_slots_cv.notify_all();
    }
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    std::unique_ptr<TPortObject> port;

  private:
    size_t i_;
};

// --- ports waiting for their device ---

// A configured port whose device is missing when it starts (status -2) is not dropped for good:
// it waits, and a thread of the manager's own looks for the device at most once a second,
// quietly, and starts the port when the device is there. The same for every kind, since the
// slave library's thread is out of reach and a port object that did not take its port is gone.
// decisions CORE-55
constexpr uint32_t kDeviceLookMs = 1000;
// A device that opens while its port still reports it missing is tried again only this late.
constexpr uint32_t kDeviceRetryMs = 60000;

struct DeviceWatch {
    struct Entry {
        bool waiting = false;
        uint32_t due = 0;  // tick of the next look
    };
    std::mutex m;  // a leaf: guards the entries and the thread
    std::condition_variable cv;
    std::array<Entry, kPortCount> entries{};
    std::thread thread;
    uint64_t generation = 0;  // raised to end the thread
};
// Never destroyed, like the jobs: the thread is joined by StopPorts.
DeviceWatch& Watch() {
    static DeviceWatch* watch = new DeviceWatch;
    return *watch;
}

std::string DeviceName(int com) {
    return "\\\\.\\COM" + std::to_string(com);
}

std::string DevicePath(int com) {
    std::string path = plat::serial::ResolvePortName(DeviceName(com));
    return path.empty() ? "(no device mapped)" : path;
}

bool Waiting(int index) {
    DeviceWatch& w = Watch();
    std::lock_guard<std::mutex> lk(w.m);
    return w.entries[static_cast<size_t>(index)].waiting;
}

void StopWaiting(int index) {
    DeviceWatch& w = Watch();
    std::lock_guard<std::mutex> lk(w.m);
    w.entries[static_cast<size_t>(index)].waiting = false;
}

void StartClaimed(int index, PortClaim& claim, bool after_look = false);

// Looks for the device of one waiting port; starts the port when it is there.
void LookForDevice(int index) {
    const int com = index + 1;
    const long rc = plat::serial::ProbePort(DeviceName(com));
    if (rc == plat::ERROR_FILE_NOT_FOUND) return;  // nothing said while it stays away
    PortClaim claim(index);
    if (claim.port || !Waiting(index)) return;  // started, restarted or switched off meanwhile
    WriteProtocolLine("COM" + std::to_string(com) + ": " + DevicePath(com) + " is there (" +
                          (rc == plat::ERROR_SUCCESS ? "opens" : plat::serial::OpenErrorCause(rc)) +
                          "); the port starts",
                      PL_INFO);
    StartClaimed(index, claim, true);
}

void WatchDevices(uint64_t generation) {
    plat::SetCurrentThreadName("PortWatch");
    DeviceWatch& w = Watch();
    std::unique_lock<std::mutex> lk(w.m);
    while (w.generation == generation) {
        // Until the earliest look is due, at most a second.
        uint32_t wait = kDeviceLookMs;
        const uint32_t before = plat::GetTickCount();
        for (const DeviceWatch::Entry& e : w.entries)
            if (e.waiting)
                wait = std::min(
                    wait, static_cast<int32_t>(e.due - before) > 0 ? e.due - before : uint32_t{0});
        if (wait != 0)
            plat::SysClock().WaitFor(w.cv, lk, wait, [&] { return w.generation != generation; });
        for (int i = 0; i < kPortCount && w.generation == generation; ++i) {
            DeviceWatch::Entry& e = w.entries[static_cast<size_t>(i)];
            const uint32_t now = plat::GetTickCount();
            if (!e.waiting || static_cast<int32_t>(now - e.due) < 0) continue;
            e.due = now + kDeviceLookMs;
            lk.unlock();
            try {
                LookForDevice(i);
            } catch (...) {
                ProtocolCurrentException("COM" + std::to_string(i + 1) + " device watch");
            }
            lk.lock();
        }
    }
}

// The port's start found its device missing: it waits for it. `after_look`: the watch had
// seen the device and started the port.
void WaitForDevice(int index, bool after_look) {
    const int com = index + 1;
    if (after_look)
        WriteProtocolLine("COM" + std::to_string(com) + ": " + DevicePath(com) +
                              " opens, but the port does not find it; next try in " +
                              std::to_string(kDeviceRetryMs / 1000) + " s",
                          PL_EXTERNAL);
    else
        WriteProtocolLine("COM" + std::to_string(com) + ": " + DevicePath(com) +
                              " not found; the port starts when it appears",
                          PL_INFO);
    DeviceWatch& w = Watch();
    std::lock_guard<std::mutex> lk(w.m);
    DeviceWatch::Entry& e = w.entries[static_cast<size_t>(index)];
    e.waiting = true;
    e.due = plat::GetTickCount() + (after_look ? kDeviceRetryMs : kDeviceLookMs);
    if (w.thread.joinable()) return;
    try {
        w.thread = std::thread(&WatchDevices, w.generation);
    } catch (const std::system_error&) {
        e.waiting = false;
        WriteProtocolLine("COM" + std::to_string(com) + ": cannot wait for the device",
                          PL_CRITICAL);
    }
}

// Ends the watch; a port that waits is started by nobody until it is started again.
void StopWatch() {
    DeviceWatch& w = Watch();
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(w.m);
        ++w.generation;
        t = std::move(w.thread);
    }
    w.cv.notify_all();
    if (t.joinable()) t.join();
}

// Frees the port's object, if any, outside the table's locks.
void StopPort(int index) {
    PortClaim claim(index);
    StopWaiting(index);
    claim.port.reset();
}

// Frees every port's object. Each may take seconds (a poll thread removes its posts, a bus
// thread finishes its exchange), so the ports are stopped at once, one thread each.
// decisions CORE-56
void StopAllPorts() {
    std::vector<std::thread> stoppers;
    for (int i = 0; i < kPortCount; ++i) {
        bool busy;
        {
            std::lock_guard<std::mutex> lk(g_slots_mutex);
            busy = g_ports[static_cast<size_t>(i)] != nullptr || g_claimed[static_cast<size_t>(i)];
        }
        if (busy) {
            try {
                stoppers.emplace_back(&StopPort, i);
                continue;
            } catch (const std::system_error&) {
                // stopped here instead
            }
        }
        StopPort(i);
    }
    for (std::thread& t : stoppers) t.join();
}

bool ParseInt(std::string_view s, int& out) {
    if (s.empty()) return false;
    const char* b = s.data();
    const char* e = s.data() + s.size();
    if (*b == '+') ++b;
    auto r = std::from_chars(b, e, out);
    return r.ec == std::errc() && r.ptr == e;
}

bool Is(std::string_view value, std::string_view word) {
    return plat::EqualsNoCase(value, word);
}
bool StartsWith(const std::string& upper, std::string_view prefix) {
    return upper.rfind(prefix, 0) == 0;
}

}  // namespace

// --- status table ----------------------------------------------------------------------------

int32_t PortStatus(int i) {
    return ValidIndex(i) ? std::atomic_ref<int32_t>(g_status[i]).load() : kPortNotOpen;
}
int32_t PortInfo(int i) {
    return ValidIndex(i) ? std::atomic_ref<int32_t>(g_info[i]).load() : 0;
}
void SetPortStatusCell(int i, int32_t v) {
    if (ValidIndex(i)) std::atomic_ref<int32_t>(g_status[i]).store(v);
}
void SetPortInfoCell(int i, int32_t v) {
    if (ValidIndex(i)) std::atomic_ref<int32_t>(g_info[i]).store(v);
}
int32_t* PortStatusCellAddress(int i) {
    return ValidIndex(i) ? &g_status[i] : nullptr;
}
int32_t* PortInfoCellAddress(int i) {
    return ValidIndex(i) ? &g_info[i] : nullptr;
}

std::string PortStatusDescription(int i) {
    if (!ValidIndex(i)) return {};
    std::lock_guard<std::mutex> lk(g_desc_mutex);
    return g_desc[static_cast<size_t>(i)];
}

// --- the manager -----------------------------------------------------------------------------

void SetPortFactory(PortKind kind, PortFactory factory) {
    std::lock_guard<std::mutex> lk(g_factory_mutex);
    g_factories[static_cast<int>(kind)] = std::move(factory);
}

void SetLoadAddrSpaceHook(LoadAddrSpaceFn fn) {
    g_load_addr_space.store(fn);
}

void StartPorts() {
    std::lock_guard<std::recursive_mutex> lk(g_table_mutex);
    StopWatch();
    StopAllPorts();
    g_last_index = 0;
    g_highest_post = 0;
    g_default_mode = true;
    CacheParameters(ReadParameters());
    if (Is(GetParam("ADDRSPACE"), "SIMFIXED")) {
        SetFixedAddressSpace(true);
        if (LoadAddrSpaceFn fn = g_load_addr_space.load()) fn();
    }
    if (Is(GetParam("PORT"), "CUST")) {
        g_last_index = kPortCount - 1;
        g_default_mode = false;
    }
    RestrictUsers() = GetParam("RESTRICTUSERS") == "1";
    std::string exit = GetParam("EXITTIMEOUT");
    int timeout = 3;
    if (!exit.empty() && !ParseInt(exit, timeout)) {
        // A typo here must not keep every port from starting.
        WriteProtocolLine("EXITTIMEOUT is not a number: \"" + exit + "\"; 3 is used", PL_EXTERNAL);
        timeout = 3;
    }
    g_exit_timeout = timeout;
    g_flat = GetParam("FLATPOSTS") != "0";
    // Cells of ports that will not run must not keep an earlier run's codes.
    for (int i = 0; i < kPortCount; ++i) {
        SetPortStatusCell(i, kPortNotOpen);
        SetPortInfoCell(i, 0);
    }
    for (int i = 0; i < kPortCount; ++i) StartThread(i);
    g_started = true;
}

namespace {

void StopPortsLocked() {
    std::lock_guard<std::recursive_mutex> lk(g_table_mutex);
    StopWatch();
    StopAllPorts();
    g_started = false;
}

void RunPortJobs() {
    PortJobs& j = Jobs();
    std::unique_lock<std::mutex> lk(j.m);
    while (!j.pending.empty()) {
        const PortJobs::Entry e = j.pending.front();
        j.pending.pop_front();
        lk.unlock();
        try {
            std::lock_guard<std::recursive_mutex> plk(g_table_mutex);
            if (g_stop_epoch.load() == e.epoch) {
                if (e.kind == PortJob::RestartChanged) {
                    RestartChangedPorts();
                } else {
                    StopPortsLocked();
                    StartPorts();
                }
            }
        } catch (...) {
            WriteProtocolLine("port restart failed", PL_CRITICAL);
        }
        lk.lock();
        j.done = std::max(j.done, e.ticket);
        j.cv.notify_all();
    }
    j.worker = false;
}

bool RunPortJobWithin(PortJob kind, uint32_t wait_ms) {
    PortJobs& j = Jobs();
    std::unique_lock<std::mutex> lk(j.m);
    const uint64_t epoch = g_stop_epoch.load();
    uint64_t ticket = 0;
    for (const auto& e : j.pending)
        if (e.kind == kind && e.epoch == epoch) ticket = e.ticket;
    if (ticket == 0) {
        ticket = ++j.issued;
        j.pending.push_back({kind, ticket, epoch});
        if (!j.worker) {
            j.worker = true;
            std::thread(&RunPortJobs).detach();
        }
    }
    return j.cv.wait_for(lk, std::chrono::milliseconds(wait_ms), [&] { return j.done >= ticket; });
}

}  // namespace

void StopPorts() {
    ++g_stop_epoch;
    {
        PortJobs& j = Jobs();
        std::lock_guard<std::mutex> lk(j.m);
        for (const auto& e : j.pending) j.done = std::max(j.done, e.ticket);
        j.pending.clear();
        j.cv.notify_all();
    }
    StopPortsLocked();
}

bool RestartChangedPortsWithin(uint32_t wait_ms) {
    return RunPortJobWithin(PortJob::RestartChanged, wait_ms);
}

bool RestartAllPortsWithin(uint32_t wait_ms) {
    return RunPortJobWithin(PortJob::RestartAll, wait_ms);
}

void StartThread(int index) {
    if (!ValidIndex(index)) {
        WriteProtocolLine("StartThread " + std::to_string(index), PL_INFO);
        return;
    }
    PortClaim claim(index);
    StartClaimed(index, claim);
}

namespace {

// Starts the claimed port from the settings: its old object, if any, is freed first.
void StartClaimed(int index, PortClaim& claim, bool after_look) {
    WriteProtocolLine("StartThread " + std::to_string(index), PL_INFO);
    StopWaiting(index);
    if (index > g_last_index.load()) return;
    claim.port.reset();
    const int com = index + 1;
    SetPortStatusCell(index, kPortNotOpen);
    SetPortInfoCell(index, 0);
    {
        std::string d = PortDescription(com);
        std::lock_guard<std::mutex> dlk(g_desc_mutex);
        g_desc[static_cast<size_t>(index)] = d;
    }
    if (GetParam("DISABLEALLPORTS") == "1") {
        SetPortStatusCell(index, kPortSwitchedOff);
        return;
    }
    const bool custom = !g_default_mode.load();
    int shift = 0;
    if (custom) {
        int v = 0;
        if (ParseInt(GetParam("SHIFT" + std::to_string(com)), v)) shift = v;
    }
    // Ports on other threads may raise it at the same time.
    for (int seen = g_highest_post.load();
         seen < shift + 31 && !g_highest_post.compare_exchange_weak(seen, shift + 31);) {
    }

    PortStartInfo info;
    info.index = index;
    info.word = plat::AsciiUpper(GetParam("COM" + std::to_string(com)));
    info.shift = shift;
    info.default_mode = !custom;
    const std::string& w = info.word;
    PortKind kind;
    if (custom && w.size() >= 2 && w[0] == 'M') {
        kind = PortKind::FieldBus;
    } else if (custom && StartsWith(w, "ZRN9600")) {
        kind = PortKind::Native;
        info.baud = 9600;
        info.emulation = StartsWith(w, "ZRN9600E");
    } else if (!custom || StartsWith(w, "ZRN")) {
        kind = PortKind::Native;
        info.baud = 4800;
        info.emulation = custom && StartsWith(w, "ZRNE");
    } else if (StartsWith(w, "TN9600") || StartsWith(w, "IN9600") || StartsWith(w, "ON19200") ||
               // decisions CORE-46
               StartsWith(w, "SN19200")) {
        kind = PortKind::FieldBus;
    } else if (StartsWith(w, "SME")) {
        kind = PortKind::SlaveLibrary;
    } else {
        return;  // no matching protocol word: the port stays "not started"
    }
    PortFactory factory;
    {
        std::lock_guard<std::mutex> flk(g_factory_mutex);
        factory = g_factories[static_cast<int>(kind)];
    }
    if (!factory) {
        WriteProtocolLine("COM" + std::to_string(com) + ": this kind of port is not available",
                          PL_EXTERNAL);
        return;
    }
    std::unique_ptr<TPortObject> port = factory(info);
    if (port && port->Registered()) {
        claim.port = std::move(port);
        return;
    }
    port.reset();  // freeing it may still write its status
    if (PortStatus(index) == kPortNotFound) WaitForDevice(index, after_look);
}

}  // namespace

void RestartChangedPorts() {
    std::lock_guard<std::recursive_mutex> lk(g_table_mutex);
    for (int i = 0; i <= g_last_index.load(); ++i) {
        std::string now = PortDescription(i + 1);
        bool changed;
        {
            std::lock_guard<std::mutex> dlk(g_desc_mutex);
            changed = g_desc[static_cast<size_t>(i)] != now;
        }
        if (!changed) continue;
        StartThread(i);
    }
}

plat::HRESULT UsePort(int port_number, bool use) {
    if (port_number < 1 || port_number > kPortCount) return plat::E_INVALIDARG;
    // Only this port is claimed: the others' starts, stops and restarts go on meanwhile.
    const int i = port_number - 1;
    PortClaim claim(i);
    if (!use) {
        // A port waiting for its device is on: switching it off ends the wait.
        if (!claim.port && !Waiting(i)) return plat::S_FALSE;
        StopWaiting(i);
        claim.port.reset();
        SetPortStatusCell(i, kPortSwitchedOff);
        return plat::S_OK;
    }
    if (claim.port) return plat::S_FALSE;
    const std::string n = std::to_string(port_number);
    GetParam("COM" + n, true);
    GetParam("SHIFT" + n, true);
    GetParam("DISABLEALLPORTS", true);
    StartClaimed(i, claim);
    return plat::S_OK;
}

void SetPortState(const TPortObject* port, int index, int32_t code) {
    if (!ValidIndex(index)) return;
    if (code == 0) {
        SetPortStatusCell(index, port ? port->PostCount() : 0);
        return;
    }
    if ((code == kPortNotOpen || code == kPortNotFound) && PortStatus(index) == kPortClosing)
        return;
    SetPortStatusCell(index, code);
}

bool PortsStarted() {
    return g_started.load() || AddrSpaceLoaded();
}

bool PortRunning(int index) {
    if (!ValidIndex(index)) return false;
    // A port being started or stopped is answered once that is done.
    const size_t i = static_cast<size_t>(index);
    std::unique_lock<std::mutex> lk(g_slots_mutex);
    g_slots_cv.wait(lk, [&] { return !g_claimed[i]; });
    return g_ports[i] != nullptr;
}

bool DefaultMode() {
    return g_default_mode.load();
}
int LastPortIndex() {
    return g_last_index.load();
}
int HighestPostNumber() {
    return g_highest_post.load();
}
int ExitTimeout() {
    return g_exit_timeout.load();
}
bool FlatPosts() {
    return g_flat.load();
}
uint32_t StartupDeadline() {
    static const uint32_t deadline = plat::GetTickCount() + 30000;
    return deadline;
}

}  // namespace drv
