// The console bound to a real service process: a child process (this test program again) serves
// TORK over the object transport with a simulated controller on its line, as the host tests do;
// this process is the operator's console, offscreen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "client/MainForm.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/server.h"
#include "platform/sysroot/sysroot.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/client/FakeNorvalt.h"
#include "tests/host/HostFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ChildSide.h"
#include "tests/support/PtyPair.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using cli::MemTable;
using cli::TForm1;

namespace {

constexpr int kPost = 6;

const testsupport::ChildProgram kServiceProgram{"ConsoleService.DISABLED_Main",
                                                "NORVALT_CONSOLE_SERVICE", "NORVALT_CONSOLE_"};

// The service side, run only in the child: the service's own port manager and poll thread
// find a controller simulated on a pseudo-terminal, served by the installed drivers.
class ConsoleService : public hosttest::HostTest {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 PORT=CUST COM9=ZRN9600"; }
    void SetUp() override {
        line_.Start();
        HostTest::SetUp();
    }
    void TearDown() override {
        HostTest::TearDown();
        line_.Stop();
    }
    bool WaitForPost(int post) {
        const std::string name = "Post" + std::to_string(post) + ".State";
        return hosttest::Eventually([&] { return drv::FindLeafID(name) != -1; }, 60000);
    }

    hosttest::PtyStation line_{9};
};

TEST_F(ConsoleService, DISABLED_Main) {
    if (!std::getenv("NORVALT_CONSOLE_SERVICE")) GTEST_SKIP() << "the console tests start it";
    using testsupport::Report;
    tlb::RegisterTypeLibInterfaces();
    CHILD_CHECK(::chmod(root_.Path().c_str(), 0755) == 0);
    const uint32_t cookie = drv::RegisterStationClass();
    CHILD_CHECK(cookie != 0);
    plat::ClassRegistration r;
    r.clsid = tlb::CLSID_TORK;
    r.description = std::string(tlb::kHelpTORK);
    r.server_path = "/proc/self/exe";
    CHILD_CHECK(plat::RegisterClass(r) == plat::ERROR_SUCCESS);
    const std::string socket = root_.Path() + "/run/NorvaltDrv.sock";
    plat::rpc::ServerOptions o;
    o.socket_path = socket;
    o.socket_activation = false;
    o.tcp_enabled = false;
    plat::rpc::Server server;
    CHILD_CHECK(server.Start(o) == plat::S_OK);
    zrnsim::Controller* c = line_->Add(kPost, 40, 74);
    CHILD_CHECK(c != nullptr);
    c->SetFlowRate(1000);  // 0.1 l/s: the delivery is still running when the operator pauses it
    CHILD_CHECK(WaitForPost(kPost));
    Report("ready " + root_.Path() + " " + socket);
    std::string cmd;
    while (std::getline(std::cin, cmd)) {
        if (cmd == "dose") Report("dose " + std::to_string(c->Dose()));
        if (cmd == "key") Report(std::string("key ") + (c->PressKey() ? "1" : "0"));
        if (cmd == "quit") break;
    }
    server.Stop();
    plat::RevokeClassObject(cookie);
    testsupport::Finish(0);
}

class ConsoleEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        tlb::RegisterTypeLibInterfaces();
        plat::rpc::InstallOutOfProcessCreator();
        service_ = std::make_unique<testsupport::ChildProcess>(
            kServiceProgram, "service", std::vector<std::pair<std::string, std::string>>{});
        const std::string ready = service_->ReadLine(60000);
        ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
        const auto sp = ready.find(' ', 6);
        plat::SetSystemRoot(ready.substr(6, sp - 6));
        ::setenv("NORVALT_SOCKET", ready.substr(sp + 1).c_str(), 1);
    }
    void TearDown() override {
        form_.reset();
        plat::rpc::DisconnectAll();
        if (service_) {
            service_->Send("quit");
            service_->Wait(20000);
        }
        ::unsetenv("NORVALT_SOCKET");
        plat::SetSystemRoot("");
    }
    std::string Ask(const std::string& cmd) {
        service_->Send(cmd);
        return service_->ReadLine(20000);
    }
    int RowOf(int code) {
        MemTable* t = form_->Memory;
        for (int r = 0; r < t->rowCount(); ++r)
            if (t->data(t->index(r, MemTable::Code), Qt::EditRole).toInt() == code) return r;
        return -1;
    }
    bool Shows(const char* text) {
        return clitest::PumpUntil(
            [&] { return form_->StateEdit->text() == QString::fromUtf8(text); }, 30000);
    }

    std::unique_ptr<testsupport::ChildProcess> service_;
    std::unique_ptr<TForm1> form_;
    std::vector<QString> shown_;
    // The simulated controller keeps its dose in ten-thousandths of a litre.
    const std::string dose_written_ = "dose 120000";
};

TEST_F(ConsoleEndToEnd, BindEditCommandsAndAServiceThatDies) {
    form_ = std::make_unique<TForm1>(TForm1::Creator{},
                                     [this](const QString& t) { shown_.push_back(t); });
    TForm1& f = *form_;
    f.Button2Click();
    ASSERT_TRUE(f.bound()) << (shown_.empty() ? "" : shown_.back().toStdString());
    ASSERT_TRUE(clitest::PumpUntil([&] { return f.PostsList->count() > 0; }));
    ASSERT_TRUE(clitest::PumpUntil([&] { return RowOf(tlb::cvDozeV) >= 0; }));
    // The service's event thread announces the post too; it stays listed once.
    clitest::PumpUntil([] { return false; }, 1500);
    ASSERT_EQ(f.PostsList->count(), 1);
    EXPECT_EQ(f.PostsList->item(0)->text(), QString::number(kPost));
    EXPECT_EQ(f.Number->text(), QString::number(kPost));
    EXPECT_TRUE(Shows("Ожидание"));
    EXPECT_GT(f.Memory->rowCount(), 2);

    // A dose typed into the table goes to the service, and with the start to the controller.
    EXPECT_EQ(Ask("dose"), "dose 0");
    const int row = RowOf(tlb::cvDozeV);
    ASSERT_TRUE(f.Memory->setData(f.Memory->index(row, MemTable::Data), 12.0));
    f.NavPostClick();
    EXPECT_TRUE(clitest::PumpUntil([&] {
        const int r = RowOf(tlb::cvDozeV);
        return r >= 0 &&
               f.Memory->data(f.Memory->index(r, MemTable::Data), Qt::EditRole).toDouble() == 12.0;
    })) << "the service holds the new dose";

    // "Отпуск": ready for the key; the key starts the flow; "Пауза" stops it.
    ASSERT_TRUE(clitest::PumpUntil([&] { return !f.Work->isHidden(); }));
    f.WorkClick();
    EXPECT_TRUE(Shows("Доза задана"));
    EXPECT_EQ(Ask("dose"), dose_written_) << "the controller has the dose typed in";
    EXPECT_EQ(Ask("key"), "key 1");
    EXPECT_TRUE(Shows("Отпуск"));
    ASSERT_TRUE(clitest::PumpUntil([&] { return !f.Pause->isHidden(); }));
    f.PauseClick();
    EXPECT_TRUE(Shows("Отпуск остановлен")) << f.StateEdit->text().toStdString() << " "
                                            << (shown_.empty() ? "" : shown_.back().toStdString());
    EXPECT_TRUE(shown_.empty()) << shown_.front().toStdString();

    // The service stopped: a command ends with a message at the connection's time-out (shortened
    // here), and the window runs its events meanwhile.
    {
        plat::HRESULT hr = plat::S_OK;
        auto conn = plat::rpc::ConnectLocal(plat::rpc::DefaultSocketPath(), hr);
        ASSERT_TRUE(conn);
        conn->SetCallTimeout(1500);
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(20);
        service_->Kill(SIGSTOP);
        const auto start = std::chrono::steady_clock::now();
        f.StopClick();
        const auto spent = std::chrono::steady_clock::now() - start;
        service_->Kill(SIGCONT);
        EXPECT_LT(spent, std::chrono::seconds(10));
        EXPECT_GE(ticks, 20) << "the window's events stopped while the service was stopped";
        EXPECT_EQ(shown_.size(), 1u) << "the operator is not told";
        shown_.clear();
        conn->SetCallTimeout(TForm1::kCallTimeoutMs);
    }

    // The service killed: the next command reports an error; nothing hangs or crashes.
    service_->Kill(SIGKILL);
    EXPECT_NE(service_->Wait(20000), -1);
    service_.reset();
    f.StopClick();
    EXPECT_EQ(shown_.size(), 1u);
    f.Number->setText(QString::number(kPost));
    f.NumberChange();
    EXPECT_GE(shown_.size(), 2u);
    EXPECT_TRUE(f.StateEdit->text().isEmpty());
    f.Button3Click();
    EXPECT_FALSE(f.bound());
    EXPECT_EQ(f.PostsList->count(), 0);
    EXPECT_EQ(f.offThreadCalls(), 0);
}

}  // namespace
