#include "service/core/ports/PortManager.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <system_error>

#include "platform/registry/registry.h"
#include "platform/serial/serial.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/items/DeviceItems.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/LibraryPorts.h"

namespace drv {

namespace {

bool ValidIndex(int i) {
    return i >= 0 && i < kPortCount;
}

// A configured port whose device is missing when it starts (status -2) is not dropped for good:
// it waits, and a thread of the manager's own looks for the device at most once a second,
// quietly, and starts the port when the device is there. The same for every kind, since the
// slave library's thread is out of reach and a port object that did not take its port is gone.
// decisions CORE-55
constexpr uint32_t kDeviceLookMs = 1000;
// A device that opens while its port still reports it missing is tried again only this late.
constexpr uint32_t kDeviceRetryMs = 60000;

std::string DeviceName(int com) {
    return "\\\\.\\COM" + std::to_string(com);
}

std::string DevicePath(int com) {
    std::string path = plat::serial::ResolvePortName(DeviceName(com));
    return path.empty() ? "(no device mapped)" : path;
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

// One port claimed: waits while another thread starts or stops it, then holds its object in
// `port`; whatever `port` holds at the end is put back in the table. So no port is built twice
// at once, and an old object is freed (its line closed) before a new one opens the line.
// decisions CORE-48
class TPortManager::Claim {
  public:
    Claim(TPortManager& m, int index) : m_(m), i_(static_cast<size_t>(index)) {
        std::unique_lock<std::mutex> lk(m_.slots_mutex_);
        m_.slots_cv_.wait(lk, [&] { return !m_.claimed_[i_]; });
        m_.claimed_[i_] = true;
        port = std::move(m_.ports_[i_]);
    }
    ~Claim() {
        std::lock_guard<std::mutex> lk(m_.slots_mutex_);
        m_.ports_[i_] = std::move(port);
        m_.claimed_[i_] = false;
        m_.slots_cv_.notify_all();
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    std::unique_ptr<TPortObject> port;

  private:
    TPortManager& m_;
    size_t i_;
};

// The library kinds are there from the start; the native kind comes with the drivers.
TPortManager::TPortManager()
    : cells_(TPortStatusTable::Get()),
      factories_{nullptr, &MakeModbusPort, &MakeSlaveLibraryPort},
      jobs_(*new Jobs),
      watch_(*new Watch) {}

TPortManager& TPortManager::Get() {
    static TPortManager manager;
    return manager;
}

// --- ports waiting for their device ---

bool TPortManager::Waiting(int index) {
    std::lock_guard<std::mutex> lk(watch_.m);
    return watch_.entries[static_cast<size_t>(index)].waiting;
}

void TPortManager::StopWaiting(int index) {
    std::lock_guard<std::mutex> lk(watch_.m);
    watch_.entries[static_cast<size_t>(index)].waiting = false;
}

// Looks for the device of one waiting port; starts the port when it is there.
void TPortManager::LookForDevice(int index) {
    const int com = index + 1;
    const long rc = plat::serial::ProbePort(DeviceName(com));
    if (rc == plat::ERROR_FILE_NOT_FOUND) return;  // nothing said while it stays away
    Claim claim(*this, index);
    if (claim.port || !Waiting(index)) return;  // started, restarted or switched off meanwhile
    WriteProtocolLine("COM" + std::to_string(com) + ": " + DevicePath(com) + " is there (" +
                          (rc == plat::ERROR_SUCCESS ? "opens" : plat::serial::OpenErrorCause(rc)) +
                          "); the port starts",
                      PL_INFO);
    StartClaimed(index, claim, true);
}

void TPortManager::WatchDevices(uint64_t generation) {
    plat::SetCurrentThreadName("PortWatch");
    Watch& w = watch_;
    std::unique_lock<std::mutex> lk(w.m);
    while (w.generation == generation) {
        // Until the earliest look is due, at most a second.
        uint32_t wait = kDeviceLookMs;
        const uint32_t before = plat::GetTickCount();
        for (const Watch::Entry& e : w.entries)
            if (e.waiting)
                wait = std::min(
                    wait, static_cast<int32_t>(e.due - before) > 0 ? e.due - before : uint32_t{0});
        if (wait != 0)
            plat::SysClock().WaitFor(w.cv, lk, wait, [&] { return w.generation != generation; });
        for (int i = 0; i < kPortCount && w.generation == generation; ++i) {
            Watch::Entry& e = w.entries[static_cast<size_t>(i)];
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
void TPortManager::WaitForDevice(int index, bool after_look) {
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
    Watch& w = watch_;
    std::lock_guard<std::mutex> lk(w.m);
    Watch::Entry& e = w.entries[static_cast<size_t>(index)];
    e.waiting = true;
    e.due = plat::GetTickCount() + (after_look ? kDeviceRetryMs : kDeviceLookMs);
    if (w.thread.joinable()) return;
    try {
        w.thread = std::thread(&TPortManager::WatchDevices, this, w.generation);
    } catch (const std::system_error&) {
        e.waiting = false;
        WriteProtocolLine("COM" + std::to_string(com) + ": cannot wait for the device",
                          PL_CRITICAL);
    }
}

// Ends the watch; a port that waits is started by nobody until it is started again.
void TPortManager::StopWatch() {
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(watch_.m);
        ++watch_.generation;
        t = std::move(watch_.thread);
    }
    watch_.cv.notify_all();
    if (t.joinable()) t.join();
}

// Frees the port's object, if any, outside the table's locks.
void TPortManager::StopPort(int index) {
    Claim claim(*this, index);
    StopWaiting(index);
    claim.port.reset();
}

// Frees every port's object. Each may take seconds (a poll thread removes its posts, a bus
// thread finishes its exchange), so the ports are stopped at once, one thread each.
// decisions CORE-56
void TPortManager::StopAllPorts() {
    std::vector<std::thread> stoppers;
    for (int i = 0; i < kPortCount; ++i) {
        bool busy;
        {
            std::lock_guard<std::mutex> lk(slots_mutex_);
            busy = ports_[static_cast<size_t>(i)] != nullptr || claimed_[static_cast<size_t>(i)];
        }
        if (busy) {
            try {
                stoppers.emplace_back(&TPortManager::StopPort, this, i);
                continue;
            } catch (const std::system_error&) {
                // stopped here instead
            }
        }
        StopPort(i);
    }
    for (std::thread& t : stoppers) t.join();
}

// --- status descriptions
// ----------------------------------------------------------------------------

std::string TPortManager::StatusDescription(int i) {
    if (!ValidIndex(i)) return {};
    std::lock_guard<std::mutex> lk(desc_mutex_);
    return desc_[static_cast<size_t>(i)];
}

// --- the manager -----------------------------------------------------------------------------

void TPortManager::SetFactory(PortKind kind, PortFactory factory) {
    std::lock_guard<std::mutex> lk(factory_mutex_);
    factories_[static_cast<int>(kind)] = std::move(factory);
}

void TPortManager::SetLoadAddrSpace(LoadAddrSpaceFn fn) {
    load_addr_space_.store(fn);
}

void TPortManager::Start() {
    std::lock_guard<std::recursive_mutex> lk(table_mutex_);
    StopWatch();
    StopAllPorts();
    last_index_ = 0;
    highest_post_ = 0;
    default_mode_ = true;
    CacheParameters(ReadParameters());
    if (Is(GetParam("ADDRSPACE"), "SIMFIXED")) {
        SetFixedAddressSpace(true);
        if (LoadAddrSpaceFn fn = load_addr_space_.load()) fn();
    }
    if (Is(GetParam("PORT"), "CUST")) {
        last_index_ = kPortCount - 1;
        default_mode_ = false;
    }
    RestrictUsers() = GetParam("RESTRICTUSERS") == "1";
    std::string exit = GetParam("EXITTIMEOUT");
    int timeout = 3;
    if (!exit.empty() && !ParseInt(exit, timeout)) {
        // A typo here must not keep every port from starting.
        WriteProtocolLine("EXITTIMEOUT is not a number: \"" + exit + "\"; 3 is used", PL_EXTERNAL);
        timeout = 3;
    }
    exit_timeout_ = timeout;
    flat_ = GetParam("FLATPOSTS") != "0";
    // Cells of ports that will not run must not keep an earlier run's codes.
    for (int i = 0; i < kPortCount; ++i) {
        cells_.SetStatus(i, kPortNotOpen);
        cells_.SetInfo(i, 0);
    }
    for (int i = 0; i < kPortCount; ++i) StartThread(i);
    started_ = true;
}

void TPortManager::StopLocked() {
    std::lock_guard<std::recursive_mutex> lk(table_mutex_);
    StopWatch();
    StopAllPorts();
    started_ = false;
}

void TPortManager::RunJobs() {
    Jobs& j = jobs_;
    std::unique_lock<std::mutex> lk(j.m);
    while (!j.pending.empty()) {
        const Jobs::Entry e = j.pending.front();
        j.pending.pop_front();
        lk.unlock();
        try {
            std::lock_guard<std::recursive_mutex> plk(table_mutex_);
            if (stop_epoch_.load() == e.epoch) {
                if (e.kind == Job::RestartChanged) {
                    RestartChanged();
                } else {
                    StopLocked();
                    Start();
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

bool TPortManager::RunJobWithin(Job kind, uint32_t wait_ms) {
    Jobs& j = jobs_;
    std::unique_lock<std::mutex> lk(j.m);
    const uint64_t epoch = stop_epoch_.load();
    uint64_t ticket = 0;
    for (const auto& e : j.pending)
        if (e.kind == kind && e.epoch == epoch) ticket = e.ticket;
    if (ticket == 0) {
        ticket = ++j.issued;
        j.pending.push_back({kind, ticket, epoch});
        if (!j.worker) {
            j.worker = true;
            std::thread(&TPortManager::RunJobs, this).detach();
        }
    }
    return j.cv.wait_for(lk, std::chrono::milliseconds(wait_ms), [&] { return j.done >= ticket; });
}

void TPortManager::Stop() {
    ++stop_epoch_;
    {
        std::lock_guard<std::mutex> lk(jobs_.m);
        for (const auto& e : jobs_.pending) jobs_.done = std::max(jobs_.done, e.ticket);
        jobs_.pending.clear();
        jobs_.cv.notify_all();
    }
    StopLocked();
}

bool TPortManager::RestartChangedWithin(uint32_t wait_ms) {
    return RunJobWithin(Job::RestartChanged, wait_ms);
}

bool TPortManager::RestartAllWithin(uint32_t wait_ms) {
    return RunJobWithin(Job::RestartAll, wait_ms);
}

void TPortManager::StartThread(int index) {
    if (!ValidIndex(index)) {
        WriteProtocolLine("StartThread " + std::to_string(index), PL_INFO);
        return;
    }
    Claim claim(*this, index);
    StartClaimed(index, claim);
}

// Starts the claimed port from the settings: its old object, if any, is freed first.
void TPortManager::StartClaimed(int index, Claim& claim, bool after_look) {
    WriteProtocolLine("StartThread " + std::to_string(index), PL_INFO);
    StopWaiting(index);
    if (index > last_index_.load()) return;
    claim.port.reset();
    const int com = index + 1;
    cells_.SetStatus(index, kPortNotOpen);
    cells_.SetInfo(index, 0);
    {
        std::string d = PortDescription(com);
        std::lock_guard<std::mutex> dlk(desc_mutex_);
        desc_[static_cast<size_t>(index)] = d;
    }
    if (GetParam("DISABLEALLPORTS") == "1") {
        cells_.SetStatus(index, kPortSwitchedOff);
        return;
    }
    const bool custom = !default_mode_.load();
    int shift = 0;
    if (custom) {
        int v = 0;
        if (ParseInt(GetParam("SHIFT" + std::to_string(com)), v)) shift = v;
    }
    // Ports on other threads may raise it at the same time.
    for (int seen = highest_post_.load();
         seen < shift + 31 && !highest_post_.compare_exchange_weak(seen, shift + 31);) {
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
        std::lock_guard<std::mutex> flk(factory_mutex_);
        factory = factories_[static_cast<int>(kind)];
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
    if (cells_.Status(index) == kPortNotFound) WaitForDevice(index, after_look);
}

void TPortManager::RestartChanged() {
    std::lock_guard<std::recursive_mutex> lk(table_mutex_);
    for (int i = 0; i <= last_index_.load(); ++i) {
        std::string now = PortDescription(i + 1);
        bool changed;
        {
            std::lock_guard<std::mutex> dlk(desc_mutex_);
            changed = desc_[static_cast<size_t>(i)] != now;
        }
        if (!changed) continue;
        StartThread(i);
    }
}

plat::HRESULT TPortManager::Use(int port_number, bool use) {
    if (port_number < 1 || port_number > kPortCount) return plat::E_INVALIDARG;
    // Only this port is claimed: the others' starts, stops and restarts go on meanwhile.
    const int i = port_number - 1;
    Claim claim(*this, i);
    if (!use) {
        // A port waiting for its device is on: switching it off ends the wait.
        if (!claim.port && !Waiting(i)) return plat::S_FALSE;
        StopWaiting(i);
        claim.port.reset();
        cells_.SetStatus(i, kPortSwitchedOff);
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

void TPortManager::SetState(const TPortObject* port, int index, int32_t code) {
    if (!ValidIndex(index)) return;
    if (code == 0) {
        cells_.SetStatus(index, port ? port->PostCount() : 0);
        return;
    }
    if ((code == kPortNotOpen || code == kPortNotFound) && cells_.Status(index) == kPortClosing)
        return;
    cells_.SetStatus(index, code);
}

bool TPortManager::Started() const {
    return started_.load();
}

bool TPortManager::Running(int index) {
    if (!ValidIndex(index)) return false;
    // A port being started or stopped is answered once that is done.
    const size_t i = static_cast<size_t>(index);
    std::unique_lock<std::mutex> lk(slots_mutex_);
    slots_cv_.wait(lk, [&] { return !claimed_[i]; });
    return ports_[i] != nullptr;
}

uint32_t TPortManager::StartupDeadline() {
    std::call_once(deadline_once_, [&] { startup_deadline_ = plat::GetTickCount() + 30000; });
    return startup_deadline_;
}

// --- the free functions, forwards to the one manager ---------------------------------------

std::string PortStatusDescription(int i) {
    return TPortManager::Get().StatusDescription(i);
}
void SetPortFactory(PortKind kind, PortFactory factory) {
    TPortManager::Get().SetFactory(kind, std::move(factory));
}
// decisions CORE-44
void InstallLibraryPorts() {
    SetPortFactory(PortKind::FieldBus, &MakeModbusPort);
    SetPortFactory(PortKind::SlaveLibrary, &MakeSlaveLibraryPort);
}
void SetLoadAddrSpaceHook(LoadAddrSpaceFn fn) {
    TPortManager::Get().SetLoadAddrSpace(fn);
}
void StartPorts() {
    TPortManager::Get().Start();
}
void StopPorts() {
    TPortManager::Get().Stop();
}
bool RestartChangedPortsWithin(uint32_t wait_ms) {
    return TPortManager::Get().RestartChangedWithin(wait_ms);
}
bool RestartAllPortsWithin(uint32_t wait_ms) {
    return TPortManager::Get().RestartAllWithin(wait_ms);
}
void StartThread(int index) {
    TPortManager::Get().StartThread(index);
}
void RestartChangedPorts() {
    TPortManager::Get().RestartChanged();
}
plat::HRESULT UsePort(int port_number, bool use) {
    return TPortManager::Get().Use(port_number, use);
}
void SetPortState(const TPortObject* port, int index, int32_t code) {
    TPortManager::Get().SetState(port, index, code);
}
bool PortsStarted() {
    return TPortManager::Get().Started();
}
bool PortRunning(int index) {
    return TPortManager::Get().Running(index);
}
bool DefaultMode() {
    return TPortManager::Get().DefaultMode();
}
int LastPortIndex() {
    return TPortManager::Get().LastIndex();
}
int HighestPostNumber() {
    return TPortManager::Get().HighestPost();
}
int ExitTimeout() {
    return TPortManager::Get().ExitTimeout();
}
bool FlatPosts() {
    return TPortManager::Get().Flat();
}
uint32_t StartupDeadline() {
    return TPortManager::Get().StartupDeadline();
}

}  // namespace drv
