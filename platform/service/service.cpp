#include "platform/service/service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/rpc/marshal.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace plat::svc {

inline const IID IID_IServiceControl = GuidOf("{6C1E42B0-93D4-4F4A-8E21-0B7D5C3A9F11}");
inline const CLSID CLSID_ServiceControl = GuidOf("{6C1E42B1-93D4-4F4A-8E21-0B7D5C3A9F11}");

// What "NorvaltDrv /STOP" calls in the running service.
struct IServiceControl : public virtual IUnknown {
    static const IID& GetIID() { return IID_IServiceControl; }
    // *stopped: 1 when the service stopped, 0 when it refused.
    virtual HRESULT Stop(int32_t* stopped) = 0;
};

}  // namespace plat::svc

#define NORVALT_RPC_ISERVICECONTROL(M) M(Stop, 1)
NORVALT_RPC_INTERFACE(plat::svc::IServiceControl, NORVALT_RPC_ISERVICECONTROL)

namespace plat::svc {

// --- start type -------------------------------------------------------------------------------

std::string ServiceKey(std::string_view service) {
    return "SYSTEM\\CurrentControlSet\\Services\\" + std::string(service);
}

long WriteStartType(std::string_view service, StartType type) {
    return reg::WriteDword(reg::Hive::LocalMachine, ServiceKey(service), "Start",
                           static_cast<uint32_t>(type));
}

bool ReadStartType(std::string_view service, StartType& out) {
    uint32_t v = 0;
    if (reg::ReadDword(reg::Hive::LocalMachine, ServiceKey(service), "Start", v) != ERROR_SUCCESS)
        return false;
    if (v < 2 || v > 4) return false;
    out = static_cast<StartType>(v);
    return true;
}

long DeleteServiceRecord(std::string_view service) {
    long rc = reg::DeleteKeyTree(reg::Hive::LocalMachine, ServiceKey(service));
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

std::optional<StartType> StartTypeSwitch(const std::vector<std::string>& args) {
    constexpr std::string_view kWord = "START=";
    std::optional<StartType> found;
    for (const std::string& a : args) {
        if (a.size() <= kWord.size() || (a[0] != '/' && a[0] != '-') ||
            !EqualsNoCase(std::string_view(a).substr(1, kWord.size()), kWord))
            continue;
        const std::string_view value = std::string_view(a).substr(1 + kWord.size());
        if (EqualsNoCase(value, "AUTO"))
            found = StartType::Automatic;
        else if (EqualsNoCase(value, "MANUAL"))
            found = StartType::Manual;
        else
            throw std::invalid_argument("unknown start type \"" + std::string(value) +
                                        "\" (/START=AUTO or /START=MANUAL)");
    }
    return found;
}

// --- event log and systemd ------------------------------------------------------------------

namespace {
std::mutex g_sink_m;
std::function<void(EventKind, const std::string&)> g_sink;  // g_sink_m
}  // namespace

void SetEventSink(std::function<void(EventKind, const std::string&)> sink) {
    std::lock_guard lk(g_sink_m);
    g_sink = std::move(sink);
}

bool StderrIsJournal() {
    // decisions PLAT-SVC-4
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

void ReportEvent(std::string_view source, EventKind kind, std::string_view text) {
    const int prio = kind == EventKind::Error     ? LOG_ERR
                     : kind == EventKind::Warning ? LOG_WARNING
                                                  : LOG_INFO;
    // One name per process in syslog, whichever part reports: the service and its framework
    // used to appear under two.
    std::string ident(program_invocation_short_name && *program_invocation_short_name
                          ? std::string_view(program_invocation_short_name)
                          : source);
    std::string line(text);
    {
        // The identity pointer must stay valid while the log is open: open and close per
        // report, one report at a time.
        static std::mutex syslog_m;
        std::lock_guard lk(syslog_m);
        ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
        ::syslog(prio, "%s", line.c_str());
        ::closelog();
    }
    std::function<void(EventKind, const std::string&)> sink;
    {
        std::lock_guard lk(g_sink_m);
        sink = g_sink;
    }
    if (sink)
        sink(kind, line);
    else if (!StderrIsJournal())  // under systemd stderr is the journal, which has it already
        std::fprintf(stderr, "%s: %s\n", std::string(source).c_str(), line.c_str());
}

bool Notify(std::string_view state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = std::strlen(path);
    if (len >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path, len);
    if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    const socklen_t alen =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t n = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&addr), alen);
    ::close(fd);
    return n == static_cast<ssize_t>(state.size());
}

// A hang-up means the session that started the service ended, not that anyone wants the posts
// stopped; none of these has a meaning for the service (decisions PLAT-SVC-7).
void IgnoreStraySignals() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2}) ::sigaction(sig, &sa, nullptr);
}

// --- the service thread -----------------------------------------------------------------------

namespace {
// Lock-free, so the handler may set it; the service thread polls it.
std::atomic<int> g_term{0};
static_assert(std::atomic<int>::is_always_lock_free);
extern "C" void OnTermSignal(int) {
    g_term.store(1);
}
}  // namespace

Runner::Runner(std::string name, Handlers handlers, uint32_t timer_interval_ms)
    : name_(std::move(name)), h_(std::move(handlers)), interval_(timer_interval_ms) {}

Runner::~Runner() {
    std::deque<Request> left;
    {
        std::lock_guard lk(m_);
        finished_ = true;
        left.swap(queue_);
    }
    for (auto& r : left)
        if (r.done) r.done(false);
}

void Runner::RequestStop(std::function<void(bool)> done) {
    {
        std::lock_guard lk(m_);
        if (!finished_) {
            queue_.push_back({Control::Stop, std::move(done)});
            cv_.notify_all();
            return;
        }
    }
    if (done) done(false);
}

void Runner::RequestShutdown() {
    std::lock_guard lk(m_);
    if (finished_) return;
    queue_.push_back({Control::Shutdown, {}});
    cv_.notify_all();
}

// Waits for a request until the timer is due, on the process clock (which a test may move by
// hand), at most 50 ms at a time: a stop signal only sets a flag.
bool Runner::NextRequest(Request& out, uint32_t& next_tick) {
    Clock& clock = SysClock();
    std::unique_lock lk(m_);
    for (;;) {
        if (g_term.exchange(0) != 0) {
            out = {Control::Shutdown, {}};
            return true;
        }
        if (!queue_.empty()) {
            out = std::move(queue_.front());
            queue_.pop_front();
            return true;
        }
        const uint32_t now = clock.TickCount();
        const uint32_t left = next_tick - now;
        if (left == 0 || left > interval_) {  // due (or overdue: the difference wrapped)
            next_tick = now + interval_;
            return false;
        }
        clock.WaitUntil(cv_, lk, now, std::min<uint32_t>(left, 50),
                        [&] { return g_term.load() != 0 || !queue_.empty(); });
    }
}

int Runner::Run(bool catch_signals) {
    thread_id_ = std::this_thread::get_id();
    struct sigaction old_term {
    }, old_int{};
    if (catch_signals) {
        g_term.store(0);
        struct sigaction sa {};
        sa.sa_handler = &OnTermSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, &old_term);
        ::sigaction(SIGINT, &sa, &old_int);
    }
    auto restore = [&] {
        if (catch_signals) {
            ::sigaction(SIGTERM, &old_term, nullptr);
            ::sigaction(SIGINT, &old_int, nullptr);
        }
    };
    auto report = [&](const char* what) {
        try {
            throw;
        } catch (const std::exception& e) {
            ReportEvent(name_, EventKind::Error, std::string(what) + ": " + e.what());
        } catch (...) {
            ReportEvent(name_, EventKind::Error, std::string(what) + ": unknown exception");
        }
    };

    bool started = false;
    try {
        started = h_.start ? h_.start() : true;
    } catch (...) {
        report("The service could not start");
    }
    if (!started) {
        ReportEvent(name_, EventKind::Error, "The service did not start");
        std::deque<Request> left;
        {
            std::lock_guard lk(m_);
            finished_ = true;
            left.swap(queue_);
        }
        for (auto& r : left)
            if (r.done) r.done(false);
        restore();
        return kExitStartFailed;
    }
    // The timer counts from the start, before anyone hears that the service runs.
    uint32_t next_tick = SysClock().TickCount() + interval_;
    running_ = true;
    // decisions PLAT-SVC-3
    Notify("READY=1");

    bool ended = false;
    while (!ended) {
        Request r;
        if (!NextRequest(r, next_tick)) {
            try {
                if (h_.timer) h_.timer();
            } catch (...) {
                report("Service timer");
            }
            continue;
        }
        if (r.control == Control::Shutdown) {
            try {
                if (h_.shutdown) h_.shutdown();
            } catch (...) {
                report("Service shutdown");
            }
            ended = true;
            continue;
        }
        bool stopped = false;
        try {
            stopped = h_.stop ? h_.stop() : true;
        } catch (...) {
            report("Service stop");
        }
        if (r.done) r.done(stopped);
        if (stopped) {
            try {
                if (h_.stopped) h_.stopped();
            } catch (...) {
                report("Service stop");
            }
            ended = true;
        }
    }

    // Stops still queued are answered: the service has stopped.
    std::deque<Request> left;
    {
        std::lock_guard lk(m_);
        finished_ = true;
        left.swap(queue_);
    }
    for (auto& q : left)
        if (q.done) q.done(true);
    running_ = false;
    restore();
    return kExitStopped;
}

// --- stop over the transport ----------------------------------------------------------------

namespace {

std::mutex g_askers_m;
std::vector<std::string> g_askers;  // g_askers_m

// The longest a stop request waits for the service thread's answer.
constexpr auto kStopAnswerWait = std::chrono::seconds(120);

class ServiceControl final : public ComObject<IServiceControl> {
  public:
    explicit ServiceControl(Runner& runner) : runner_(runner) {}
    HRESULT Stop(int32_t* stopped) override {
        if (!stopped) return E_POINTER;
        *stopped = 0;
        const CallContext& ctx = GetCallContext();
        if (!ctx.admin) {
            SetErrorText("Only administrators may stop the service");
            return E_ACCESSDENIED;
        }
        {
            std::lock_guard lk(g_askers_m);
            if (g_askers.size() < 64) g_askers.push_back(ctx.peer);
        }
        auto answer = std::make_shared<std::promise<bool>>();
        std::future<bool> f = answer->get_future();
        runner_.RequestStop([answer](bool s) { answer->set_value(s); });
        if (f.wait_for(kStopAnswerWait) != std::future_status::ready) {
            SetErrorText("The service did not answer the stop request");
            return E_FAIL;
        }
        *stopped = f.get() ? 1 : 0;
        return S_OK;
    }

  private:
    Runner& runner_;
};

}  // namespace

uint32_t RegisterServiceControl(Runner& runner) {
    rpc::RegisterInterfaces<IServiceControl>();
    Runner* r = &runner;
    ComPtr<IClassFactory> f =
        MakeCom<FunctionClassFactory>([r](const IID& iid, void** out) -> HRESULT {
            ComPtr<ServiceControl> obj = MakeCom<ServiceControl>(*r);
            return obj->QueryInterface(iid, out);
        });
    return RegisterClassObject(CLSID_ServiceControl, f.Get());
}

void RevokeServiceControl(uint32_t cookie) {
    if (cookie != 0) RevokeClassObject(cookie);
}

std::vector<std::string> TakeStopAskers() {
    std::lock_guard lk(g_askers_m);
    return std::exchange(g_askers, {});
}

int AskStop(const std::string& socket_path, std::string& message) {
    rpc::RegisterInterfaces<IServiceControl>();
    void* p = nullptr;
    HRESULT hr =
        rpc::CreateOnLocalServer(socket_path, CLSID_ServiceControl, IID_IServiceControl, &p);
    if (Failed(hr)) {
        std::string text = GetErrorText();
        message = "the service is not running or cannot be reached" +
                  (text.empty() ? std::string() : ": " + text);
        return kStopFailed;
    }
    ComPtr<IServiceControl> control =
        ComPtr<IServiceControl>::Attach(static_cast<IServiceControl*>(p));
    int32_t stopped = 0;
    hr = control->Stop(&stopped);
    std::string text = Failed(hr) ? GetErrorText() : std::string();
    control.Reset();
    // The service waits for this connection to end before it closes its transport.
    rpc::DisconnectAll();
    if (Failed(hr)) {
        message = hr == E_ACCESSDENIED ? "stop not allowed: " + text
                                       : "stop failed" + (text.empty() ? "" : ": " + text);
        return kStopFailed;
    }
    if (!stopped) {
        message = "stop refused";
        return kStopRefused;
    }
    message = "stopped";
    return kStopDone;
}

}  // namespace plat::svc
