// The port manager that starts one port object per configured COM port. The "Parameters" string
// it runs on is in Parameters.h, the status cells it and the ports write in PortStatus.h.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/types/hresult.h"
#include "service/core/ports/Parameters.h"
#include "service/core/ports/PortObject.h"
#include "service/core/ports/PortStatus.h"

namespace drv {

// What a client reads of a port besides its status cells (PortStatus.h): the settings it was
// started with.
std::string PortStatusDescription(int index);

// Each port kind registers how its objects are made; a kind without a factory starts nothing
// and its ports keep the status "not started".
void SetPortFactory(PortKind kind, PortFactory factory);
// Registers the field-bus and slave-library kinds again (they are the manager's defaults too).
void InstallLibraryPorts();

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
// Whether StartPorts has run since the last StopPorts (the saved names of a fixed address space
// are told apart by AddrSpaceLoaded, SystemItems.h).
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

// Seam for the fixed address space, which the System items fill: called by StartPorts before
// the ports start when ADDRSPACE=SIMFIXED.
using LoadAddrSpaceFn = void (*)();
void SetLoadAddrSpaceHook(LoadAddrSpaceFn fn);

// The port manager: the port table with its claims, the settings taken at
// StartPorts, the restarts run on the manager's own thread and the watch for missing devices.
// One instance in the process (`TPortManager::Get`); the free functions above forward to it.
// Lock order (outer first): `table_mutex_`, then one port's claim (a flag under
// `slots_mutex_`, a leaf), then inside a claim `desc_mutex_`, `factory_mutex_` and the watch's
// mutex, each a leaf. The jobs' mutex is a leaf, taken without the others. decisions CORE-67
class TPortManager {
  public:
    static TPortManager& Get();

    std::string StatusDescription(int index);

    void SetFactory(PortKind kind, PortFactory factory);
    void SetLoadAddrSpace(LoadAddrSpaceFn fn);

    void Start();
    void Stop();
    void StartThread(int index);
    void RestartChanged();
    bool RestartChangedWithin(uint32_t wait_ms);
    bool RestartAllWithin(uint32_t wait_ms);
    plat::HRESULT Use(int port_number, bool use);
    void SetState(const TPortObject* port, int index, int32_t code);
    bool Started() const;
    bool Running(int index);

    bool DefaultMode() const { return default_mode_.load(); }
    int LastIndex() const { return last_index_.load(); }
    int HighestPost() const { return highest_post_.load(); }
    int ExitTimeout() const { return exit_timeout_.load(); }
    bool Flat() const { return flat_.load(); }
    uint32_t StartupDeadline();

  private:
    class Claim;
    enum class Job { RestartChanged, RestartAll };
    // Restarts asked for by clients, run one after another on a thread of their own.
    struct Jobs {
        struct Entry {
            Job kind;
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
    // The ports waiting for their missing device, and the thread ("PortWatch") that looks.
    struct Watch {
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

    TPortManager();

    bool Waiting(int index);
    void StopWaiting(int index);
    void LookForDevice(int index);
    void WatchDevices(uint64_t generation);
    void WaitForDevice(int index, bool after_look);
    void StopWatch();
    void StopPort(int index);
    void StopAllPorts();
    void StopLocked();
    void StartClaimed(int index, Claim& claim, bool after_look = false);
    void RunJobs();
    bool RunJobWithin(Job kind, uint32_t wait_ms);

    // Work on the whole table (Start, Stop, RestartChanged and the client restarts on the
    // manager's thread) runs one at a time under this lock. Switching one port on or off does
    // not take it.
    std::recursive_mutex table_mutex_;

    // The port table. A port being started or stopped is claimed (`claimed_`) for that time: its
    // line is opened, and its old object's threads joined, outside `slots_mutex_`, so a slow line
    // holds up only those who want the same port. One thread claims one port at a time.
    std::mutex slots_mutex_;
    std::condition_variable slots_cv_;
    std::array<std::unique_ptr<TPortObject>, kPortCount> ports_;
    std::array<bool, kPortCount> claimed_{};

    // The status table the ports and their libraries write (PortStatus.h).
    TPortStatusTable& cells_;
    std::mutex desc_mutex_;
    std::array<std::string, kPortCount> desc_;

    std::atomic<bool> started_{false};
    std::atomic<bool> default_mode_{true};
    std::atomic<int> last_index_{0};
    std::atomic<int> highest_post_{0};
    std::atomic<int> exit_timeout_{3};
    std::atomic<bool> flat_{true};

    std::mutex factory_mutex_;
    PortFactory factories_[3];
    std::atomic<LoadAddrSpaceFn> load_addr_space_{nullptr};

    // The jobs and the watch are never destroyed: the manager's thread may still be leaving when
    // the process ends; the watch's thread is joined by Stop.
    Jobs& jobs_;
    // Raised by every Stop; a restart queued before it does not run.
    std::atomic<uint64_t> stop_epoch_{0};
    Watch& watch_;

    std::once_flag deadline_once_;
    uint32_t startup_deadline_ = 0;
};

}  // namespace drv
