// The transport between two processes: this one serves, a child (ChildProcess.h) is the client
// (or, for socket activation, the server).
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/registry/registry.h"
#include "tests/rpc/ChildProcess.h"
#include "tests/rpc/RpcFixture.h"

using namespace rpctest;
using plat::S_OK;

namespace {

std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines) s += l + "\n";
    return s;
}

bool Has(const std::vector<std::string>& lines, const std::string& want) {
    return std::find(lines.begin(), lines.end(), want) != lines.end();
}

class Process : public RpcServerFixture {
  protected:
    void SetUp() override {
        RpcServerFixture::SetUp();
        plat::ClassRegistration r;
        r.clsid = CLSID_TestObject;
        r.description = "Transport test object";
        r.prog_id = "Norvalt.TransportTest";
        r.server_path = "/proc/self/exe";
        ASSERT_EQ(plat::RegisterClass(r), plat::ERROR_SUCCESS);
    }
    std::vector<std::pair<std::string, std::string>> ChildEnv(std::string computer = {}) {
        std::vector<std::pair<std::string, std::string>> env = {{"NORVALT_ROOT", root.Path()},
                                                                {"NORVALT_SOCKET", socket_path}};
        if (!computer.empty()) env.push_back({"NORVALT_RPC_COMPUTER", computer});
        return env;
    }
    // The "calls" scenario: the child's own checks, then what it reports about itself.
    std::vector<std::string> RunCalls(const std::string& computer) {
        ChildProcess child("calls", ChildEnv(computer));
        std::string line = child.ReadLine();
        EXPECT_EQ(line, "sink-registered");
        if (line == "sink-registered") {
            ComPtr<tlb::INorvaltEvents> sink;
            EXPECT_TRUE(
                Eventually([&] { return ServerObject() && (sink = ServerObject()->Sink()); }));
            std::thread fire([&] {
                for (int i = 0; i < 10; ++i)
                    EXPECT_EQ(
                        sink->StateChanged(static_cast<int8_t>(i), tlb::TState{tlb::csPaused, 1.0}),
                        S_OK);
            });
            fire.join();
        }
        std::vector<std::string> lines = child.ReadAll();
        EXPECT_EQ(child.Wait(), 0) << line << "\n" << Joined(lines);
        EXPECT_TRUE(Has(lines, "done")) << Joined(lines);
        EXPECT_TRUE(
            Eventually([&] { return LiveTestObjects() == 0 && server.ConnectionCount() == 0; }));
        lines.push_back("pid=" + std::to_string(child.Pid()));
        return lines;
    }
};

TEST_F(Process, ClientCreatesByClsidCallsAndIsCalledBackOverTheLocalSocket) {
    auto lines = RunCalls("");
    const std::string pid = lines.back().substr(4);
    EXPECT_TRUE(Has(lines, "caller uid=0 admin=1 remote=0 locale=1049 pid=" + pid))
        << Joined(lines);
}

class ProcessTcp : public Process {
  protected:
    ProcessTcp() {
        options.tcp_enabled = true;
        options.tcp_address = "127.0.0.1";
        options.tcp_port = 0;
    }
};

TEST_F(ProcessTcp, ClientOnANamedComputerGoesOverTcpAndIsNeverAdministrator) {
    ASSERT_NE(server.TcpPort(), 0);
    auto lines = RunCalls("127.0.0.1:" + std::to_string(server.TcpPort()));
    EXPECT_TRUE(Has(lines, "caller uid=4294967295 admin=0 remote=1 locale=1049 pid=0"))
        << Joined(lines);
}

TEST_F(Process, AKilledClientLeavesNothingBehind) {
    ChildProcess child("hold", ChildEnv());
    ASSERT_EQ(child.ReadLine(), "ready");
    EXPECT_EQ(LiveTestObjects(), 2);
    auto conn = ServerSide();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ExportedObjects(), 2u);
    EXPECT_EQ(conn->ExportedReferences(), 3u) << "two creations and one remote QueryInterface";
    ComPtr<tlb::INorvaltEvents> sink;
    {
        std::lock_guard lk(TestObject::All().m);
        for (TestObject* o : TestObject::All().objects)
            if (auto s = o->Sink()) sink = s;
    }
    ASSERT_TRUE(sink);

    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(Eventually([&] { return LiveTestObjects() == 0 && server.ConnectionCount() == 0; }))
        << LiveTestObjects() << " objects left";
    EXPECT_EQ(conn->ExportedObjects(), 0u);
    EXPECT_EQ(sink->PostFound(1), plat::RPC_E_DISCONNECTED);
}

// A deadlocked connection cannot be torn down: report and leave instead of hanging the run.
void FailHung(const char* what) {
    ADD_FAILURE() << what;
    std::fprintf(stderr, "%s: the connection is deadlocked; leaving\n", what);
    std::fflush(nullptr);
    ::_exit(1);
}

TEST_F(Process, ReleasingAnObjectWhileItsThreadCallsTheClientBackDoesNotHang) {
    // The object's destructor joins its event thread, which waits for the client's answer to a
    // callback; that answer comes in on the connection the release came from.
    auto env = ChildEnv();
    env.push_back({"NORVALT_RPC_RELEASE", "1"});
    ChildProcess child("ticker", env);
    ASSERT_EQ(child.ReadLine(), "ticking");
    ASSERT_EQ(child.ReadLine(), "released");
    if (!Eventually([] { return g_tickers.load() == 0 && LiveTestObjects() == 0; }, 15000))
        FailHung("the released object never ended");
    std::string line = child.ReadLine();
    EXPECT_EQ(line, "served");
    EXPECT_EQ(child.Wait(), 0) << line;
    if (!Eventually([&] { return server.ConnectionCount() == 0; }, 15000))
        FailHung("the connection never closed");
}

TEST_F(Process, AClientKilledWhileCalledBackReleasesTheObjectWaitingForIt) {
    ChildProcess child("ticker", ChildEnv());
    ASSERT_EQ(child.ReadLine(), "ticking");
    ASSERT_EQ(g_tickers.load(), 1);
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    if (!Eventually([&] { return g_tickers.load() == 0 && server.ConnectionCount() == 0; }, 15000))
        FailHung("the killed client's object never ended");
    EXPECT_EQ(LiveTestObjects(), 0);
}

class ProcessIdentity : public Process {
  protected:
    // The unprivileged child is no member of the socket's default (administrators) group.
    ProcessIdentity() { options.socket_mode = 0666; }
    void SetUp() override {
        Process::SetUp();
        // The unprivileged child must reach the registry and the socket.
        ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);
    }
    std::vector<std::string> RunCaller(bool drop) {
        auto env = ChildEnv();
        if (drop) env.push_back({"NORVALT_RPC_DROP", "1"});
        ChildProcess child("caller", env);
        auto lines = child.ReadAll();
        EXPECT_EQ(child.Wait(), 0) << Joined(lines);
        return lines;
    }
};

TEST_F(ProcessIdentity, TheCallContextTellsRootFromAnUnprivilegedUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    EXPECT_TRUE(Has(RunCaller(false), "caller uid=0 admin=1 remote=0 useport=00000000"));
    auto lines = RunCaller(true);
    EXPECT_TRUE(Has(lines, "caller uid=65534 admin=0 remote=0 useport=80070005")) << Joined(lines);

    // Membership in the group named in the registry makes an administrator.
    struct group* g = ::getgrgid(65534);
    ASSERT_TRUE(g);
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, plat::kTransportKey,
                                     "AdminGroup", g->gr_name),
              plat::ERROR_SUCCESS);
    lines = RunCaller(true);
    EXPECT_TRUE(Has(lines, "caller uid=65534 admin=1 remote=0 useport=00000000")) << Joined(lines);
    // The ended clients' references are released off the connection's reader, a moment later.
    EXPECT_TRUE(
        Eventually([&] { return LiveTestObjects() == 0 && server.ConnectionCount() == 0; }));
}

class ProcessRestricted : public ProcessIdentity {
  protected:
    ProcessRestricted() { options.socket_mode = 0600; }
};

TEST_F(ProcessRestricted, TheSocketModeDecidesWhoMayConnect) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    struct stat st {};
    ASSERT_EQ(::stat(socket_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto lines = RunCaller(true);
    ASSERT_EQ(lines.size(), 1u) << Joined(lines);
    EXPECT_EQ(lines[0].rfind("create 80070005 ", 0), 0u) << lines[0];
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

bool StoppedProcess(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t at = stat.rfind(')');
    return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] == 'T';
}

TEST(ProcessGiveUp, ACallGivenUpIsNotCarriedOutLaterAndALateObjectIsGivenBack) {
    testsupport::TempRoot root;
    RegisterAll();
    const std::string path = root.Path() + "/slow.sock";
    ChildProcess child(
        "server",
        {{"NORVALT_ROOT", root.Path()}, {"NORVALT_SOCKET", path}, {"NORVALT_RPC_MAKE_MS", "3000"}});
    ASSERT_EQ(child.ReadLine(), "listening " + path + " activated=0");
    plat::rpc::SetClientCallTimeout(1000);
    void* p = nullptr;
    const HRESULT created =
        plat::rpc::CreateOnLocalServer(path, CLSID_TestObject, IID_ITestKinds, &p);
    plat::rpc::SetClientCallTimeout(0);
    ASSERT_EQ(created, S_OK) << plat::GetErrorText();
    auto k = ComPtr<ITestKinds>::Attach(static_cast<ITestKinds*>(p));
    ASSERT_EQ(child.ReadLine(), "live=1 made=0");

    // The server is stopped: the call and its abandon wait together in its socket.
    child.Kill(SIGSTOP);
    ASSERT_TRUE(Eventually([&] { return StoppedProcess(child.Pid()); }));
    auto mine = plat::MakeCom<Kinds>();
    int32_t pings = 0;
    EXPECT_EQ(k->Ping(mine.Get(), 1, &pings), plat::rpc::RPC_E_TIMEOUT);
    child.Kill(SIGCONT);
    // Served in order: once this is answered, the call given up has been dealt with.
    uint32_t tid = 0;
    EXPECT_EQ(k->ThreadId(&tid), S_OK);

    // This one starts, and its object comes after its caller gave up.
    void* made = nullptr;
    EXPECT_EQ(k->Make(IID_ITestKinds, &made), plat::rpc::RPC_E_TIMEOUT);
    EXPECT_EQ(made, nullptr);
    std::string line = child.ReadLine();
    while (!line.empty() && line != "live=1 made=1") line = child.ReadLine(5000);
    EXPECT_EQ(line, "live=1 made=1") << "the late object is held for nobody";
    EXPECT_TRUE(mine->PingThreads().empty()) << "the call given up was carried out";
    k = nullptr;
    plat::rpc::DisconnectAll();
}

TEST(ProcessActivation, AServerTakesTheSocketSystemdHandsIt) {
    testsupport::TempRoot root;
    RegisterAll();
    const std::string path = root.Path() + "/activated.sock";
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    ChildProcess child(
        "server", {{"NORVALT_ROOT", root.Path()}, {"NORVALT_SOCKET", root.Path() + "/unused.sock"}},
        fd);
    ::close(fd);
    ASSERT_EQ(child.ReadLine(), "listening " + path + " activated=1");
    EXPECT_NE(::access((root.Path() + "/unused.sock").c_str(), F_OK), 0)
        << "bound a socket of its own";

    void* p = nullptr;
    ASSERT_EQ(plat::rpc::CreateOnLocalServer(path, CLSID_TestObject, IID_ITestKinds, &p), S_OK)
        << plat::GetErrorText();
    auto k = ComPtr<ITestKinds>::Attach(static_cast<ITestKinds*>(p));
    uint32_t uid, locale;
    int32_t admin, remote, pid;
    ASSERT_EQ(k->Caller(&uid, &admin, &remote, &locale, &pid), S_OK);
    EXPECT_EQ(pid, ::getpid());
    EXPECT_EQ(remote, 0);
    k = nullptr;
    plat::rpc::DisconnectAll();
}

}  // namespace
