// The service framework: a service runs as a foreground process (by hand or under systemd),
// its start, stop, shutdown and timer handlers on one service thread. A stop may be refused
// (whoever asked learns it), a shutdown may not. The start type lives in the registry, the
// event log is syslog (and stderr), and systemd hears of readiness through $NOTIFY_SOCKET.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plat::svc {

// --- start type -------------------------------------------------------------------------------

// HKLM "SYSTEM\CurrentControlSet\Services\<name>", DWORD "Start".
enum class StartType : uint32_t { Automatic = 2, Manual = 3, Disabled = 4 };
std::string ServiceKey(std::string_view service);
// Win32 error codes of plat::reg.
long WriteStartType(std::string_view service, StartType type);
// False when the record is missing, unreadable or holds another number.
bool ReadStartType(std::string_view service, StartType& out);
long DeleteServiceRecord(std::string_view service);
// The installation's start-type switch "/START=AUTO" or "/START=MANUAL" ("-" for "/", any
// case), so the start type is chosen without editing the registry. Empty when none is given;
// throws std::invalid_argument for another value.
// decisions PLAT-SVC-8
std::optional<StartType> StartTypeSwitch(const std::vector<std::string>& args);

// --- event log and systemd ------------------------------------------------------------------

enum class EventKind { Info, Warning, Error };
// To syslog (under the program's name) and to stderr as "source: text"; never a dialog.
// When stderr is the journal (started by systemd), syslog alone: the journal would show each
// report twice.
void ReportEvent(std::string_view source, EventKind kind, std::string_view text);
// Whether stderr is the systemd journal ($JOURNAL_STREAM names it).
bool StderrIsJournal();
// Where reports go besides syslog (tests); empty restores stderr.
void SetEventSink(std::function<void(EventKind, const std::string&)> sink);

// Sends `state` ("READY=1", "STOPPING=1") to $NOTIFY_SOCKET (a path, or "@name" for the
// abstract namespace). False when the variable is unset or the datagram could not be sent.
bool Notify(std::string_view state);

// For the service run, from its start to the end of the process: SIGHUP (the terminal of a run
// by hand hung up), SIGPIPE, SIGUSR1 and SIGUSR2 are ignored instead of ending the process by
// their default action (decisions PLAT-SVC-7).
void IgnoreStraySignals();

// --- the service thread -----------------------------------------------------------------------

struct Handlers {
    // OnStart: false when the service could not start (Run then ends).
    std::function<bool()> start;
    // The refusable stop: true when the service agrees to stop. The one who asked hears the
    // answer first; then `stopped` runs (the stop itself).
    std::function<bool()> stop;
    std::function<void()> stopped;
    // The shutdown: the service stops whatever its state.
    std::function<void()> shutdown;
    // The service's timer, called every TimerInterval() ms on the service thread.
    std::function<void()> timer;
};

// Exit codes of Run.
inline constexpr int kExitStopped = 0;
inline constexpr int kExitStartFailed = 1;

class Runner {
  public:
    explicit Runner(std::string name, Handlers handlers, uint32_t timer_interval_ms = 1000);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Runs the service on the calling thread, which becomes the service thread: start, then
    // stop requests, shutdown and timer ticks until the service has stopped. With
    // `catch_signals`, SIGTERM and SIGINT ask for the shutdown while Run runs.
    int Run(bool catch_signals = true);

    // From any thread. The stop runs on the service thread; `done` hears whether it stopped
    // (false also when the service ended before the request was handled).
    void RequestStop(std::function<void(bool stopped)> done = {});
    void RequestShutdown();

    uint32_t TimerInterval() const { return interval_; }
    bool Running() const { return running_.load(); }
    bool OnServiceThread() const { return std::this_thread::get_id() == thread_id_.load(); }
    const std::string& Name() const { return name_; }

  private:
    enum class Control { Stop, Shutdown };
    struct Request {
        Control control;
        std::function<void(bool)> done;
    };
    bool NextRequest(Request& out, uint32_t& next_tick);

    std::string name_;
    Handlers h_;
    uint32_t interval_;
    std::atomic<bool> running_{false};
    std::atomic<std::thread::id> thread_id_{};
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Request> queue_;  // m_
    bool finished_ = false;      // m_: no more requests are handled
};

// --- asking a running service to stop over the object transport --------------------------------

// Exit codes of AskStop (the process's exit code for "NorvaltDrv /STOP").
inline constexpr int kStopDone = 0;
inline constexpr int kStopFailed = 1;   // not running, not reachable, not allowed
inline constexpr int kStopRefused = 3;  // the service refused to stop

// Serves stop requests of administrators through the class object CLSID_ServiceControl, which
// the service registers once it runs; `runner` outlives the registration. The callers' peers
// are remembered, so the service can let their answers out before it closes connections.
// Returns the class-table cookie (0 when one is registered already).
uint32_t RegisterServiceControl(Runner& runner);
void RevokeServiceControl(uint32_t cookie);
// Peers (CallContext::peer) that asked for a stop since the last call; the list is emptied.
std::vector<std::string> TakeStopAskers();

// Asks the service on `socket_path` ("" = the default socket) to stop and waits for
// its answer. Writes "stop refused" (or why it failed) to `message`.
int AskStop(const std::string& socket_path, std::string& message);

}  // namespace plat::svc
