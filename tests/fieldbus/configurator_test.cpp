// The configurator a control unit starts when its Configuration item is read: a stand-in
// program next to the test records what it was given.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "fieldbus/devices/QMU.h"
#include "platform/process/process.h"
#include "tests/fieldbus/QmuKit.h"

using namespace fbtest;
using plat::Variant;

namespace {

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

bool Gone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

class ConfiguratorTest : public SimLineTest {
  protected:
    void SetUp() override {
        SimLineTest::SetUp();
        record_ = root_.Path() + "/veskor.rec";
        hold_ = root_.Path() + "/veskor.hold";
        ::setenv("VESKOR_RECORD", record_.c_str(), 1);
        ::setenv("VESKOR_HOLD", hold_.c_str(), 1);
        std::ofstream(hold_) << "x";
        fbsim::AddUnit(engine_, Unit(1));
        unit_ = std::make_unique<mb::CQMUDevice>(&port_, 1, "QMU1", 5u << 16 | 63, -1);
        ASSERT_TRUE(unit_->Init());
        config_ = tree_.Var("QMU1.Configuration");
        ASSERT_NE(config_, nullptr);
    }
    void TearDown() override {
        std::remove(hold_.c_str());
        unit_.reset();
        ::unsetenv("VESKOR_RECORD");
        ::unsetenv("VESKOR_HOLD");
        SimLineTest::TearDown();
    }
    std::string record_, hold_;
    std::unique_ptr<mb::CQMUDevice> unit_;
    mb::CVariable* config_ = nullptr;
};

TEST_F(ConfiguratorTest, StartsOnceWithTheScriptAndOnlyTheStandardDescriptors) {
    unit_->ReadItem(config_);
    const pid_t pid = unit_->ConfiguratorPid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Eventually([&] { return Exists(record_); }));
    const std::string program = plat::process::ExeFolder() + "Veskor.exe";
    const std::string script =
        "[var]\r\nFILE file1\r\nDEVICE dev1\r\nPORT port\r\n[cmd]\r\n"
        "OpenPort Port=port;Machine=;PortNum=7;BaudRate=19200;Parity=0;Type=3;Access=0;\r\n"
        "Connect Port=port;Address=1;Device=dev1;Mode=0;\r\n"
        "LoadDevice Device=dev1;Mode=7;\r\n"
        "SaveOPC Device=dev1;Name=QMU1.Configuration;\r\n";
    const std::string expected =
        program + '\0' + "/SILENT" + '\0' + "/CMDLINE=" + script + '\0' + "fds:0 1 2 ";
    EXPECT_EQ(ReadText(record_), expected);

    std::remove(record_.c_str());
    unit_->ReadItem(config_);
    EXPECT_EQ(unit_->ConfiguratorPid(), pid) << "a second read while it runs starts nothing";

    std::remove(hold_.c_str());
    ASSERT_TRUE(Eventually([&] { return !plat::process::IsRunning(pid); }));
    EXPECT_TRUE(Gone(pid)) << "the ended child was reaped";
    EXPECT_FALSE(Exists(record_));
}

TEST_F(ConfiguratorTest, AWrittenConfigurationWaitsForTheInspectorToChange) {
    Variant text = Variant::Str(std::string_view("cfg"));
    unit_->WriteItem(config_, text, 31);
    EXPECT_EQ(rec_.Results().back(), std::make_pair(31, 0));
    EXPECT_TRUE(unit_->ConfigPending());
    EXPECT_EQ(tree_.Value("QMU1.Configuration"), text);
    unit_->ReadItem(config_);
    EXPECT_EQ(unit_->ConfiguratorPid(), 0) << "pending: nothing starts";
    const std::u16string huge((1 << 20) + 1, u'x');
    EXPECT_EQ(config_->Write(Variant::Str(plat::WideString(huge))), plat::OPC_E_RANGE)
        << "a client cannot make the unit hold any amount";
    unit_->Scan();
    EXPECT_TRUE(unit_->ConfigPending()) << "the inspector has not moved";

    SetReg(1, 21, 2);
    unit_->ReadItem(tree_.Var("QMU1.Inspector"));
    unit_->Scan();
    EXPECT_FALSE(unit_->ConfigPending());
    EXPECT_EQ(tree_.QualityOf("QMU1.Configuration"), mb::kQualityBad);
    unit_->ReadItem(config_);
    EXPECT_GT(unit_->ConfiguratorPid(), 0) << "an inspector change lets the next read start it";
}

TEST_F(ConfiguratorTest, AnEndedConfiguratorIsReapedWithoutTheNextStart) {
    unit_->ReadItem(config_);
    const pid_t pid = unit_->ConfiguratorPid();
    ASSERT_GT(pid, 0);
    std::remove(hold_.c_str());
    // Nobody asks about it: a zombie would still answer signal 0.
    EXPECT_TRUE(Eventually([&] { return Gone(pid); })) << "left a zombie";
    EXPECT_FALSE(plat::process::IsRunning(pid));
    std::ofstream(hold_) << "x";
    unit_->ReadItem(config_);
    EXPECT_NE(unit_->ConfiguratorPid(), pid) << "the next read starts a new one";
    EXPECT_GT(unit_->ConfiguratorPid(), 0);
}

TEST_F(ConfiguratorTest, AUnitDestroyedWhileItRunsLeavesNoZombie) {
    unit_->ReadItem(config_);
    const pid_t pid = unit_->ConfiguratorPid();
    ASSERT_GT(pid, 0);
    unit_.reset();
    std::remove(hold_.c_str());
    EXPECT_TRUE(Eventually([&] { return Gone(pid); }));
}

TEST(ProcessTest, ASpawnErrorIsItsErrno) {
    pid_t pid = 123;
    EXPECT_EQ(plat::process::Spawn("/nonexistent/Veskor.exe", {"x"}, pid), ENOENT);
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(plat::process::IsRunning(0));
}

// The service ignores the hang-up for itself; the configurator it starts must not inherit that.
TEST(ProcessTest, AChildStartsWithTheDefaultSignalDispositions) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &old), 0);
    pid_t pid = 0;
    const int rc = plat::process::Spawn("/bin/sh", {"sh", "-c", "kill -HUP $$; exit 0"}, pid);
    ::sigaction(SIGHUP, &old, nullptr);
    ASSERT_EQ(rc, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
}

}  // namespace
