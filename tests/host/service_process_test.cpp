// The NorvaltDrv program under a harness that plays systemd: the listening socket handed over
// as descriptor 3, a notification socket the test reads, clients in other processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "service/typelib/TypeLib.h"
#include "tests/host/HostChild.h"
#include "tests/support/TempRoot.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using hosttest::HostChild;

// Generous: these run under the sanitizers on a loaded machine.
constexpr int kLongMs = 120000;

// One run of the program; its standard output and error go to `out`.
class Program {
  public:
    Program(const std::vector<std::string>& args, const std::string& root, const std::string& out,
            int listen_fd = -1, const std::string& notify = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            if (v.starts_with("LISTEN_") || v.starts_with("NOTIFY_SOCKET=") ||
                v.starts_with("NORVALT_"))
                continue;
            env.emplace_back(v);
        }
        env.push_back("NORVALT_ROOT=" + root);
        env.push_back("NORVALT_UNIT_DIR=" + root + "/units");
        if (!notify.empty()) env.push_back("NOTIFY_SOCKET=" + notify);
        if (listen_fd >= 0) {
            env.push_back("LISTEN_FDS=1");
            env.push_back("LISTEN_PID=" + std::string(20, ' '));  // filled in by the child
        }
        std::vector<std::string> argv{NORVALT_SERVICE_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : env) e.push_back(s.data());
        e.push_back(nullptr);
        char* pid_slot = listen_fd >= 0 ? e[e.size() - 2] : nullptr;
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls from here on.
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (listen_fd >= 0) {
                if (listen_fd != 3) ::dup2(listen_fd, 3);
                ::fcntl(3, F_SETFD, 0);
                char* p = pid_slot + std::strlen("LISTEN_PID=");
                char digits[20];
                int n = 0;
                for (pid_t v = ::getpid(); v > 0; v /= 10)
                    digits[n++] = static_cast<char>('0' + v % 10);
                while (n > 0) *p++ = digits[--n];
                *p = '\0';
            }
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        ::close(fd);
    }
    ~Program() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            Wait(kLongMs);
        }
    }
    pid_t Pid() const { return pid_; }
    bool Alive() {
        if (reaped_) return false;
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = st;
        }
        return !reaped_;
    }
    // Exit code, 128 + signal, or -1 when it still runs after `ms`.
    int Wait(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Alive() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!reaped_) return -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Stands in for systemd's notification socket.
struct Notify {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string path;
    explicit Notify(std::string p) : path(std::move(p)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval tv{kLongMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Notify() { ::close(fd); }
    std::string Next() {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

std::string Slurp(const std::string& path) {
    return testsupport::ReadFile(path);
}

// Every log file under `folder` put together.
std::string Logs(const std::string& folder) {
    std::string all;
    std::error_code ec;
    if (!fs::exists(folder, ec)) return all;
    for (auto& f : fs::recursive_directory_iterator(folder, ec))
        if (f.is_regular_file()) all += Slurp(f.path().string());
    return all;
}

class ServiceProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        socket_ = root_.Path() + "/run/NorvaltDrv.sock";
        Program install({"/INSTALL", "/SILENT", "/PROTOCOL=4"}, root_.Path(), Out("install"));
        ASSERT_EQ(install.Wait(kLongMs), 0) << Slurp(Out("install"));
    }
    void TearDown() override {
        if (listen_fd_ >= 0) ::close(listen_fd_);
        plat::rpc::DisconnectAll();
    }
    std::string Out(const std::string& name) const { return root_.Path() + "/" + name + ".out"; }
    // As the socket unit: the service's socket, listening before any service runs.
    void Listen() {
        fs::create_directories(root_.Path() + "/run");
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_.c_str());
        ASSERT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listen_fd_, 16), 0);
    }
    void SetParameters(const std::string& text) {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv",
                                         "Parameters", text),
                  0);
    }
    std::unique_ptr<Program> StartService(Notify& notify, const std::string& out = "service") {
        return std::make_unique<Program>(std::vector<std::string>{}, root_.Path(), Out(out),
                                         listen_fd_, notify.path);
    }
    int Stop() {
        Program stop({"/STOP"}, root_.Path(), Out("stop"));
        return stop.Wait(kLongMs);
    }
    std::unique_ptr<HostChild> Client(const std::string& scenario) {
        return std::make_unique<HostChild>(
            scenario,
            std::vector<std::pair<std::string, std::string>>{{"NORVALT_ROOT", root_.Path()}});
    }

    testsupport::TempRoot root_;
    std::string socket_;
    int listen_fd_ = -1;
};

TEST_F(ServiceProcess, InstallStartsNoLogAndOpensNoPortAndUninstallUndoesIt) {
    EXPECT_FALSE(fs::exists(root_.Path() + "/c")) << "no log folder";
    EXPECT_FALSE(fs::exists(socket_)) << "nothing listens";
    EXPECT_TRUE(fs::exists(root_.Path() + "/units/NorvaltDrv.socket"));
    std::string params;
    EXPECT_EQ(plat::reg::ReadString(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv",
                                    "Parameters", params),
              0);
    EXPECT_EQ(params, "PROTOCOL=4");
    EXPECT_TRUE(plat::IsClassRegistered(tlb::CLSID_TORK));

    Program uninstall({"/UNINSTALL", "/SILENT"}, root_.Path(), Out("uninstall"));
    ASSERT_EQ(uninstall.Wait(kLongMs), 0) << Slurp(Out("uninstall"));
    EXPECT_FALSE(fs::exists(root_.Path() + "/units/NorvaltDrv.socket"));
    EXPECT_FALSE(plat::reg::KeyExists(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv"));
    EXPECT_FALSE(fs::exists(root_.Path() + "/c"));
}

TEST_F(ServiceProcess, HelpAndVersionAnswerWithoutTouchingTheRoot) {
    testsupport::TempRoot fresh;
    for (const char* word : {"--help", "-h", "/?", "--version"}) {
        Program run({word}, fresh.Path(), Out("help"));
        EXPECT_EQ(run.Wait(kLongMs), 0) << word;
        const std::string out = Slurp(Out("help"));
        if (std::string_view(word) == "--version")
            EXPECT_EQ(out.rfind("NorvaltDrv ", 0), 0u) << out;
        else
            EXPECT_NE(out.find("/INSTALL"), std::string::npos) << word << ": " << out;
    }
    EXPECT_TRUE(fs::is_empty(fresh.Path())) << "no registry, no run folder";
}

TEST_F(ServiceProcess, UninstallKeepsTheTransportSettings) {
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, plat::kTransportKey,
                                     "SocketGroup", "operators"),
              0);
    Program uninstall({"/UNINSTALL", "/SILENT"}, root_.Path(), Out("uninstall"));
    ASSERT_EQ(uninstall.Wait(kLongMs), 0) << Slurp(Out("uninstall"));
    std::string group, params;
    EXPECT_EQ(plat::reg::ReadString(plat::reg::Hive::LocalMachine, plat::kTransportKey,
                                    "SocketGroup", group),
              0);
    EXPECT_EQ(group, "operators") << "who may connect survives an upgrade";
    EXPECT_NE(plat::reg::ReadString(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv",
                                    "Parameters", params),
              0)
        << "the service's own records are gone";
    EXPECT_FALSE(plat::IsClassRegistered(tlb::CLSID_TORK));
}

TEST_F(ServiceProcess, UninstallWhileTheServiceRunsIsRefused) {
    SetParameters("PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=0");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto service = StartService(notify);
    ASSERT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    Program uninstall({"/UNINSTALL", "/SILENT"}, root_.Path(), Out("uninstall"));
    EXPECT_EQ(uninstall.Wait(kLongMs), 1) << Slurp(Out("uninstall"));
    EXPECT_NE(Slurp(Out("uninstall")).find("stop it first"), std::string::npos)
        << Slurp(Out("uninstall"));
    EXPECT_TRUE(plat::IsClassRegistered(tlb::CLSID_TORK)) << "nothing was removed";
    EXPECT_TRUE(fs::exists(root_.Path() + "/units/NorvaltDrv.socket"));
    EXPECT_TRUE(service->Alive());
    ASSERT_EQ(::kill(service->Pid(), SIGTERM), 0);
    EXPECT_EQ(service->Wait(kLongMs), 0);
}

TEST_F(ServiceProcess, ServesQueuedClientRefusesStopWhileUsedAndStopsOnSigterm) {
    SetParameters("PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=0");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto early = Client("bind");  // queued on the socket before the service runs
    auto service = StartService(notify);
    EXPECT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    EXPECT_EQ(early->ReadLine(kLongMs), "bound");
    EXPECT_EQ(early->Wait(kLongMs), 0);

    auto holder = Client("hold-station");
    ASSERT_EQ(holder->ReadLine(kLongMs), "ready");
    EXPECT_EQ(Stop(), 3);
    EXPECT_NE(Slurp(Out("stop")).find("stop refused"), std::string::npos) << Slurp(Out("stop"));
    EXPECT_TRUE(service->Alive());

    // The shutdown is not refusable, clients or not.
    ASSERT_EQ(::kill(service->Pid(), SIGTERM), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1");
    EXPECT_EQ(service->Wait(kLongMs), 0) << Slurp(Out("service"));
    const std::string log = Logs(root_.Path() + "/c");
    EXPECT_NE(log.find("ServiceStop ProcessThread.Finalize"), std::string::npos) << log;
    EXPECT_NE(log.find("ServiceStop TRKSrv.Finalize"), std::string::npos);
}

TEST_F(ServiceProcess, HangUpPipeAndUserSignalsLeaveTheServiceServing) {
    SetParameters("PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=0");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto service = StartService(notify);
    ASSERT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    // As when the terminal of a run by hand closes, and the other signals with no meaning here.
    for (int sig : {SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2}) ASSERT_EQ(::kill(service->Pid(), sig), 0);
    ASSERT_EQ(service->Wait(300), -1) << "ended by a signal";
    // Still there and still serving: the stop is asked over the transport and taken.
    EXPECT_EQ(Stop(), 0) << Slurp(Out("stop"));
    EXPECT_EQ(service->Wait(kLongMs), 0) << Slurp(Out("service"));
    EXPECT_NE(Logs(root_.Path() + "/c").find("ServiceStop ProcessThread.Finalize"),
              std::string::npos);
}

TEST_F(ServiceProcess, KilledClientLetsTheIdleExitRunAndTheNextConnectionStartsItAgain) {
    SetParameters("PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=3");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto holder = Client("hold-station");
    auto service = StartService(notify);
    EXPECT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    ASSERT_EQ(holder->ReadLine(kLongMs), "ready");
    // A few idle periods pass with the client attached: no stop.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_TRUE(service->Alive());
    holder->Kill(SIGKILL);
    holder->Wait(kLongMs);
    EXPECT_EQ(notify.Next(), "STOPPING=1");
    EXPECT_EQ(service->Wait(kLongMs), 0) << Slurp(Out("service"));

    // As the socket unit would: the next connection starts the service on the same socket.
    auto next = Client("bind");
    auto again = StartService(notify, "service2");
    EXPECT_EQ(notify.Next(), "READY=1") << Slurp(Out("service2"));
    EXPECT_EQ(next->ReadLine(kLongMs), "bound");
    EXPECT_EQ(next->Wait(kLongMs), 0);
    EXPECT_EQ(Stop(), 0) << Slurp(Out("stop"));
    EXPECT_EQ(again->Wait(kLongMs), 0);
}

TEST_F(ServiceProcess, SecondStartsLeaveTheRunningInstancesLogsWhole) {
    SetParameters("PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=0");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto service = StartService(notify);
    ASSERT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    const std::string log = root_.Path() + "/c/NorvaltDrvCOM.LG1";
    const std::string before = Slurp(log);
    ASSERT_FALSE(before.empty()) << Logs(root_.Path() + "/c");
    for (int i = 0; i < 5; ++i) {
        Program second({}, root_.Path(), Out("second"));
        EXPECT_EQ(second.Wait(kLongMs), 1) << Slurp(Out("second"));
        EXPECT_NE(Slurp(Out("second")).find("Another instance is running"), std::string::npos)
            << Slurp(Out("second"));
    }
    EXPECT_FALSE(fs::exists(root_.Path() + "/c/NorvaltDrvCOM.LG2")) << "no generation shifted";
    EXPECT_TRUE(service->Alive());
    ASSERT_EQ(::kill(service->Pid(), SIGTERM), 0);
    EXPECT_EQ(service->Wait(kLongMs), 0) << Slurp(Out("service"));
    const std::string after = Slurp(log);
    EXPECT_EQ(after.rfind(before, 0), 0u) << "the running instance's log went on growing";
    EXPECT_NE(after.find("ServiceStop ProcessThread.Finalize"), std::string::npos) << after;
    EXPECT_EQ(after.find("Another"), std::string::npos) << "no failed start wrote into it";
}

// A controller simulated on a pseudo-terminal registered as COM1.
struct PtyController {
    int master = -1, slave = -1;
    std::shared_ptr<zrnsim::Station> station = std::make_shared<zrnsim::Station>();
    std::unique_ptr<zrnsim::LineRunner> runner;
    explicit PtyController(int address) {
        char name[128] = {};
        EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        for (int fd : {master, slave}) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        EXPECT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine,
                                         "HARDWARE\\DEVICEMAP\\SERIALCOMM", "COM1", name),
                  0);
        station->Add(address, 40, 74);
        runner = std::make_unique<zrnsim::LineRunner>(station, master);
        runner->Start();
    }
    ~PtyController() {
        runner->Stop();
        ::close(master);
        ::close(slave);
    }
};

// The program must serve native COM ports, not only start their threads.
TEST_F(ServiceProcess, PollsAControllerOnItsComPort) {
    PtyController controller(6);
    SetParameters("PROTOCOL=4 PORT=CUST COM1=ZRN9600 EXITTIMEOUT=0");
    Listen();
    Notify notify(root_.Path() + "/notify");
    auto service = StartService(notify);
    EXPECT_EQ(notify.Next(), "READY=1") << Slurp(Out("service"));
    auto client = Client("hold");  // waits for post 6 to report itself idle
    EXPECT_EQ(client->ReadLine(kLongMs), "ready") << Logs(root_.Path() + "/c");
    // The OPC server object is served beside TORK.
    void* opc = nullptr;
    EXPECT_EQ(plat::rpc::CreateOnLocalServer(socket_, tlb::CLSID_DA2, plat::IID_IUnknown, &opc),
              plat::S_OK)
        << plat::GetErrorText();
    if (opc) static_cast<plat::IUnknown*>(opc)->Release();
    plat::rpc::DisconnectAll();
    client->Kill(SIGKILL);
    client->Wait(kLongMs);
    ASSERT_EQ(::kill(service->Pid(), SIGTERM), 0);
    EXPECT_EQ(service->Wait(kLongMs), 0);
}

}  // namespace
