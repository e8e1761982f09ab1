// The control unit through the service: the bus thread of the loaded library finds a simulated
// unit on a pty, its posts appear in the item tree, and a client's state command goes out to the
// unit and comes back as the post's state.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/station/LibraryStation.h"
#include "tests/support/PtyPair.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

namespace {

class QmuStation : public station::LibraryStation {
  protected:
    static fbsim::UnitSetup TwoPosts() {
        fbsim::UnitSetup u;
        u.address = 1;
        u.side1 = 2;
        for (uint16_t n : {1, 2}) {
            fbsim::PostSetup p;
            p.number = n;
            u.posts.push_back(p);
        }
        return u;
    }
    static bool Holds(const plat::Variant& v, int32_t want) {
        plat::Variant n;
        return plat::Succeeded(plat::VariantChangeType(n, v, 0, plat::VT_I4)) && n.lVal == want;
    }
};

TEST_F(QmuStation, UnitFoundPostsPublishedAndAStateCommandRunsTheDelivery) {
    testsupport::PtyPair line(7);
    fbsim::Engine engine;
    fbsim::AddUnit(engine, TwoPosts());
    fbsim::RtuServer server(engine, line.FarFd());
    Start("PORT=CUST COM7=MN19200");

    // Detected by its identification type 0x20. The service names posts flat: the unit's
    // settings sit in post 1's branch. Generous: a probe missed under load costs a whole pass
    // over the free addresses.
    ASSERT_GE(WaitItem("Post1.AdrController", 90000), 0);
    EXPECT_GE(WaitItem("Post2.TotalV"), 0);
    const std::string key = "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7\\1";
    // Remembered by the port; the entry is written once the unit is made, after its items.
    std::string type, name;
    EXPECT_TRUE(station::Within(20000, [&] {
        return plat::reg::ReadString(plat::reg::Hive::LocalMachine, key, "Type", type) ==
               plat::ERROR_SUCCESS;
    }));
    EXPECT_EQ(type, "QMU01");
    EXPECT_EQ(plat::reg::ReadString(plat::reg::Hive::LocalMachine, key, "Name", name),
              plat::ERROR_SUCCESS);
    EXPECT_EQ(name, "QMU1");
    ASSERT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Holds(v, 0); }))
        << "the post's first scan publishes idle";

    // Waiting for the key: raw 16 at channel 1's register 1 * 256 + 15, one register.
    engine.ClearRequests();
    EXPECT_EQ(Write("Post1.State", plat::Variant::I4(1)), 0);
    const auto sent = engine.Requests();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "0110010F0001020010"), sent.end());
    uint16_t raw = 0;
    auto unit = engine.Find(1);
    engine.With([&] { raw = unit->Get(256 + 15); });
    EXPECT_EQ(raw, 16);
    EXPECT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Holds(v, 1); }));

    fbsim::PressKey(engine, 1, 1);
    EXPECT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Holds(v, 7); }))
        << "the key starts the delivery";
    drv::StopPorts();
    for (const auto& [name, id] : drv::ListItemNames())
        EXPECT_NE(name.rfind("Post", 0), 0u) << name << " outlived its port";
}

TEST_F(QmuStation, ThePostsStateReturnsWithTheLink) {
    testsupport::PtyPair line(7);
    fbsim::Engine engine;
    auto unit = fbsim::AddUnit(engine, TwoPosts());
    fbsim::RtuServer server(engine, line.FarFd());
    Start("PORT=CUST COM7=MN19200");
    ASSERT_GE(WaitItem("Post1.State", 90000), 0);
    ASSERT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Holds(v, 0); }));

    // The line is cut until the unit is taken for lost: its posts show "no link".
    engine.With([&] { unit->unplugged = true; });
    EXPECT_TRUE(station::Within(30000, [&] {
        plat::Variant v;
        uint16_t q = 0;
        return Read("Post1.State", v, q) && Holds(v, 169);
    }));
    engine.With([&] { unit->unplugged = false; });
    // Back: the same raw state as before the fault, shown again as soon as the unit answers.
    EXPECT_TRUE(ReadUntil(
        "Post1.State", [](const plat::Variant& v) { return Holds(v, 0); }, 30000))
        << "State kept saying no link";
    EXPECT_TRUE(ReadUntil("Post2.State", [](const plat::Variant& v) { return Holds(v, 0); }));
}

}  // namespace
