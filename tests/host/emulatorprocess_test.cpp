// An emulator program in its own process: norvalt_zrnsim --emulate registers itself over the
// transport as the line of a native port in emulation, the service's poll thread finds its
// controllers through it, and a new emulator takes over after the first one is killed.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/rpc/server.h"
#include "service/host/DrvOPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"

using namespace hosttest;

namespace {

// norvalt_zrnsim as a child: its standard input and output are pipes to this process.
class Simulator {
  public:
    Simulator(const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& env) {
        // Everything the child needs is built before the fork: only async-signal-safe calls
        // happen between fork and exec.
        std::vector<std::string> strings{NORVALT_ZRNSIM};
        strings.insert(strings.end(), args.begin(), args.end());
        const size_t argc = strings.size();
        for (char** e = environ; *e; ++e) {
            bool replaced = false;
            for (auto& kv : env) replaced |= std::string(*e).rfind(kv.first + "=", 0) == 0;
            if (!replaced) strings.push_back(*e);
        }
        for (auto& [k, v] : env) strings.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (size_t i = 0; i < strings.size(); ++i)
            (i < argc ? argv : envp).push_back(strings[i].data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int in[2], out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~Simulator() {
        Kill(SIGKILL);
        Wait();
        ::close(input_);
        ::close(output_);
    }
    void Send(const std::string& line) {
        const std::string l = line + "\n";
        EXPECT_EQ(::write(input_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // The next output line, "" after `ms` or at the end.
    std::string ReadLine(int ms = 30000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const size_t nl = buffered_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return "";
            pollfd p{output_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) != 1) return "";
            char buf[512];
            const ssize_t n = ::read(output_, buf, sizeof buf);
            if (n <= 0) return "";
            buffered_.append(buf, static_cast<size_t>(n));
        }
    }
    // The first line that contains `text`, "" when none came.
    std::string ReadUntil(const std::string& text, int ms = 30000) {
        for (std::string l; !(l = ReadLine(ms)).empty();)
            if (l.find(text) != std::string::npos) return l;
        return "";
    }
    void Kill(int sig) {
        if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
    }
    // Exit code, 128 + signal, -1 when it did not end within 20 s.
    int Wait() {
        for (int i = 0; i < 2000 && !reaped_; ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_)
                reaped_ = true;
            else
                ::usleep(10000);
        }
        if (!reaped_) return -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = 0;
};

class EmulatorProcess : public HostTest {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 PORT=CUST COM3=ZRNE"; }
    void SetUp() override {
        drv::TProcessThread::Install();
        HostTest::SetUp();
        tlb::RegisterTypeLibInterfaces();
        opc::RegisterOpcDaInterfaces();
        cookie_ = drv::RegisterDrvOPCServerClass();
        ASSERT_NE(cookie_, 0u);
        ASSERT_EQ(RegisterTestClass(tlb::CLSID_DA2, tlb::kHelpDA2), plat::ERROR_SUCCESS);
        socket_ = root_.Path() + "/run/NorvaltDrv.sock";
        plat::rpc::ServerOptions o = LocalTransport(socket_);
        // A client that is no administrator must reach the registry and the socket.
        ASSERT_EQ(::chmod(root_.Path().c_str(), 0755), 0);
        if (struct group* g = ::getgrgid(65534)) o.socket_group = g->gr_name;
        ASSERT_EQ(server_.Start(o), S_OK);
        control_ = drv::TDrvOPCServer::Create();
    }
    void TearDown() override {
        sims_.clear();
        control_ = nullptr;
        server_.Stop();
        plat::RevokeClassObject(cookie_);
        HostTest::TearDown();
        drv::SetPortFactory(drv::PortKind::Native, nullptr);
        drv::ClearEmulators();
        EXPECT_TRUE(Eventually([] { return !drv::OPCServerExists(); }));
    }
    Simulator& Emulate() {
        sims_.push_back(std::make_unique<Simulator>(
            std::vector<std::string>{"--emulate", "COM3", "--controller", "1:40:74", "--controller",
                                     "2:40:74"},
            std::vector<std::pair<std::string, std::string>>{{"NORVALT_ROOT", root_.Path()},
                                                             {"NORVALT_SOCKET", socket_}}));
        return *sims_.back();
    }
    int32_t State() {
        int32_t state = 0, passes = 0;
        EXPECT_EQ(control_->GetThreadState(3, &state, &passes), S_OK);
        return state;
    }
    bool PostIdle(int post) {
        auto item = drv::PostItem(post, -1);
        return item && drv::ReadStateValue(*item).Value == tlb::csIdle;
    }
    // What the simulator shows for one address.
    std::string Show(Simulator& sim, int address) {
        sim.Send("show");
        return sim.ReadUntil("addr " + std::to_string(address) + " ");
    }

    std::string socket_;
    uint32_t cookie_ = 0;
    plat::rpc::Server server_;
    ComPtr<drv::TDrvOPCServer> control_;
    std::vector<std::unique_ptr<Simulator>> sims_;
};

}  // namespace

TEST_F(EmulatorProcess, DriverControlOverTheTransportFromAClientThatIsNoAdministrator) {
    std::vector<std::pair<std::string, std::string>> env{{"NORVALT_ROOT", root_.Path()},
                                                         {"NORVALT_SOCKET", socket_}};
    if (::geteuid() == 0) env.push_back({"NORVALT_HOST_DROP", "1"});
    HostChild child("opc-drvcontrol", env);
    std::vector<std::string> lines;
    for (std::string l; !(l = child.ReadLine(60000)).empty() && l != "done";) lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u) << (lines.empty() ? "" : lines.back());
    EXPECT_EQ(lines[0], "state3 " + std::to_string(drv::kPortNoEmulator));
    EXPECT_EQ(lines[1], "state33 -3");
    if (::geteuid() == 0) {
        EXPECT_EQ(lines[2], "useport 80070005 80070005 80070005");
    }
    EXPECT_EQ(lines[3], "text Нет ответа от устройства");
    EXPECT_TRUE(drv::PortRunning(2)) << "the port was switched off for a plain client";
}

TEST_F(EmulatorProcess, RegisteredProgramServesThePortAndASuccessorTakesOverAfterAKill) {
    ASSERT_TRUE(Eventually([&] { return State() == drv::kPortNoEmulator; }))
        << "before any Reg the port has no emulator: " << State();

    Simulator& first = Emulate();
    ASSERT_EQ(first.ReadLine(), "EMULATE COM3");
    ASSERT_TRUE(Eventually([&] { return PostIdle(1) && PostIdle(2); }, 60000))
        << "the posts of the emulated controllers did not appear; state " << State();
    EXPECT_TRUE(Eventually([&] { return State() == 2; })) << State();

    // A dose and a start travel the port to the emulator's controller.
    auto station = NewStation();
    tlb::TCmdID id = 0, result = -100;
    ASSERT_EQ(station->SetVarValue(1, tlb::cvDozeV, plat::Currency{100000}, &id), S_OK);
    ASSERT_EQ(station->GetResult(id, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(station->SetState(1, tlb::csWaitingKey, &id), S_OK);
    ASSERT_EQ(station->GetResult(id, &result), S_OK);
    EXPECT_EQ(result, 0);
    const std::string shown = Show(first, 1);
    EXPECT_NE(shown.find("waiting for key"), std::string::npos) << shown;
    EXPECT_NE(shown.find("dose 10.0"), std::string::npos) << shown;
    station = nullptr;

    // Killed outright: the port notices the dead emulator, frees the slot and says so.
    first.Kill(SIGKILL);
    EXPECT_EQ(first.Wait(), 128 + SIGKILL);
    ASSERT_TRUE(Eventually([&] { return State() == drv::kPortNoEmulator; }, 30000))
        << "the dead emulator kept the port: " << State();
    EXPECT_FALSE(drv::GetEmulator(3));
    EXPECT_TRUE(drv::PortRunning(2));

    // The next emulator is taken without restarting the port.
    Simulator& second = Emulate();
    ASSERT_EQ(second.ReadLine(), "EMULATE COM3");
    EXPECT_TRUE(Eventually([&] { return State() == 2; }, 60000)) << State();
    EXPECT_TRUE(Eventually([&] { return PostIdle(1) && PostIdle(2); }, 60000));

    // "quit" unregisters before the program ends.
    second.Send("quit");
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_FALSE(drv::GetEmulator(3));
    EXPECT_TRUE(Eventually([&] { return State() == drv::kPortNoEmulator; }, 30000)) << State();
}
