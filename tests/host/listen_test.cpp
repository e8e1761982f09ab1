// The service's listening side: who may reach the local socket, where TCP listens, and how many
// connections one user or all of them may hold.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/server.h"
#include "tests/host/HostFixture.h"
#include "tests/support/TempRoot.h"

using hosttest::Eventually;

namespace {

// In a forked child: becomes nobody (or ends with 3) and connects to the socket at `path`; the
// connected descriptor, or minus the error.
int ConnectAsNobody(const std::string& path) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -errno;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -errno;
    return fd;
}

namespace reg = plat::reg;

class Listening : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::rpc::SetLogSink([this](const std::string& line) {
            std::lock_guard lk(log_m_);
            log_.push_back(line);
        });
    }
    void TearDown() override {
        server_.Stop();
        for (int fd : fds_) ::close(fd);
        plat::rpc::SetLogSink({});
    }
    plat::rpc::ServerOptions Options() {
        plat::rpc::ServerOptions o;
        o.socket_path = root_.Path() + "/run/NorvaltDrv.sock";
        o.socket_activation = false;
        o.tcp_enabled = false;
        return o;
    }
    void SetTransportValue(const char* name, const std::string& value) {
        ASSERT_EQ(reg::WriteString(reg::Hive::LocalMachine, plat::kTransportKey, name, value),
                  plat::ERROR_SUCCESS);
    }
    struct stat SocketStat() {
        struct stat st {};
        EXPECT_EQ(::stat(server_.SocketPath().c_str(), &st), 0);
        return st;
    }
    // A bare connection to the local socket (kept until the test ends).
    int Connect() {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, server_.SocketPath().c_str(), sizeof a.sun_path - 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0)
            << std::strerror(errno);
        fds_.push_back(fd);
        return fd;
    }
    // The server closed `fd` (read gives the end of the stream or a reset), skipping the hello.
    static bool ClosedByServer(int fd) {
        char buf[4096];
        for (int i = 0; i < 100; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return true;
        }
        return false;
    }
    bool Logged(const std::string& part) {
        std::lock_guard lk(log_m_);
        for (auto& l : log_)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

    testsupport::TempRoot root_;
    plat::rpc::Server server_;
    std::vector<int> fds_;
    std::mutex log_m_;
    std::vector<std::string> log_;
};

TEST_F(Listening, TheSocketIsOpenOnlyToItsGroupWhichDefaultsToTheAdministrators) {
    ASSERT_EQ(server_.Start(Options()), plat::S_OK) << plat::GetErrorText();
    struct stat st = SocketStat();
    EXPECT_EQ(st.st_mode & 0777, 0660u) << "no longer open to every local user";
    if (struct group* sudo = ::getgrnam("sudo")) {
        EXPECT_EQ(st.st_gid, sudo->gr_gid);
    }
    server_.Stop();

    struct group* nog = ::getgrgid(65534);
    ASSERT_TRUE(nog);
    const std::string nogroup = nog->gr_name;
    SetTransportValue("AdminGroup", nogroup);
    ASSERT_EQ(server_.Start(Options()), plat::S_OK) << plat::GetErrorText();
    EXPECT_EQ(SocketStat().st_gid, 65534u) << "the administrators group of the registry";
    server_.Stop();

    // A socket group of its own lets operators in who are no administrators.
    SetTransportValue("AdminGroup", "no-such-group-here");
    ASSERT_EQ(server_.Start(Options()), plat::S_OK)
        << "a missing default group is no reason to stay down";
    EXPECT_EQ(SocketStat().st_mode & 0777, 0660u);
    EXPECT_TRUE(Logged("no-such-group-here not found"));
    server_.Stop();
    SetTransportValue("SocketGroup", nogroup);
    ASSERT_EQ(server_.Start(Options()), plat::S_OK) << plat::GetErrorText();
    EXPECT_EQ(SocketStat().st_gid, 65534u);
    server_.Stop();
    SetTransportValue("SocketGroup", "no-such-group-here");
    EXPECT_EQ(server_.Start(Options()), plat::E_ACCESSDENIED) << "a configured group must exist";
    EXPECT_NE(plat::GetErrorText().find("unknown group"), std::string::npos)
        << plat::GetErrorText();
}

TEST_F(Listening, AnUnprivilegedUserOutsideTheGroupCannotConnect) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    ASSERT_EQ(::chmod(root_.Path().c_str(), 0755), 0);
    ASSERT_EQ(server_.Start(Options()), plat::S_OK) << plat::GetErrorText();
    const std::string path = server_.SocketPath();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::_exit(ConnectAsNobody(path) == -EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody reached a socket of root's administrators";
}

TEST_F(Listening, TcpListensOnLoopbackUnlessTheRegistryNamesAWiderAddress) {
    plat::rpc::ServerOptions o = Options();
    o.tcp_enabled = true;
    o.tcp_port = 0;
    ASSERT_EQ(server_.Start(o), plat::S_OK) << plat::GetErrorText();
    EXPECT_NE(server_.TcpPort(), 0);
    EXPECT_EQ(server_.TcpAddress(), "127.0.0.1");
    server_.Stop();

    SetTransportValue("TcpAddress", "0.0.0.0");
    ASSERT_EQ(server_.Start(o), plat::S_OK) << plat::GetErrorText();
    EXPECT_EQ(server_.TcpAddress(), "0.0.0.0") << "an explicit setting listens wider";
}

TEST_F(Listening, ConnectionsOverTheTotalLimitAreClosedAndLogged) {
    plat::rpc::ServerOptions o = Options();
    o.max_connections = 3;
    o.max_connections_per_user = 100;
    ASSERT_EQ(server_.Start(o), plat::S_OK) << plat::GetErrorText();
    for (int i = 0; i < 3; ++i) Connect();
    ASSERT_TRUE(Eventually([&] { return server_.ConnectionCount() == 3; }));
    const int over = Connect();
    EXPECT_TRUE(ClosedByServer(over));
    EXPECT_TRUE(Eventually([&] { return Logged("too many connections (3)"); }));
    EXPECT_EQ(server_.ConnectionCount(), 3u);

    // A place that comes free is taken again.
    ::shutdown(fds_[0], SHUT_RDWR);
    ASSERT_TRUE(Eventually([&] { return server_.ConnectionCount() == 2; }));
    Connect();
    EXPECT_TRUE(Eventually([&] { return server_.ConnectionCount() == 3; }));
}

TEST_F(Listening, OneUserCannotTakeEveryConnection) {
    plat::rpc::ServerOptions o = Options();
    o.max_connections = 10;
    o.max_connections_per_user = 2;
    o.socket_mode = 0666;
    ASSERT_EQ(server_.Start(o), plat::S_OK) << plat::GetErrorText();
    Connect();
    Connect();
    ASSERT_TRUE(Eventually([&] { return server_.ConnectionCount() == 2; }));
    EXPECT_TRUE(ClosedByServer(Connect()));
    EXPECT_TRUE(Eventually([&] { return Logged("too many connections of this user (2)"); }));
    EXPECT_EQ(server_.ConnectionCount(), 2u);
    if (::geteuid() != 0) return;

    // Another user still gets in.
    ASSERT_EQ(::chmod(root_.Path().c_str(), 0755), 0);
    const std::string path = server_.SocketPath();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        char ok = ConnectAsNobody(path) >= 0 ? 1 : 0;
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(ok, 1);
    EXPECT_TRUE(Eventually([&] { return server_.ConnectionCount() == 3; }));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(Eventually([&] { return server_.ConnectionCount() == 2; }));
}

}  // namespace
