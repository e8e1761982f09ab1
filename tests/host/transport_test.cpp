// TORK over the object transport: this process serves posts of simulated controllers, a child
// process (HostChild.h) is the client, as the operator console would be.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/rpc/server.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"

using namespace hosttest;

namespace {

std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines) s += l + "\n";
    return s;
}

class Transport : public SimulatedHostTest {
  protected:
    void SetUp() override {
        SimulatedHostTest::SetUp();
        tlb::RegisterTypeLibInterfaces();
        // The unprivileged client must reach the registry and the socket.
        ASSERT_EQ(::chmod(root_.Path().c_str(), 0755), 0);
        cookie_ = drv::RegisterStationClass();
        ASSERT_NE(cookie_, 0u);
        ASSERT_EQ(RegisterTestClass(tlb::CLSID_TORK, tlb::kHelpTORK), plat::ERROR_SUCCESS);
        socket_ = root_.Path() + "/run/NorvaltDrv.sock";
        plat::rpc::ServerOptions o = LocalTransport(socket_);
        Options(o);
        ASSERT_EQ(server_.Start(o), S_OK) << plat::GetErrorText();

        line_->Add(6, 40, 74);
        StartLine();
        ASSERT_TRUE(WaitForPost(6));
    }
    void TearDown() override {
        children_.clear();
        server_.Stop();
        plat::RevokeClassObject(cookie_);
        EXPECT_TRUE(Eventually([] { return drv::TStation::LiveCount() == 0; }))
            << "a station outlived its client";
        SimulatedHostTest::TearDown();
    }
    virtual void Options(plat::rpc::ServerOptions&) {}
    HostChild& Child(const std::string& scenario, bool drop = false) {
        std::vector<std::pair<std::string, std::string>> env = {{"NORVALT_ROOT", root_.Path()},
                                                                {"NORVALT_SOCKET", socket_}};
        if (drop) env.push_back({"NORVALT_HOST_DROP", "1"});
        children_.push_back(std::make_unique<HostChild>(scenario, env));
        return *children_.back();
    }

    uint32_t cookie_ = 0;
    std::string socket_;
    plat::rpc::Server server_;
    std::vector<std::unique_ptr<HostChild>> children_;
};

size_t IndexOf(const std::vector<std::string>& lines, const std::string& want) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), want) - lines.begin());
}

TEST_F(Transport, AClientListsReadsWritesAndHearsPostsComeAndGo) {
    HostChild& child = Child("client");
    std::vector<std::string> lines;
    for (std::string line; !(line = child.ReadLine(60000)).empty();) {
        lines.push_back(line);
        if (line == "add 9") line_->Add(9, 40, 74);
        if (line == "found 9") line_->Remove(9);  // silent from now on: removed after 30 s
        if (line == "done" || line.rfind("FAIL", 0) == 0 || line.rfind("create", 0) == 0) break;
    }
    ASSERT_EQ(child.Wait(), 0) << Joined(lines);
    const std::string all = Joined(lines);
    for (const char* want : {"posts 6", "vars 3,4,6,7,9,13,36", "dose 0", "start 0",
                             "dose value 50000", "hostile ok", "deleted 9", "done"})
        EXPECT_NE(IndexOf(lines, want), lines.size()) << want << "\n" << all;
    EXPECT_NE(IndexOf(lines, "flags 0 0"), lines.size()) << "StateWithFlags of an idle post\n"
                                                         << all;

    // The events in their order: the post with its state, the start, the new post and its end.
    const size_t found6 = IndexOf(lines, "event PostFound 6");
    const size_t idle6 = IndexOf(lines, "event StateChanged 6 0");
    const size_t waiting6 = IndexOf(lines, "event StateChanged 6 1");
    const size_t found9 = IndexOf(lines, "event PostFound 9");
    const size_t idle9 = IndexOf(lines, "event StateChanged 9 0");
    const size_t deleted9 = IndexOf(lines, "event PostDeleted 9");
    EXPECT_LT(found6, idle6) << all;
    EXPECT_LT(idle6, waiting6) << all;
    EXPECT_LT(waiting6, found9) << all;
    EXPECT_LT(found9, idle9) << all;
    EXPECT_LT(idle9, deleted9) << all;
    EXPECT_LT(deleted9, lines.size()) << all;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "event PostFound 6"), 1) << all;
    EXPECT_TRUE(Eventually(
        [] { return drv::TStation::LiveCount() == 0 && drv::TAdvThread::Running() == 0; }));
}

TEST_F(Transport, AKilledClientEndsItsEventThreadAndReleasesItsStation) {
    HostChild& child = Child("hold");
    ASSERT_EQ(child.ReadLine(), "ready");
    EXPECT_EQ(drv::TStation::LiveCount(), 1);
    EXPECT_EQ(drv::TAdvThread::Running(), 1);
    EXPECT_TRUE(drv::StationsInUse());
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(Eventually([&] {
        return drv::TStation::LiveCount() == 0 && drv::TAdvThread::Running() == 0 &&
               server_.ConnectionCount() == 0;
    }));
    EXPECT_EQ(drv::StationListCount(), 0);
    EXPECT_FALSE(drv::StationsInUse());
}

// Reads report lines until `last`, a failure or the child's end.
std::vector<std::string> LinesUntil(HostChild& child, const std::string& last, int ms = 30000) {
    std::vector<std::string> lines;
    for (std::string line; !(line = child.ReadLine(ms)).empty();) {
        lines.push_back(line);
        if (line == last || line.rfind("FAIL", 0) == 0 || line.rfind("create", 0) == 0) break;
    }
    return lines;
}

TEST_F(Transport, AStationReleasedWhileItsSinkIsBeingCalledLeavesTheConnectionUsable) {
    HostChild& slow = Child("release-inside-event");
    std::vector<std::string> lines = LinesUntil(slow, "released");
    ASSERT_NE(IndexOf(lines, "released"), lines.size()) << Joined(lines);

    // Another client is served while the first one's sink is still busy.
    HostChild& probe = Child("probe");
    const std::string answer = probe.ReadLine();
    EXPECT_EQ(answer, "probe 0");
    EXPECT_EQ(probe.Wait(), 0);

    for (const std::string& l : LinesUntil(slow, "done")) lines.push_back(l);
    EXPECT_NE(IndexOf(lines, "again 0"), lines.size()) << "the connection was stuck\n"
                                                       << Joined(lines);
    EXPECT_NE(IndexOf(lines, "done"), lines.size()) << Joined(lines);
    EXPECT_EQ(slow.Wait(), 0) << Joined(lines);
    EXPECT_TRUE(Eventually([&] {
        return drv::TStation::LiveCount() == 0 && drv::TAdvThread::Running() == 0 &&
               server_.ConnectionCount() == 0;
    }));
}

TEST_F(Transport, AClientKilledWhileItsSinkIsBeingCalledLeavesNothingBehind) {
    HostChild& slow = Child("hold-slow");
    std::vector<std::string> lines = LinesUntil(slow, "ready");
    ASSERT_NE(IndexOf(lines, "ready"), lines.size()) << Joined(lines);
    slow.Kill(SIGKILL);
    EXPECT_EQ(slow.Wait(), 128 + SIGKILL);

    HostChild& probe = Child("probe");
    EXPECT_EQ(probe.ReadLine(), "probe 0");
    EXPECT_EQ(probe.Wait(), 0);
    EXPECT_TRUE(Eventually([&] {
        return drv::TStation::LiveCount() == 0 && drv::TAdvThread::Running() == 0 &&
               server_.ConnectionCount() == 0;
    }));
    EXPECT_EQ(drv::StationListCount(), 0);
}

TEST_F(Transport, AClientCannotMakeTheServiceHoldStationsAndThreadsWithoutEnd) {
    HostChild& greedy = Child("greedy");
    std::vector<std::string> lines = greedy.ReadAll(60000);
    EXPECT_EQ(greedy.Wait(), 0) << Joined(lines);
    EXPECT_NE(
        IndexOf(lines, "stations " + std::to_string(drv::kMaxStationsPerClient) + " 8007000E"),
        lines.size())
        << Joined(lines);
    EXPECT_NE(
        IndexOf(lines, "sinks " + std::to_string(drv::kMaxEventThreadsPerClient) + " 8007000E"),
        lines.size())
        << Joined(lines);
    EXPECT_TRUE(Eventually([&] {
        return drv::TStation::LiveCount() == 0 && drv::TAdvThread::Running() == 0 &&
               server_.ConnectionCount() == 0;
    }));
}

class RestrictedTransport : public Transport {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 DISABLEALLPORTS=1 RESTRICTUSERS=1"; }
    // The unprivileged user reaches the socket through its group, as operators would.
    void Options(plat::rpc::ServerOptions& o) override {
        if (struct group* g = ::getgrgid(65534)) o.socket_group = g->gr_name;
    }
};

TEST_F(RestrictedTransport, AnAdministratorMayWriteWhereAnUnprivilegedUserMayNot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    HostChild& root = Child("writer");
    const std::string as_root = root.ReadLine();
    EXPECT_EQ(root.Wait(), 0);
    EXPECT_EQ(as_root.rfind("write 7FFF", 0), 0u) << as_root;

    HostChild& nobody = Child("writer", true);
    const std::string as_nobody = nobody.ReadLine();
    EXPECT_EQ(nobody.Wait(), 0);
    EXPECT_EQ(as_nobody, "write 80070005");
}

}  // namespace
