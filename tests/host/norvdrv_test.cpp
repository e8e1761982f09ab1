// The service module: idle exit, refused and accepted stops, the registry-listed servers, the
// start-up order, the installation records and the stop asked over the transport.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/service/service.h"
#include "service/core/ports/SystemItems.h"
#include "service/host/NorvDrv.h"
#include "service/host/OPCServer.h"
#include "tests/host/HostFixture.h"

using namespace hosttest;
using plat::reg::Hive;

namespace {

class Module : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        SetStartType(plat::svc::StartType::Manual);
    }
    void TearDown() override {
        module_.reset();
        HostTest::TearDown();
    }
    std::string Parameters() override {
        return "PROTOCOL=4 DISABLEALLPORTS=1 EXITTIMEOUT=" + exit_timeout_;
    }
    void SetStartType(plat::svc::StartType t) {
        ASSERT_EQ(plat::svc::WriteStartType(host::kServiceName, t), plat::ERROR_SUCCESS);
    }
    // A started module whose stop requests are only counted.
    host::TNorvDrv& Started() {
        host::ServiceOptions o;
        o.listen = false;
        module_ = std::make_unique<host::TNorvDrv>(o);
        module_->SetStopPoster([] {});
        EXPECT_TRUE(module_->ServiceStart());
        return *module_;
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) module_->CliExistTimerTimer();
    }

    std::string exit_timeout_ = "3";
    std::unique_ptr<host::TNorvDrv> module_;
};

TEST_F(Module, IdleExitAsksOnTheFourthIdleTickAndOnEveryFurtherOne) {
    host::TNorvDrv& m = Started();
    Ticks(3);
    EXPECT_EQ(m.StopRequests(), 0u);
    EXPECT_FALSE(m.Stopping());
    Ticks(1);
    EXPECT_EQ(m.StopRequests(), 1u);
    EXPECT_TRUE(m.Stopping());
    EXPECT_TRUE(host::ServiceStopping());
    Ticks(2);  // refused meanwhile: the count was not reset, so each tick asks again
    EXPECT_EQ(m.StopRequests(), 3u);
    EXPECT_TRUE(m.TimerEnabled());
}

TEST_F(Module, NoIdleExitWhenTurnedOffOrStartedAutomatically) {
    for (auto [timeout, start] : {std::pair{"0", plat::svc::StartType::Manual},
                                  std::pair{"-1", plat::svc::StartType::Manual},
                                  std::pair{"3", plat::svc::StartType::Automatic}}) {
        SCOPED_TRACE(std::string("EXITTIMEOUT=") + timeout);
        exit_timeout_ = timeout;
        drv::WriteParameters(Parameters());
        drv::StopPorts();
        drv::StartPorts();  // the port manager takes EXITTIMEOUT
        SetStartType(start);
        host::TNorvDrv& m = Started();
        Ticks(10);
        EXPECT_EQ(m.IdleTicks(), 10u);
        EXPECT_EQ(m.StopRequests(), 0u);
        module_.reset();
    }
}

TEST_F(Module, IdleTickCountGoesPast65535) {
    exit_timeout_ = "70000";
    drv::WriteParameters(Parameters());
    drv::StopPorts();
    drv::StartPorts();
    ASSERT_EQ(drv::ExitTimeout(), 70000);
    host::TNorvDrv& m = Started();
    Ticks(70000);
    EXPECT_EQ(m.StopRequests(), 0u);
    Ticks(1);
    EXPECT_EQ(m.StopRequests(), 1u);
}

TEST_F(Module, ClientArrivingAfterTheRequestMakesTheStopRefused) {
    host::TNorvDrv& m = Started();
    Ticks(4);
    ASSERT_EQ(m.StopRequests(), 1u);
    auto opc = drv::TOPCServer::Create();  // arrives before the service thread takes the stop
    try {
        NewStation();
        ADD_FAILURE() << "a new TORK client was let in while the stop was pending";
    } catch (const plat::ComError& e) {
        EXPECT_STREQ(e.what(), "Process is stopping");
    }
    EXPECT_FALSE(m.ServiceTryStop());
    EXPECT_FALSE(m.Stopped());
    EXPECT_TRUE(m.TimerEnabled());
    EXPECT_FALSE(m.Stopping()) << "a refused stop leaves the service serving";
    EXPECT_FALSE(host::ServiceStopping());
    {
        ComPtr<drv::TStation> station;
        EXPECT_NO_THROW(station = NewStation()) << "a TORK client turned away after the refusal";
        EXPECT_TRUE(station);
    }
    Ticks(1);
    EXPECT_EQ(m.IdleTicks(), 0u) << "an OPC server object is a client";
    opc.Reset();
    EXPECT_TRUE(m.ServiceTryStop());
    EXPECT_TRUE(m.Stopped());
    EXPECT_FALSE(drv::NameSpaceActive());
}

TEST_F(Module, PostWaitingWorkingOrPausedRefusesTheStop) {
    host::TNorvDrv& m = Started();
    DirectPost post = MakePost(1, {kRecDozeV});
    for (int32_t s : {tlb::csWaitingKey, tlb::csWorking, tlb::csPaused}) {
        post.SetState(s);
        EXPECT_FALSE(m.ServiceTryStop()) << "state " << s;
        EXPECT_FALSE(m.Stopped());
    }
    post.SetState(tlb::csIdle);
    EXPECT_TRUE(m.ServiceTryStop());
}

TEST_F(Module, EmptyExtObjCtrlKeyOnlyCounts) {
    ASSERT_EQ(plat::reg::CreateKey(Hive::LocalMachine, host::kExtObjCtrlKey), plat::ERROR_SUCCESS);
    host::TNorvDrv& m = Started();
    EXPECT_EQ(m.ExtObjCtrlCount(), 0u);
    Ticks(2);
    EXPECT_EQ(m.IdleTicks(), 2u);
    m.SetClientProbe([] { return true; });
    Ticks(1);
    EXPECT_EQ(m.IdleTicks(), 0u);
}

// A class of this process whose creations are counted.
struct CountedClass {
    plat::CLSID clsid;
    std::atomic<int> created{0};
    uint32_t cookie = 0;
    explicit CountedClass(const char* guid) : clsid(plat::GuidOf(guid)) {
        auto f =
            plat::MakeCom<plat::FunctionClassFactory>([this](const plat::IID& iid, void** out) {
                ++created;
                auto obj = plat::MakeCom<RecordingSink>();
                return obj->QueryInterface(iid, out);
            });
        cookie = plat::RegisterClassObject(clsid, f.Get());
    }
    ~CountedClass() { plat::RevokeClassObject(cookie); }
};

TEST_F(Module, OneDeadServerDoesNotKeepTheOthersFromTheirPings) {
    CountedClass live("{5B0E9C11-2F3A-4D6B-8C7E-1A2B3C4D5E6F}");
    ASSERT_NE(live.cookie, 0u);
    ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, host::kExtObjCtrlKey, "a",
                                     "{5B0E9C12-2F3A-4D6B-8C7E-1A2B3C4D5E6F}"),
              plat::ERROR_SUCCESS);  // registered nowhere
    ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, host::kExtObjCtrlKey, "b",
                                     plat::FormatGuid(live.clsid)),
              plat::ERROR_SUCCESS);
    host::TNorvDrv& m = Started();
    ASSERT_EQ(m.ExtObjCtrlCount(), 2u);
    m.SetClientProbe([] { return true; });
    Ticks(2);
    EXPECT_EQ(live.created.load(), 2);
    EXPECT_TRUE(m.TimerEnabled());
}

TEST_F(Module, FailedStartStopsTheCore) {
    ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, host::kExtObjCtrlKey, "x", "not a guid"),
              plat::ERROR_SUCCESS);
    host::ServiceOptions o;
    o.listen = false;
    module_ = std::make_unique<host::TNorvDrv>(o);
    EXPECT_FALSE(module_->ServiceStart());
    EXPECT_FALSE(module_->TimerEnabled());
    EXPECT_FALSE(drv::NameSpaceActive()) << "the core kept running after a failed start";
    EXPECT_FALSE(drv::PortsStarted());
}

TEST_F(Module, StopDuringATickLeavesTheTimerOff) {
    host::TNorvDrv& m = Started();
    std::thread other;
    std::promise<void> done;
    std::future<void> stopped = done.get_future();
    m.SetClientProbe([&] {
        if (!other.joinable())
            other = std::thread([&] {
                m.ServiceShutdown();
                done.set_value();
            });
        // Give the shutdown every chance to run in the middle of the tick.
        stopped.wait_for(std::chrono::seconds(1));
        return false;
    });
    Ticks(1);
    other.join();
    EXPECT_TRUE(m.Stopped());
    EXPECT_FALSE(m.TimerEnabled()) << "the tick enabled the timer of a stopped service";
    Ticks(1);  // harmless
    EXPECT_FALSE(m.TimerEnabled());
}

// --- start-up order ----------------------------------------------------------------------------

TEST(StartUp, CoreStartsInOrder) {
    testsupport::TempRoot root;
    plat::ScopedFakeClock clock;
    ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                     "PROTOCOL=4 DISABLEALLPORTS=1"),
              plat::ERROR_SUCCESS);
    std::vector<std::string> steps;
    host::SetStartTraceHook([&](std::string_view s) { steps.emplace_back(s); });
    host::StartCore();
    host::SetStartTraceHook({});
    EXPECT_EQ(steps, (std::vector<std::string>{"ProcessSetup", "InitProtocol", "InitNameSpace",
                                               "InitDriverItems", "InitStations", "StartPorts"}));
    EXPECT_TRUE(drv::NameSpaceActive());
    EXPECT_TRUE(drv::PortsStarted());
    EXPECT_NE(drv::FindItemID("System.AllParameters"), -1) << "system items";
    host::StopCore();
    EXPECT_FALSE(drv::NameSpaceActive());
}

// --- installation ------------------------------------------------------------------------------

struct Ace {
    uint32_t mask;
    std::string sid;
    bool operator==(const Ace&) const = default;
};
struct Descriptor {
    uint16_t control = 0;
    std::string owner, group;
    std::vector<Ace> aces;
    bool sacl = false;
};

// Reads a self-relative descriptor back, checking every length against the buffer.
bool Decode(const std::vector<uint8_t>& b, Descriptor& d) {
    auto u16 = [&](size_t at) { return uint16_t(b[at] | b[at + 1] << 8); };
    auto u32 = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    auto sid = [&](size_t at, std::string& out, size_t& len) {
        if (at + 8 > b.size() || b[at] != 1) return false;
        const size_t n = b[at + 1];
        len = 8 + 4 * n;
        if (at + len > b.size()) return false;
        uint64_t auth = 0;
        for (int i = 0; i < 6; ++i) auth = auth << 8 | b[at + 2 + i];
        out = "S-1-" + std::to_string(auth);
        for (size_t i = 0; i < n; ++i) out += "-" + std::to_string(u32(at + 8 + 4 * i));
        return true;
    };
    if (b.size() < 20 || b[0] != 1) return false;
    d.control = u16(2);
    d.sacl = u32(12) != 0;
    size_t len = 0;
    if (!sid(u32(4), d.owner, len) || !sid(u32(8), d.group, len)) return false;
    const size_t acl = u32(16);
    if (acl + 8 > b.size() || b[acl] != 2 || acl + u16(acl + 2) > b.size()) return false;
    size_t at = acl + 8;
    for (int i = 0; i < u16(acl + 4); ++i) {
        if (at + 8 > b.size() || b[at] != 0) return false;  // access-allowed only
        Ace a{u32(at + 4), {}};
        if (!sid(at + 8, a.sid, len) || u16(at + 2) != 8 + len) return false;
        d.aces.push_back(a);
        at += 8 + len;
    }
    return at == acl + u16(acl + 2);
}

TEST(Permissions, DescriptorsDecodeToTheirRightsAndAccounts) {
    Descriptor access, launch;
    ASSERT_EQ(host::AccessPermissionDescriptor().size(), 160u);
    ASSERT_EQ(host::LaunchPermissionDescriptor().size(), 164u);
    ASSERT_TRUE(Decode(host::AccessPermissionDescriptor(), access));
    ASSERT_TRUE(Decode(host::LaunchPermissionDescriptor(), launch));
    for (auto* d : {&access, &launch}) {
        EXPECT_EQ(d->control, 0x8004) << "self-relative, DACL present";
        EXPECT_FALSE(d->sacl);
    }
    EXPECT_EQ(
        access.aces,
        (std::vector<Ace>{
            {7, "S-1-5-10"}, {3, "S-1-5-18"}, {3, "S-1-5-4"}, {7, "S-1-5-11"}, {3, "S-1-5-6"}}));
    EXPECT_EQ(access.owner, "S-1-5-32-544");
    EXPECT_EQ(access.group, "S-1-5-32-544");
    EXPECT_EQ(
        launch.aces,
        (std::vector<Ace>{{31, "S-1-5-18"}, {11, "S-1-5-4"}, {31, "S-1-5-11"}, {11, "S-1-5-6"}}));
    EXPECT_EQ(launch.owner.rfind("S-1-5-21-", 0), 0u);
    EXPECT_EQ(launch.owner.substr(launch.owner.size() - 4), "-500");
    EXPECT_EQ(launch.group, launch.owner);
}

class Install : public ::testing::Test {
  protected:
    std::string Str(Hive h, const std::string& key, const std::string& name) {
        std::string v;
        EXPECT_EQ(plat::reg::ReadString(h, key, name, v), plat::ERROR_SUCCESS)
            << key << " " << name;
        return v;
    }
    host::InstallOptions Options(std::vector<std::string> args) {
        host::InstallOptions o;
        o.args = std::move(args);
        o.exe_path = "/opt/norvalt/bin/NorvaltDrv";
        o.unit_folder = units_;
        return o;
    }
    testsupport::TempRoot root_;
    std::string units_ = root_.Path() + "/units";
    const std::string app_key_ = std::string("AppID\\") + host::kAppID;
    const std::string da2_ = "CLSID\\" + plat::FormatGuid(tlb::CLSID_DA2);
    const std::string cat_ = std::string("Component Categories\\") + host::kCATID_OPCDAServer20;
};

TEST_F(Install, WritesEveryRecordAndUninstallRemovesThem) {
    host::InstallService(Options({"/INSTALL", "/COM1=ZRN"}));
    plat::svc::StartType t;
    ASSERT_TRUE(plat::svc::ReadStartType(host::kServiceName, t));
    EXPECT_EQ(t, plat::svc::StartType::Manual);
    EXPECT_TRUE(host::IsManualStart());
    EXPECT_EQ(Str(Hive::ClassesRoot, host::kAppIDExeKey, "AppID"), host::kAppID);
    EXPECT_EQ(Str(Hive::ClassesRoot, app_key_, "LocalService"), "NorvDrv");
    EXPECT_EQ(Str(Hive::ClassesRoot, app_key_, ""), "Norvalt hardware monitoring service");
    std::vector<uint8_t> bytes;
    ASSERT_EQ(plat::reg::ReadBinary(Hive::ClassesRoot, app_key_, "AccessPermission", bytes), 0);
    EXPECT_EQ(bytes, host::AccessPermissionDescriptor());
    ASSERT_EQ(plat::reg::ReadBinary(Hive::ClassesRoot, app_key_, "LaunchPermission", bytes), 0);
    EXPECT_EQ(bytes, host::LaunchPermissionDescriptor());
    EXPECT_EQ(Str(Hive::ClassesRoot, "CLSID\\" + plat::FormatGuid(tlb::CLSID_TORK), "AppID"),
              host::kAppID);
    EXPECT_EQ(Str(Hive::ClassesRoot, da2_, "AppID"), host::kAppID);
    EXPECT_NE(Str(Hive::LocalMachine, drv::kDrvKey, "Parameters").find("COM1=ZRN"),
              std::string::npos);
    EXPECT_EQ(Str(Hive::ClassesRoot, cat_, "409"), "OPC Data Access Servers Version 2.0");
    EXPECT_TRUE(plat::reg::KeyExists(
        Hive::ClassesRoot, da2_ + "\\Implemented Categories\\" + host::kCATID_OPCDAServer20));
    EXPECT_EQ(Str(Hive::ClassesRoot, "NorvaltDrv.DA2\\OPC\\Vendor", ""), "Norvalt");
    EXPECT_TRUE(host::IsOPCServerRegistered());
    EXPECT_FALSE(testsupport::ReadFile(units_ + "/NorvaltDrv.service").empty());

    ASSERT_EQ(plat::reg::WriteDword(Hive::LocalMachine, std::string(drv::kDrvKey) + "\\ZrnDev\\1",
                                    "Doze", 5),
              0);
    host::UninstallService(Options({"/UNINSTALL"}));
    for (const std::string& k :
         {std::string(host::kAppIDExeKey), app_key_, da2_, cat_, std::string("NorvaltDrv.DA2")})
        EXPECT_FALSE(plat::reg::KeyExists(Hive::ClassesRoot, k)) << k;
    EXPECT_FALSE(plat::reg::KeyExists(Hive::LocalMachine, drv::kDrvKey)) << "saved values too";
    EXPECT_FALSE(plat::svc::ReadStartType(host::kServiceName, t));
    EXPECT_TRUE(testsupport::ReadFile(units_ + "/NorvaltDrv.service").empty());
}

TEST_F(Install, DisabledSwitchAndTheCategoryOfAnotherServer) {
    const std::string other =
        "CLSID\\{11111111-2222-3333-4444-555555555555}\\Implemented "
        "Categories\\" +
        std::string(host::kCATID_OPCDAServer20);
    ASSERT_EQ(plat::reg::CreateKey(Hive::ClassesRoot, other), 0);
    host::InstallService(Options({"-disabled"}));
    plat::svc::StartType t;
    ASSERT_TRUE(plat::svc::ReadStartType(host::kServiceName, t));
    EXPECT_EQ(t, plat::svc::StartType::Disabled);
    EXPECT_FALSE(host::IsManualStart());
    host::UninstallService(Options({}));
    EXPECT_FALSE(plat::reg::KeyExists(Hive::ClassesRoot, da2_));
    EXPECT_TRUE(plat::reg::KeyExists(Hive::ClassesRoot, cat_))
        << "another class still implements the category";
}

TEST_F(Install, UnitsRunTheInstalledProgramSandboxedAndListenOnTcpWhenEnabled) {
    ASSERT_EQ(plat::reg::WriteDword(Hive::LocalMachine, plat::kTransportKey, "TcpEnabled", 1), 0);
    ASSERT_EQ(plat::reg::WriteDword(Hive::LocalMachine, plat::kTransportKey, "TcpPort", 4999), 0);
    host::InstallService(Options({"/INSTALL"}));
    const std::string service = testsupport::ReadFile(units_ + "/NorvaltDrv.service");
    const std::string socket = testsupport::ReadFile(units_ + "/NorvaltDrv.socket");
    for (const std::string& line : std::vector<std::string>{
             "ExecStart=\"/opt/norvalt/bin/NorvaltDrv\"\n", "Restart=on-failure\n",
             "ProtectSystem=strict\n", "NoNewPrivileges=yes\n",
             "ReadWritePaths=\"" + root_.Path() + "\"\n",
             "Environment=\"NORVALT_SOCKET=" + plat::rpc::DefaultSocketPath() + "\"\n"})
        EXPECT_NE(service.find(line), std::string::npos) << line << service;
    EXPECT_NE(socket.find("ListenStream=127.0.0.1:4999\n"), std::string::npos) << socket;
}

TEST_F(Install, AnAutomaticStartStaysWhenTheInstallationRunsAgain) {
    // The administrator's choice of an always-on service, as an edit of the registry gives it.
    ASSERT_EQ(plat::svc::WriteStartType(host::kServiceName, plat::svc::StartType::Automatic), 0);
    host::InstallService(Options({"/INSTALL", "/COM1=ZRN"}));
    plat::svc::StartType t;
    ASSERT_TRUE(plat::svc::ReadStartType(host::kServiceName, t));
    EXPECT_EQ(t, plat::svc::StartType::Automatic);
    EXPECT_FALSE(host::IsManualStart()) << "the idle exit would end an always-on service";
    struct stat st {};
    EXPECT_EQ(::lstat((units_ + "/multi-user.target.wants/NorvaltDrv.service").c_str(), &st), 0)
        << "the service itself is enabled at boot";
    host::InstallService(Options({"/INSTALL", "/DISABLED"}));
    ASSERT_TRUE(plat::svc::ReadStartType(host::kServiceName, t));
    EXPECT_EQ(t, plat::svc::StartType::Disabled);
}

TEST_F(Install, TheStartSwitchChoosesTheStartTypeAndARepeatKeepsIt) {
    auto linked = [&](const char* link) {
        struct stat st {};
        return ::lstat((units_ + "/" + link).c_str(), &st) == 0;
    };
    auto recorded = [] {
        plat::svc::StartType t{};
        return plat::svc::ReadStartType(host::kServiceName, t) ? static_cast<int>(t) : -1;
    };
    host::InstallService(Options({"/INSTALL", "/START=auto"}));
    EXPECT_EQ(recorded(), 2);
    EXPECT_TRUE(linked("multi-user.target.wants/NorvaltDrv.service"));
    EXPECT_FALSE(linked("sockets.target.wants/NorvaltDrv.socket"));
    // A disabled service stays disabled when the installation runs again without a switch,
    // as the package does over a kept registry.
    host::InstallService(Options({"/INSTALL", "/DISABLED"}));
    host::InstallService(Options({"/INSTALL"}));
    EXPECT_EQ(recorded(), 4);
    EXPECT_FALSE(linked("multi-user.target.wants/NorvaltDrv.service"));
    EXPECT_FALSE(linked("sockets.target.wants/NorvaltDrv.socket"));
    host::InstallService(Options({"/INSTALL", "-START=MANUAL"}));
    EXPECT_EQ(recorded(), 3);
    EXPECT_TRUE(linked("sockets.target.wants/NorvaltDrv.socket"));
    EXPECT_THROW(host::InstallService(Options({"/INSTALL", "/START=SOMETIMES"})),
                 host::TRegistrationError);
    EXPECT_EQ(recorded(), 3);
}

// --- the service run and the stop over the transport -----------------------------------------

class Run : public Module {
  protected:
    void SetUp() override {
        exit_timeout_ = "0";  // the paced clock runs the service's timer
        Module::SetUp();
        // The test's own user counts as an administrator.
        group* g = ::getgrgid(::getgid());
        ASSERT_NE(g, nullptr);
        ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, plat::kTransportKey, "AdminGroup",
                                         g->gr_name),
                  0);
        socket_ = root_.Path() + "/run/NorvaltDrv.sock";
    }
    void TearDown() override {
        if (runner_ && runner_->Running()) runner_->RequestShutdown();
        if (thread_.joinable()) thread_.join();
        Module::TearDown();
    }
    void Start(std::function<bool()> clients = {}) {
        host::ServiceOptions o;
        o.server.socket_path = socket_;
        o.server.socket_activation = false;
        o.server.tcp_enabled = false;
        module_ = std::make_unique<host::TNorvDrv>(o);
        if (clients) module_->SetClientProbe(std::move(clients));
        plat::svc::Handlers h;
        h.start = [this] { return module_->ServiceStart(); };
        h.stop = [this] { return module_->ServiceTryStopAnswer(); };
        h.stopped = [this] { module_->ServiceStop(); };
        h.shutdown = [this] { module_->ServiceShutdown(); };
        h.timer = [this] { module_->CliExistTimerTimer(); };
        runner_ = std::make_unique<plat::svc::Runner>(host::kServiceName, h);
        module_->AttachRunner(runner_.get());
        thread_ = std::thread([this] { exit_code_ = runner_->Run(false); });
        ASSERT_TRUE(Eventually([&] { return runner_->Running(); }));
    }
    std::string socket_;
    std::unique_ptr<plat::svc::Runner> runner_;
    std::thread thread_;
    std::atomic<int> exit_code_{-1};
};

TEST_F(Run, IdleExitTakesTheSamePathAndItsRefusalIsSeen) {
    exit_timeout_ = "3";
    drv::WriteParameters(Parameters());
    drv::StopPorts();
    drv::StartPorts();
    auto opc = drv::TOPCServer::Create();  // holds the stop back once it has been asked
    Start([] { return false; });
    ASSERT_TRUE(Eventually([&] { return module_->StopRefusals() >= 1; }, 30000));
    EXPECT_TRUE(runner_->Running());
    opc.Reset();
    thread_.join();
    EXPECT_EQ(exit_code_.load(), 0);
    EXPECT_TRUE(module_->Stopped());
}

// Stands in for systemd's notification socket while it lives.
struct NotifySocket {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit NotifySocket(const std::string& path) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval tv{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd);
    }
    std::string Next() {
        char buf[128];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

TEST_F(Run, RunServiceTellsSystemdAndStopsWhenAsked) {
    NotifySocket notify(root_.Path() + "/notify");
    host::ServiceOptions o;
    o.start_core = false;  // the fixture's core
    o.catch_signals = false;
    o.server.socket_path = socket_;
    o.server.socket_activation = false;
    o.server.tcp_enabled = false;
    std::thread t([&] { exit_code_ = host::RunService(o); });
    EXPECT_EQ(notify.Next(), "READY=1");
    ComPtr<drv::TStation> client = NewStation();
    std::string message;
    EXPECT_EQ(plat::svc::AskStop(socket_, message), plat::svc::kStopRefused);
    EXPECT_EQ(message, "stop refused");
    EXPECT_TRUE(drv::NameSpaceActive()) << "still serving";
    client.Reset();
    EXPECT_EQ(plat::svc::AskStop(socket_, message), plat::svc::kStopDone) << message;
    EXPECT_EQ(notify.Next(), "STOPPING=1");
    t.join();
    EXPECT_EQ(exit_code_.load(), 0);
    EXPECT_FALSE(drv::NameSpaceActive());
    EXPECT_EQ(plat::svc::AskStop(socket_, message), plat::svc::kStopFailed) << "nothing listens";
}

TEST_F(Run, NonAdministratorMayNotStop) {
    if (::geteuid() == 0) GTEST_SKIP() << "root is always an administrator";
    ASSERT_EQ(plat::reg::WriteString(Hive::LocalMachine, plat::kTransportKey, "AdminGroup",
                                     "no-such-group-here"),
              0);
    Start();
    std::string message;
    EXPECT_EQ(plat::svc::AskStop(socket_, message), plat::svc::kStopFailed);
    EXPECT_NE(message.find("not allowed"), std::string::npos) << message;
    EXPECT_TRUE(runner_->Running());
}

}  // namespace
