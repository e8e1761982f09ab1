// The OPC server over the object transport: this process serves the server class, a child
// process (HostChild.h, opcremote_child.cpp) is the OPC client, as an operator's OPC client
// would be.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/server.h"
#include "platform/types/cotaskmem.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"
#include "tests/host/RemoteFixture.h"
#include "tests/support/PtyPair.h"

using namespace hosttest;

namespace {

// Every server the class object made that is still alive, so that the test can look at what
// the remote client made of it.
std::mutex g_live_mutex;
std::set<drv::TOPCServer*> g_live;

class ProbedServer : public drv::TOPCServer {
  public:
    ~ProbedServer() override {
        std::lock_guard lk(g_live_mutex);
        g_live.erase(this);
    }
};

// The client kinds of the live servers, in no order.
std::multiset<int> LiveKinds() {
    std::lock_guard lk(g_live_mutex);
    std::multiset<int> kinds;
    for (drv::TOPCServer* s : g_live) kinds.insert(s->ClientKind());
    return kinds;
}

class OpcRemote : public RemoteTest {
  protected:
    // The servers made here are listed once whole, so that a look from the test thread
    // follows their making.
    HRESULT Serve(const plat::IID& iid, void** out) override {
        auto server = drv::TOPCServer::Create<ProbedServer>();
        {
            std::lock_guard lk(g_live_mutex);
            g_live.insert(server.Get());
        }
        return server->QueryInterface(iid, out);
    }
};

TEST_F(OpcRemote, CommonCallsLocalesErrorTextsAndTheFriendName) {
    HostChild& child = Child("opc-common");
    std::vector<std::multiset<int>> kinds;
    bool exists_after_release = true;
    const auto lines = Play(child, "done", [&](const std::string& tag) {
        if (tag == "released")
            exists_after_release = !Eventually([] { return !drv::OPCServerExists(); });
        else
            kinds.push_back(LiveKinds());
    });
    ASSERT_TRUE(Has(lines, "done")) << Joined(lines);
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    const std::string all = Joined(lines);
    EXPECT_TRUE(Has(lines, "set 1031 80070057")) << all;
    EXPECT_TRUE(Has(lines, "ru duplicate Повтор имени недопустим")) << all;
    EXPECT_TRUE(Has(lines,
                    "ru clamp A value passed to WRITE was accepted but the output was "
                    "clamped"))
        << all;
    EXPECT_TRUE(Has(lines, "en duplicate Duplicate name not allowed.")) << all;
    EXPECT_TRUE(Has(lines, "ru by call Повтор имени недопустим")) << all;
    ASSERT_EQ(kinds.size(), 2u) << all;
    EXPECT_EQ(kinds[0], (std::multiset<int>{drv::kClientFriend}));
    EXPECT_EQ(kinds[1], (std::multiset<int>{drv::kClientFriend, drv::kClientOther}))
        << "the friend's name in lower case is some other client";
    EXPECT_FALSE(exists_after_release) << "the client's last release leaves a server";
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, GroupsAndTheirEnumeratorsOverNoneOneAndMany) {
    HostChild& child = Child("opc-groups");
    size_t groups_at_many = 0;
    bool thread_at_many = false, exists_after_release = true, server_gone = false;
    const auto lines = Play(child, "done", [&](const std::string& tag) {
        if (tag == "many") {
            std::lock_guard lk(g_live_mutex);
            for (drv::TOPCServer* s : g_live) {
                groups_at_many += s->GroupCount();
                thread_at_many |= s->HasAdviseThread();
            }
        }
        if (tag == "server released")
            server_gone = Eventually(
                [] { return !drv::OPCServerExists() && drv::TAdviseThread::Running() == 0; });
        if (tag == "released")
            exists_after_release = !Eventually([] { return !drv::OPCServerExists(); });
    });
    ASSERT_TRUE(Has(lines, "done")) << Joined(lines);
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    const std::string all = Joined(lines);
    EXPECT_TRUE(server_gone) << "the groups the client holds keep its server";
    for (const char* want :
         {"empty ok", "one g1", "one ok", "first two g1,g2", "clone rest g3,g4,g5",
          "after reset g1,g2,g3,g4,g5", "celt 0 800706F5", "hostile g1,g2,g3,g4,g5",
          "no count 80070057 80070057", "then g1", "units ok", "after remove g2,g3,g4,g5"})
        EXPECT_TRUE(Has(lines, want)) << want << "\n" << all;
    EXPECT_EQ(groups_at_many, 5u);
    EXPECT_TRUE(thread_at_many);
    EXPECT_FALSE(exists_after_release) << "the client's last release leaves a server";
    EXPECT_TRUE(Eventually([] { return drv::TAdviseThread::Running() == 0; }));
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, TheStopRequestReachesTheClientWithItsReason) {
    HostChild& child = Child("opc-shutdown");
    std::vector<std::string> lines = Play(child, "advised");
    ASSERT_TRUE(Has(lines, "advised")) << Joined(lines);
    EXPECT_TRUE(drv::OPCServerExists());
    const uint32_t before = clock_.Tick();
    drv::RequestShutdownAll();
    EXPECT_GE(clock_.Tick() - before, 2000u) << "the stop waits after the requests";
    bool exists_after_release = true;
    for (const std::string& l : Play(child, "done", [&](const std::string&) {
             exists_after_release = !Eventually([] { return !drv::OPCServerExists(); });
         }))
        lines.push_back(l);
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    EXPECT_TRUE(Has(lines, "reason NorvaltDrv received stop request from service manager."))
        << Joined(lines);
    EXPECT_TRUE(Has(lines, "done")) << Joined(lines);
    EXPECT_FALSE(exists_after_release);
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, AKilledClientLeavesNoServer) {
    HostChild& child = Child("opc-hold");
    const auto lines = Play(child, "ready");
    ASSERT_TRUE(Has(lines, "ready")) << Joined(lines);
    EXPECT_TRUE(drv::OPCServerExists());
    EXPECT_TRUE(Eventually([] { return drv::TAdviseThread::Running() == 1; }))
        << "the held group's advise thread";
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(Eventually([&] {
        return !drv::OPCServerExists() && drv::TAdviseThread::Running() == 0 &&
               server_.ConnectionCount() == 0;
    }));
    // Nothing of the dead client is asked for at the stop.
    drv::RequestShutdownAll();
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, AClientMayLetGoOfItsServerInsideTheStopRequest) {
    HostChild& child = Child("opc-release-in-shutdown");
    std::vector<std::string> lines = Play(child, "advised");
    ASSERT_TRUE(Has(lines, "advised")) << Joined(lines);
    // On its own thread: a stop that hangs fails here rather than hanging the test.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([done] {
        drv::RequestShutdownAll();
        done->set_value();
    }).detach();
    const bool returned = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the stop request hangs";
    bool exists_after_release = true;
    for (const std::string& l : Play(child, "done", [&](const std::string&) {
             exists_after_release = !Eventually([] { return !drv::OPCServerExists(); });
         }))
        lines.push_back(l);
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    EXPECT_TRUE(Has(lines, "released inside")) << Joined(lines);
    EXPECT_TRUE(Has(lines, "done")) << Joined(lines);
    EXPECT_FALSE(exists_after_release);
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, AClientStuckInTheStopRequestDelaysTheOthersOnlyByTheCallbackTimeOut) {
    HostChild& good = Child("opc-shutdown");
    std::vector<std::string> good_lines = Play(good, "advised");
    ASSERT_TRUE(Has(good_lines, "advised")) << Joined(good_lines);
    // The later server is asked first.
    HostChild& stuck = Child("opc-stuck-sink");
    std::vector<std::string> stuck_lines = Play(stuck, "advised");
    ASSERT_TRUE(Has(stuck_lines, "advised")) << Joined(stuck_lines);

    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([done] {
        drv::RequestShutdownAll();
        done->set_value();
    }).detach();
    for (const std::string& l : Play(stuck, "inside")) stuck_lines.push_back(l);
    EXPECT_TRUE(Has(stuck_lines, "inside")) << Joined(stuck_lines);
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the stop request waits on a client for ever";
    for (const std::string& l : Play(good, "done")) good_lines.push_back(l);
    EXPECT_EQ(good.Wait(), 0) << Joined(good_lines);
    EXPECT_TRUE(Has(good_lines, "reason NorvaltDrv received stop request from service manager."))
        << Joined(good_lines);

    stuck.Kill(SIGKILL);
    EXPECT_EQ(stuck.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(
        Eventually([&] { return !drv::OPCServerExists() && server_.ConnectionCount() == 0; }));
    EXPECT_TRUE(ServerTaskMemoryBack());
}

TEST_F(OpcRemote, AClientCannotMakeTheServiceHoldServersAndGroupsWithoutEnd) {
    HostChild& child = Child("opc-greedy");
    const auto lines = Play(child, "done");
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    EXPECT_TRUE(Has(lines, "servers " + std::to_string(drv::kMaxOPCServersPerClient) + " 8007000E"))
        << Joined(lines);
    EXPECT_TRUE(Has(lines, "groups " + std::to_string(drv::kMaxGroupsPerServer) + " 8007000E"))
        << Joined(lines);
    EXPECT_TRUE(Has(lines, "done")) << Joined(lines);
}

// Controllers on a pseudo-terminal line, found by the service's own port and poll thread; an
// OPC client in the child browses their posts.
class OpcRemoteLine : public OpcRemote {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 PORT=CUST COM9=ZRN9600 SHIFT9=20"; }
    void SetUp() override {
        station_->Add(1, 40, 74);
        station_->Add(10, 40, 74);
        station_.Start();
        OpcRemote::SetUp();
    }
    void TearDown() override {
        OpcRemote::TearDown();
        station_.Stop();
    }

    PtyStation station_{9};
};

TEST_F(OpcRemoteLine, AFriendBrowsesThePostsReadsAStateAndHearsTheStop) {
    ASSERT_TRUE(Eventually(
        [] {
            auto state = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("Post30.State"));
            return state && drv::FindLeafID("Post21.State") != -1 &&
                   drv::FindLeafID("Post30.DozeV") != -1 && state->PeekValue().lVal == 0;
        },
        60000))
        << "the posts of the line";
    // The post waits for the key: a state no freshly found post has.
    auto state = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("Post30.State"));
    auto dose = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("Post30.DozeV"));
    ASSERT_TRUE(state && dose);
    ASSERT_TRUE(tlb::IsCmdID(dose->Write(plat::Variant::R8(3), 0, 0, 1033)));
    const int32_t id = state->Write(plat::Variant::I4(tlb::csWaitingKey), 0, 0, 1033);
    ASSERT_TRUE(tlb::IsCmdID(id));
    EXPECT_EQ(drv::CmdWait(id), 0);
    ASSERT_TRUE(Eventually(
        [] { return drv::ReadStateValue(*drv::PostItem(30, -1)).Value == tlb::csWaitingKey; }));

    HostChild& child = Child("opc-browse", {{"NORVALT_HOST_POST", "Post30"}});
    std::vector<std::string> lines = Play(child, "ready");
    ASSERT_TRUE(Has(lines, "ready")) << Joined(lines);
    drv::RequestShutdownAll();
    for (const std::string& l : Play(child, "done")) lines.push_back(l);
    EXPECT_EQ(child.Wait(), 0) << Joined(lines);
    const std::string all = Joined(lines);

    std::string branches, leaves;
    for (auto& l : lines) {
        if (l.rfind("root branches ", 0) == 0) branches = "," + l.substr(14) + ",";
        if (l.rfind("post leaves ", 0) == 0) leaves = "," + l.substr(12) + ",";
    }
    EXPECT_NE(branches.find(",Post21,"), std::string::npos) << all;
    EXPECT_NE(branches.find(",Post30,"), std::string::npos) << all;
    EXPECT_EQ(branches.find("State"), std::string::npos) << "only branches at the root\n" << all;
    EXPECT_NE(leaves.find(",State,"), std::string::npos) << all;
    EXPECT_NE(leaves.find(",DozeV,"), std::string::npos) << all;
    EXPECT_EQ(leaves.find("Post"), std::string::npos) << "names relative to the post\n" << all;

    const std::string want_state = "state Post30.State " + std::to_string(plat::VT_I4) + " " +
                                   std::to_string(tlb::csWaitingKey) + " quality 192";
    EXPECT_TRUE(Has(lines, want_state)) << want_state << "\n" << all;
    EXPECT_TRUE(Has(lines, "reason NorvaltDrv received stop request from service manager.")) << all;
    EXPECT_TRUE(Has(lines, "done")) << all;
    EXPECT_TRUE(ServerTaskMemoryBack());

    // Back to idle, so that stopping the line does not wait for the post to come to rest.
    station_->Find(10)->Stop();
    EXPECT_TRUE(Eventually(
        [] { return drv::ReadStateValue(*drv::PostItem(30, -1)).Value == tlb::csIdle; }, 30000));
}

}  // namespace
