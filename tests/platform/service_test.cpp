// The service framework: systemd notification, the service thread's handling of start, stop,
// shutdown and timer, and the unit files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/service/service.h"
#include "platform/service/units.h"
#include "platform/time/clock.h"
#include "tests/support/TempRoot.h"

namespace {

using namespace std::chrono_literals;

// A datagram socket standing in for systemd's notification socket, named in NOTIFY_SOCKET for
// the test's lifetime.
class NotifyListener {
  public:
    explicit NotifyListener(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (path[0] == '@') a.sun_path[0] = '\0';
        const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                                     (path[0] == '@' ? 0 : 1));
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0;
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifyListener() {
        ::unsetenv("NOTIFY_SOCKET");
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const { return ok_; }
    // The next datagram, "" after 10 s without one.
    std::string Next() {
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

TEST(ServiceNotify, ReachesPathAndAbstractSocketsAndFailsWithoutOne) {
    testsupport::TempRoot root;
    {
        NotifyListener l(root.Path() + "/notify");
        ASSERT_TRUE(l.Ok());
        EXPECT_TRUE(plat::svc::Notify("READY=1"));
        EXPECT_EQ(l.Next(), "READY=1");
    }
    {
        NotifyListener l("@norvalt-notify-test-" + std::to_string(::getpid()));
        ASSERT_TRUE(l.Ok());
        EXPECT_TRUE(plat::svc::Notify("STOPPING=1"));
        EXPECT_EQ(l.Next(), "STOPPING=1");
    }
    EXPECT_FALSE(plat::svc::Notify("READY=1")) << "NOTIFY_SOCKET unset";
}

// Records what ran on which thread and in which order.
struct Journal {
    std::mutex m;
    std::vector<std::string> lines;
    std::thread::id service_thread;
    bool off_thread = false;
    void Add(const std::string& s) {
        std::lock_guard lk(m);
        lines.push_back(s);
        if (std::this_thread::get_id() != service_thread) off_thread = true;
    }
    std::vector<std::string> Lines() {
        std::lock_guard lk(m);
        return lines;
    }
};

TEST(ServiceEvents, UnderTheJournalAReportIsWrittenOnce) {
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/stderr";
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(file, 2);
    struct stat st {};
    ::fstat(2, &st);
    ::setenv("JOURNAL_STREAM",
             (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    const bool journal = plat::svc::StderrIsJournal();
    plat::svc::ReportEvent("NorvaltDrv", plat::svc::EventKind::Info, "to syslog alone");
    ::unsetenv("JOURNAL_STREAM");
    plat::svc::ReportEvent("NorvaltDrv", plat::svc::EventKind::Info, "to both");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(file);
    EXPECT_TRUE(journal);
    EXPECT_FALSE(plat::svc::StderrIsJournal());
    EXPECT_EQ(testsupport::ReadFile(path), "NorvaltDrv: to both\n");
}

TEST(ServiceRunner, ReadyAfterStartStopRefusedThenTakenTimerOnTheServiceThread) {
    testsupport::TempRoot root;
    NotifyListener notify(root.Path() + "/notify");
    ASSERT_TRUE(notify.Ok());
    plat::ScopedFakeClock clock(false);
    Journal j;
    std::atomic<bool> refuse{true};
    std::atomic<int> ticks{0};
    plat::svc::Handlers h;
    h.start = [&] {
        j.Add("start");
        return true;
    };
    h.stop = [&] {
        j.Add("stop?");
        return !refuse.load();
    };
    h.stopped = [&] { j.Add("stopped"); };
    h.shutdown = [&] { j.Add("shutdown"); };
    h.timer = [&] { ++ticks; };
    plat::svc::Runner runner("test", h, 1000);
    std::promise<int> exit_code;
    std::thread t([&] {
        j.service_thread = std::this_thread::get_id();
        exit_code.set_value(runner.Run(false));
    });
    EXPECT_EQ(notify.Next(), "READY=1");
    EXPECT_EQ(j.Lines(), std::vector<std::string>{"start"}) << "READY=1 only after OnStart";

    clock->Advance(999);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ticks.load(), 0) << "not before the interval";
    clock->Advance(1);
    for (int i = 0; i < 2000 && ticks.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(ticks.load(), 1);

    std::promise<bool> first;
    runner.RequestStop([&](bool s) { first.set_value(s); });
    EXPECT_FALSE(first.get_future().get()) << "the refusal reaches the one who asked";
    EXPECT_TRUE(runner.Running());

    refuse = false;
    std::promise<bool> second;
    runner.RequestStop([&](bool s) {
        j.Add("answered");
        second.set_value(s);
    });
    EXPECT_TRUE(second.get_future().get());
    auto f = exit_code.get_future();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(f.get(), plat::svc::kExitStopped);
    t.join();
    EXPECT_EQ(j.Lines(),
              (std::vector<std::string>{"start", "stop?", "stop?", "answered", "stopped"}))
        << "the answer goes out before the stop itself";
    EXPECT_FALSE(j.off_thread);

    bool late = true;
    runner.RequestStop([&](bool s) { late = s; });
    EXPECT_FALSE(late) << "a stop asked after the end is answered at once";
}

TEST(ServiceRunner, FailedStartEndsTheRunAndShutdownCannotBeRefused) {
    plat::svc::Handlers fail;
    fail.start = [] { return false; };
    plat::svc::Runner failing("test", fail);
    EXPECT_EQ(failing.Run(false), plat::svc::kExitStartFailed);

    std::atomic<bool> shut{false};
    plat::svc::Handlers h;
    h.stop = [] { return false; };
    h.shutdown = [&] { shut = true; };
    plat::svc::Runner runner("test", h);
    std::thread t([&] { EXPECT_EQ(runner.Run(false), plat::svc::kExitStopped); });
    runner.RequestShutdown();
    t.join();
    EXPECT_TRUE(shut.load());
}

TEST(ServiceRunner, SigtermIsTheShutdown) {
    std::atomic<bool> shut{false};
    plat::svc::Handlers h;
    h.stop = [] { return false; };
    h.shutdown = [&] { shut = true; };
    plat::svc::Runner runner("test", h);
    std::promise<int> code;
    std::thread t([&] { code.set_value(runner.Run(true)); });
    for (int i = 0; i < 2000 && !runner.Running(); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(runner.Running());
    ::kill(::getpid(), SIGTERM);
    auto f = code.get_future();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(f.get(), plat::svc::kExitStopped);
    t.join();
    EXPECT_TRUE(shut.load());
}

// --- unit files --------------------------------------------------------------------------------

bool Exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

TEST(ServiceUnits, StartTypeChoosesWhatIsEnabledAndRemovalCleansUp) {
    testsupport::TempRoot root;
    const std::string dir = root.Path() + "/units";
    plat::svc::UnitSpec s;
    s.name = "NorvaltDrv";
    s.description = "Norvalt 100% service";
    s.exec_path = "/opt/nv dir/NorvaltDrv";
    s.root = "/var/lib/nv \"x\"";
    s.socket_path = "/run/nv/NorvaltDrv.sock";
    s.socket_mode = 0660;
    s.socket_group = "sudo";

    const std::string service_link = dir + "/multi-user.target.wants/NorvaltDrv.service";
    const std::string socket_link = dir + "/sockets.target.wants/NorvaltDrv.socket";
    struct Case {
        plat::svc::StartType type;
        bool service, socket;
    };
    for (Case c : {Case{plat::svc::StartType::Manual, false, true},
                   Case{plat::svc::StartType::Automatic, true, false},
                   Case{plat::svc::StartType::Disabled, false, false}}) {
        SCOPED_TRACE(static_cast<int>(c.type));
        s.start = c.type;
        ASSERT_EQ(plat::svc::InstallUnits(dir, s), "");
        EXPECT_EQ(Exists(service_link), c.service);
        EXPECT_EQ(Exists(socket_link), c.socket);
    }
    const std::string service = testsupport::ReadFile(dir + "/NorvaltDrv.service");
    const std::string socket = testsupport::ReadFile(dir + "/NorvaltDrv.socket");
    for (const char* line : {"Type=notify\n", "ExecStart=\"/opt/nv dir/NorvaltDrv\"\n",
                             "Environment=\"NORVALT_ROOT=/var/lib/nv \\\"x\\\"\"\n",
                             "Requires=NorvaltDrv.socket\n", "Description=Norvalt 100%% service\n"})
        EXPECT_NE(service.find(line), std::string::npos) << line << "\n" << service;
    for (const char* line :
         {"ListenStream=/run/nv/NorvaltDrv.sock\n", "SocketMode=0660\n", "SocketGroup=sudo\n"})
        EXPECT_NE(socket.find(line), std::string::npos) << line << "\n" << socket;

    s.exec_path = "/opt/x\nExecStartPre=/bin/evil";
    EXPECT_NE(plat::svc::InstallUnits(dir, s), "") << "a line break would add a setting";

    EXPECT_EQ(plat::svc::RemoveUnits(dir, "NorvaltDrv"), "");
    for (const std::string& p :
         {dir + "/NorvaltDrv.service", dir + "/NorvaltDrv.socket", service_link, socket_link})
        EXPECT_FALSE(Exists(p)) << p;
    EXPECT_EQ(plat::svc::RemoveUnits(dir, "NorvaltDrv"), "") << "removing twice is no error";
}

}  // namespace
