// An OPC group over the object transport, end to end: this process serves the server class
// with controllers simulated on a pseudo-terminal line; a child process (opcgroup_child.cpp)
// is an operator's OPC client that watches a post through a buffered group and fills a dose.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/server.h"
#include "platform/types/cotaskmem.h"
#include "service/host/OPCGroup.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"
#include "tests/host/RemoteFixture.h"
#include "tests/support/PtyPair.h"

using namespace hosttest;

namespace {

// Post21 and Post30 on a pseudo-terminal line, found by the service's own port and poll
// thread; the DA2 class served here makes plain servers.
class OpcGroupRemote : public RemoteTest {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 PORT=CUST COM9=ZRN9600 SHIFT9=20"; }

    void SetUp() override {
        station_->Add(1, 40, 74);
        station_->Add(10, 40, 74);
        station_.Start();
        RemoteTest::SetUp();
    }
    void TearDown() override {
        RemoteTest::TearDown();
        station_.Stop();
    }

    static int64_t Samples(const std::string& name) {
        auto leaf = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID(name));
        return leaf ? leaf->NextSample() : -1;
    }

    PtyStation station_{9};
};

// The values that came for one client handle, in order ("dc <handle> <value> <quality>").
std::vector<double> Entries(const std::vector<std::string>& lines, int handle,
                            std::vector<int>* qualities = nullptr) {
    std::vector<double> out;
    for (auto& l : lines) {
        std::istringstream in(l);
        std::string tag;
        int h = 0, q = 0;
        double v = 0;
        if (!(in >> tag >> h >> v >> q) || tag != "dc" || h != handle) continue;
        out.push_back(v);
        if (qualities) qualities->push_back(q);
    }
    return out;
}

TEST_F(OpcGroupRemote, AFriendFollowsAFillingSampleBySampleAndItsDeathReleasesAll) {
    ASSERT_TRUE(Eventually(
        [] {
            auto state = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("Post30.State"));
            return state && drv::FindLeafID("Post30.DozeV") != -1 &&
                   drv::FindLeafID("Post30.CurrentV") != -1 && state->PeekValue().lVal == 0;
        },
        60000))
        << "the posts of the line";
    const char* names[] = {"Post30.State", "Post30.DozeV", "Post30.CurrentV"};
    int64_t before_advise[3] = {}, base[3] = {}, made[3] = {};
    size_t groups_connected = 0;
    // The leaves the client starts with, held so that a re-created post shows as new objects.
    drv::ComPtr<drv::TLeafItem> leaves[3];

    HostChild& child = Child("opc-group-watch", {{"NORVALT_HOST_POST", "Post30"}});
    const auto lines = Play(child, "held", [&](const std::string& tag) -> std::string {
        if (tag == "advising")
            for (int i = 0; i < 3; ++i) {
                leaves[i] = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID(names[i]));
                before_advise[i] = Samples(names[i]);
            }
        if (tag == "connected") {
            for (int i = 0; i < 3; ++i) base[i] = Samples(names[i]);
            groups_connected = static_cast<size_t>(drv::TGroup::LiveCount());
        }
        if (tag == "waiting") {
            zrnsim::Controller* c = station_->Find(10);
            c->SetFlowRate(2000);  // 50 s of the paced clock
            EXPECT_TRUE(c->PressKey()) << "the post waits for the key";
        }
        if (tag == "filled") {
            // The last volume may be read after the idle state.
            EXPECT_TRUE(Eventually([] {
                auto v = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("Post30.CurrentV"));
                plat::Variant r8;
                return v && plat::VariantChangeType(r8, v->PeekValue(), 0, plat::VT_R8) == S_OK &&
                       r8.dblVal == 10 &&
                       drv::ReadStateValue(*drv::PostItem(30, -1)).Value == tlb::csIdle;
            })) << "the whole dose";
            std::string expect = "expect";
            for (int i = 0; i < 3; ++i) {
                made[i] = Samples(names[i]) - base[i];
                expect += " " + std::to_string(made[i]);
            }
            return expect;
        }
        return "go";
    });
    // The child's transcript goes out once, after the first failure: attached to every
    // failed check it would repeat the whole run's updates once per check.
    const std::string all = Joined(lines);
    struct TranscriptOnFailure {
        const std::string& text;
        ~TranscriptOnFailure() {
            if (::testing::Test::HasFailure()) std::cout << "child transcript:\n" << text;
        }
    } transcript{all};
    ASSERT_TRUE(Has(lines, "held"));
    EXPECT_EQ(groups_connected, 1u);

    // Bad names and handles, each answered per entry.
    EXPECT_TRUE(Has(lines, "add 00000001 C0040007 C0040007 00000000"));
    EXPECT_TRUE(Has(lines, "remove 00000001 00000000 C0040001 C0040001"));
    EXPECT_TRUE(Has(lines, "remove again 00000001 C0040001"));
    EXPECT_TRUE(Has(lines, "remove none 80070057"));
    // The cache read: the idle post, and a handle that names nothing.
    // DozeV and CurrentV may have no sample yet at an idle post: those read empty and good.
    const auto read = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& l) { return l.rfind("read 0", 0) == 0; });
    ASSERT_NE(read, lines.end());
    EXPECT_EQ(read->rfind("read 00000001 1:0:192:00000000 2:", 0), 0u);
    EXPECT_NE(read->find(":00000000 3:"), std::string::npos);
    const std::string bad_entry = ":00000000 0:vt0:28:C0040008";
    EXPECT_EQ(read->substr(read->size() - bad_entry.size()), bad_entry);
    EXPECT_TRUE(Has(lines, "read none 80070057"));
    EXPECT_TRUE(Has(lines, "write 00000000 00000000 00000000"));

    // Every sample once, in order: the state goes 0, 1, 7, 0; the volume only rises; the
    // counts match the samples the leaves made.
    // A loaded machine can stall the line long enough for the paced clock to call it a
    // communication error; the state before it comes back after it. When the post was removed
    // for it and made again, its items are new leaves: the group reports the old ones lost once
    // (quality 0) and goes on with the new ones, whose sample counts start afresh.
    bool recreated = false;
    for (int i = 0; i < 3; ++i)
        recreated |=
            drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID(names[i])).Get() != leaves[i].Get();
    if (recreated) std::cout << "the post was made again during the filling\n";
    // The entries of one handle, without the lost ones of a re-created post.
    const auto kept = [&](int handle, std::vector<int>* qualities) {
        std::vector<int> q;
        std::vector<double> v = Entries(lines, handle, &q), out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (recreated && q[i] == 0) continue;
            out.push_back(v[i]);
            if (qualities) qualities->push_back(q[i]);
        }
        return out;
    };
    std::vector<double> states;
    bool after_error = false;
    for (double s : kept(1, nullptr)) {
        if (s == double{tlb::csCommError}) {
            after_error = true;
            continue;
        }
        if (!(after_error && !states.empty() && states.back() == s)) states.push_back(s);
        after_error = false;
    }
    EXPECT_EQ(states,
              (std::vector<double>{tlb::csIdle, tlb::csWaitingKey, tlb::csWorking, tlb::csIdle}));
    const auto doses = kept(2, nullptr);
    ASSERT_FALSE(doses.empty());
    EXPECT_EQ(doses.back(), 10);
    std::vector<int> qualities;  // the first may be of a leaf not yet read
    const auto volumes = kept(3, &qualities);
    // A slow line may read the volume only a few times; never does it go back.
    ASSERT_GE(volumes.size(), 2u) << "the volume while filling";
    for (size_t i = 1; i < volumes.size(); ++i)
        EXPECT_LE(volumes[i - 1], volumes[i]) << "entry " << i;
    EXPECT_EQ(volumes.back(), 10);
    EXPECT_NE(std::find(qualities.begin(), qualities.end(), 192), qualities.end());
    // Nothing lost: the client had every sample made between its first update and the end
    // of the filling. Nothing twice: besides the first update it had no more than the leaves
    // made from before it connected until its count.
    int64_t made_by_now[3] = {}, got[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) made_by_now[i] = Samples(names[i]) - before_advise[i];
    for (auto& l : lines)
        if (l.rfind("counts ", 0) == 0)
            std::istringstream(l.substr(7)) >> got[0] >> got[1] >> got[2];
    for (int i = 0; i < 3 && !recreated; ++i) {
        EXPECT_LE(made[i], got[i]) << names[i] << " samples lost";
        EXPECT_LE(got[i], made_by_now[i]) << names[i] << " samples sent twice";
    }
    for (auto& leaf : leaves) leaf = nullptr;

    // The client dies holding its server, its group and the callback.
    EXPECT_TRUE(drv::OPCServerExists());
    EXPECT_EQ(drv::TGroup::LiveCount(), 1);
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(Eventually([&] {
        return !drv::OPCServerExists() && drv::TGroup::LiveCount() == 0 &&
               drv::TAdviseThread::Running() == 0 && server_.ConnectionCount() == 0;
    })) << "servers "
        << drv::OPCServerExists() << " groups " << drv::TGroup::LiveCount() << " advise threads "
        << drv::TAdviseThread::Running();
    EXPECT_TRUE(ServerTaskMemoryBack());
}

}  // namespace
