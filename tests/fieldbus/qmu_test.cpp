// The control unit against the simulator on a pty: its posts, its items, its address and its
// plates, with the requests checked as the simulator saw them.
#include <gtest/gtest.h>

#include "fieldbus/devices/Plate.h"
#include "fieldbus/devices/Post.h"
#include "fieldbus/devices/QMU.h"
#include "tests/fieldbus/QmuKit.h"

using namespace fbtest;
using mb::CQMUDevice;
using plat::Variant;

namespace {

class QmuTest : public SimLineTest {
  protected:
    std::unique_ptr<CQMUDevice> Make(const fbsim::UnitSetup& setup, int32_t option = -1) {
        fbsim::AddUnit(engine_, setup);
        return std::make_unique<CQMUDevice>(&port_, setup.address,
                                            "QMU" + std::to_string(setup.address),
                                            uint32_t{setup.version} << 16 | setup.build, option);
    }
};

TEST_F(QmuTest, PostsItemsAndInitFromTheUnit) {
    auto unit = Make(Unit(2));
    ASSERT_EQ(unit->Mode(), 0);
    ASSERT_EQ(unit->Posts().size(), 2u);
    EXPECT_EQ(unit->Posts()[0]->Name(), "Post1");
    EXPECT_EQ(unit->Posts()[1]->Channel(), 2);
    EXPECT_TRUE(tree_.Has("QMU1.Post1.State"));
    EXPECT_TRUE(tree_.Has("QMU1.Post2.TotalV"));
    EXPECT_TRUE(tree_.Has("QMU1.AdrController"));
    EXPECT_TRUE(tree_.Has("QMU1.FullUp"));
    EXPECT_TRUE(tree_.Has("QMU1.InnerTemperature")) << "above build 34";
    ASSERT_TRUE(unit->Init());
    EXPECT_EQ(tree_.IntValue("QMU1.AdrController"), 1);
    EXPECT_EQ(tree_.Value("QMU1.FirmwareVersion"), Variant::Str(std::string_view("05.003F")));
    EXPECT_EQ(tree_.IntValue("QMU1.CountPost"), 2);
    EXPECT_EQ(tree_.IntValue("QMU1.AirValveTime"), 10);
    EXPECT_EQ(tree_.IntValue("QMU1.SensorWaitTime"), 30);
    // "1.50" as four characters, a currency value, handed on as the host's integer.
    EXPECT_EQ(tree_.IntValue("QMU1.FullUp"), 2);
    EXPECT_EQ(tree_.QualityOf("QMU1.FullUp"), mb::kQualityGood);
    EXPECT_EQ(tree_.IntValue("QMU1.Inspector"), 1);
    // Status 0x21 names channels 2 and 1.
    EXPECT_TRUE(unit->Posts()[0]->IsActive());
    EXPECT_TRUE(unit->Posts()[1]->IsActive());
    EXPECT_TRUE(unit->Posts()[0]->NeedsReinit());
}

TEST_F(QmuTest, TheFirstScanInitialisesANewUnit) {
    // The bus thread makes the unit and only scans it: nobody else calls Init.
    auto unit = Make(Unit(1));
    unit->Scan();
    EXPECT_EQ(tree_.IntValue("QMU1.CountPost"), 1);
    EXPECT_TRUE(unit->Posts()[0]->IsActive()) << "activated by the unit's Init";
    EXPECT_FALSE(unit->NeedsReinit());
}

TEST_F(QmuTest, PrivilegedItemsAreMarkedToTheHost) {
    auto unit = Make(Unit(1, 5, 40));
    auto access = [&](const std::string& name) -> int {
        auto it = tree_.by_name.find(name);
        if (it == tree_.by_name.end() || !tree_.items.count(it->second)) return -1;
        return tree_.items[it->second].access;
    };
    for (const char* name :
         {"AdrController", "AirValveTime", "USSTimeout", "SensorWaitTime", "FullUp", "FullDown"})
        EXPECT_EQ(access(std::string("QMU1.") + name), 3 | mb::kAccessPrivileged) << name;
    EXPECT_EQ(access("QMU1.UID"), 1 | mb::kAccessQuiet | mb::kAccessPrivileged);
    EXPECT_EQ(access("QMU1.CountPost"), 1);
    EXPECT_EQ(access("QMU1.Post1.State"), 3) << "the posts' own items are for every client";
}

TEST_F(QmuTest, PostCountsAndNumberFallback) {
    {
        auto setup = Unit(8);
        setup.side1 = 5;
        setup.side2 = 5;
        auto unit = Make(setup);
        EXPECT_EQ(unit->PostCount(), 8);
        ASSERT_EQ(unit->Posts().size(), 8u);
        EXPECT_EQ(unit->Posts()[4]->Side(), 1);
        EXPECT_EQ(unit->Posts()[5]->Side(), 2);
    }
    {
        auto setup = Unit(0);
        setup.address = 2;
        auto unit = Make(setup);
        EXPECT_TRUE(unit->Posts().empty());
        EXPECT_FALSE(unit->Init()) << "a unit without posts";
    }
    {
        auto setup = Unit(1);
        setup.address = 3;
        setup.posts[0].number = 0x0102;
        fbsim::AddUnit(engine_, setup);
        auto sim = engine_.Find(3);
        engine_.With([&] { sim->refuse[257] = 0x48; });
        Sent();
        CQMUDevice unit(&port_, 3, "QMU3", 5u << 16 | 63, -1);
        ASSERT_EQ(unit.Posts().size(), 1u);
        EXPECT_EQ(unit.Posts()[0]->Number(), 0x0102) << "from the bank read";
        const auto sent = Sent();
        EXPECT_NE(std::find(sent.begin(), sent.end(), "0343017D0002"), sent.end())
            << "bank read of 2 bytes at 1 * 256 + 125";
    }
}

TEST_F(QmuTest, AddressWrite) {
    auto unit = Make(Unit(1));
    ASSERT_TRUE(unit->Init());
    mb::CVariable* adr = tree_.Var("QMU1.AdrController");
    ASSERT_NE(adr, nullptr);
    EXPECT_EQ(adr->Write(Variant::I4(0)), plat::OPC_E_RANGE) << "the variable's range first";
    EXPECT_EQ(adr->Write(Variant::I4(248)), plat::OPC_E_RANGE);

    Variant v = Variant::I4(248);
    unit->WriteItem(adr, v, 11);
    v = Variant::I4(0);
    unit->WriteItem(adr, v, 12);
    Sent();
    v = Variant::I4(9);  // not on the free list
    unit->WriteItem(adr, v, 13);
    EXPECT_TRUE(Sent().empty()) << "an address in use sends nothing";
    port_.free = {9};
    v = Variant::I4(9);
    unit->WriteItem(adr, v, 14);
    auto results = rec_.Results();
    ASSERT_GE(results.size(), 4u);
    EXPECT_EQ(results[0], std::make_pair(11, int32_t(plat::E_INVALIDARG)));
    EXPECT_EQ(results[1], std::make_pair(12, int32_t(plat::E_INVALIDARG)));
    EXPECT_EQ(results[2], std::make_pair(13, int32_t(0x80000000u)));
    EXPECT_EQ(results[3], std::make_pair(14, 0));
    EXPECT_EQ(Reg(9, 0), 9) << "the unit answers at its new address";
    // The port's free list and remembered device move with it, and so does the unit.
    ASSERT_EQ(port_.moves.size(), 1u);
    EXPECT_EQ(port_.moves[0], std::make_pair(uint8_t{1}, uint8_t{9}));
    EXPECT_EQ(unit->GetAddress(), 9);
    EXPECT_EQ(unit->Posts()[0]->GetState(), mb::kStateOffline);
}

TEST_F(QmuTest, TwoByteSettingsAreOneRegister) {
    auto unit = Make(Unit(1));
    ASSERT_TRUE(unit->Init());
    Variant v = Variant::I4(7);
    unit->WriteItem(tree_.Var("QMU1.AirValveTime"), v, 41);
    EXPECT_EQ(rec_.Results().back(), std::make_pair(41, 0));
    EXPECT_EQ(Reg(1, 3), 7);
    EXPECT_EQ(Reg(1, 4), 20) << "USSTimeout untouched";
    EXPECT_EQ(tree_.IntValue("QMU1.AirValveTime"), 7) << "read back alone";
    unit->ReadItem(tree_.Var("QMU1.FirmwareVersion"));
    unit->ReadItem(tree_.Var("QMU1.CountPost"));
    EXPECT_EQ(tree_.Value("QMU1.FirmwareVersion"), Variant::Str(std::string_view("05.003F")));
    EXPECT_EQ(tree_.IntValue("QMU1.CountPost"), 1);
}

TEST_F(QmuTest, OldPostsTakeTheUnitsOptionBits) {
    auto setup = Unit(1, 5, 30);
    setup.address = 6;
    setup.posts[0].option = 0;  // not read at this build
    auto unit = Make(setup, 0x50);
    EXPECT_EQ(unit->Mode(), 0);
    ASSERT_EQ(unit->Posts().size(), 1u);
    // Temperature = A (bit 6), density = B (bit 5), mass = C (bit 4); volume and productivity on.
    EXPECT_EQ(unit->Posts()[0]->Flags(),
              (std::array<bool, 7>{true, false, true, true, true, false, false}));
    EXPECT_TRUE(tree_.Has("QMU6.Post1.Temperature"));
    EXPECT_FALSE(tree_.Has("QMU6.Post1.Density"));
    EXPECT_TRUE(tree_.Has("QMU6.Post1.TotalW"));
    EXPECT_FALSE(tree_.Has("QMU6.Post1.DozeW")) << "build 63 and below";
}

TEST_F(QmuTest, FlatPostsNamesTheUnitUnderPostOne) {
    port_.flat = true;
    auto setup = Unit(2);
    setup.posts[0].number = 4;
    setup.posts[1].number = 5;
    auto unit = Make(setup);
    EXPECT_TRUE(tree_.Has("Post4.AdrController"));
    EXPECT_TRUE(tree_.Has("Post4.State"));
    EXPECT_TRUE(tree_.Has("Post5.BasePost"));
    EXPECT_FALSE(tree_.Has("QMU1.AdrController"));
}

TEST_F(QmuTest, LimitedUnits) {
    for (uint16_t version : {7, 0}) {
        auto setup = Unit(1, version);
        setup.address = version == 7 ? 4 : 5;
        auto unit = Make(setup);
        const std::string u = "QMU" + std::to_string(setup.address);
        EXPECT_TRUE(tree_.Has(u + ".AdrController"));
        EXPECT_TRUE(tree_.Has(u + ".FirmwareVersion"));
        EXPECT_FALSE(tree_.Has(u + ".CountPost"));
        EXPECT_TRUE(tree_.Has(u + ".Post1.State"));
        EXPECT_FALSE(tree_.Has(u + ".Post1.Side"));
        ASSERT_TRUE(unit->Init());
        ASSERT_TRUE(unit->Posts()[0]->Init());
        EXPECT_EQ(tree_.IntValue(u + ".Post1.State"), version == 7 ? 188 : 186);
    }
}

TEST_F(QmuTest, BadQualityAndOfflinePost) {
    auto unit = Make(Unit(1));
    ASSERT_TRUE(unit->Init());
    unit->Posts()[0]->SetState(mb::kStateOffline);
    unit->Scan();
    EXPECT_EQ(unit->GetState(), mb::kStateOffline) << "an offline post takes the unit offline";
    EXPECT_EQ(tree_.IntValue("QMU1.Post1.State"), 169);
    EXPECT_EQ(tree_.QualityOf("QMU1.Post1.State"), mb::kQualityGood);
    EXPECT_EQ(tree_.QualityOf("QMU1.AirValveTime"), 20) << "a good value turns uncertain";
}

TEST_F(QmuTest, PostAddressChangeRecreatesThePost) {
    auto unit = Make(Unit(2));
    ASSERT_TRUE(unit->Init());
    mb::CVariable* address = tree_.Var("QMU1.Post2.Address");
    ASSERT_NE(address, nullptr);
    Variant v = Variant::I4(1);
    unit->Posts()[1]->WriteItem(address, v, 21);
    EXPECT_EQ(rec_.Results().back(), std::make_pair(21, int32_t(0x80000000u))) << "Post1 exists";
    v = Variant::I4(7);
    unit->Posts()[1]->WriteItem(address, v, 22);
    EXPECT_EQ(rec_.Results().back(), std::make_pair(22, 0));
    EXPECT_EQ(Reg(1, 2 * 256 + 1), 7);
    unit->Scan();
    ASSERT_EQ(unit->Posts().size(), 2u);
    EXPECT_EQ(unit->Posts()[1]->Name(), "Post7");
    EXPECT_EQ(unit->Posts()[1]->Channel(), 2);
    EXPECT_TRUE(tree_.Has("QMU1.Post7.State"));
    EXPECT_FALSE(tree_.Has("QMU1.Post2.State"));
}

TEST_F(QmuTest, BusyActivationIsRetriedAndPostsDeletedFirstAreForgotten) {
    port_.adopt = true;
    auto setup = Unit(3);
    setup.active_status = 0x02;
    auto unit = Make(setup);
    ASSERT_EQ(port_.adopted.size(), 3u);
    auto sim = engine_.Find(1);
    engine_.With([&] { sim->busy_status = 2; });
    ASSERT_TRUE(unit->ActivatePosts());
    EXPECT_FALSE(unit->Posts()[0]->IsActive());
    EXPECT_TRUE(unit->Posts()[1]->IsActive());
    // A port deleting its adopted devices from the front deletes the posts before the unit.
    port_.adopted.erase(port_.adopted.begin());
    ASSERT_EQ(unit->Posts().size(), 2u);
    unit->SetState(mb::kStateFound);
    unit.reset();
    EXPECT_TRUE(port_.adopted.empty()) << "the unit takes its other posts back and deletes them";
}

class ModuleTest : public SimLineTest {};

TEST_F(ModuleTest, PlatesFromTheMasksAndByProbing) {
    {
        auto setup = Unit(0);
        setup.module_mode = true;
        setup.out_plates = 0x0001;
        setup.in_plates = 0x0002;
        fbsim::AddUnit(engine_, setup);
        CQMUDevice unit(&port_, 1, "QMU1", 5u << 16 | 63, -1);
        ASSERT_EQ(unit.Mode(), 1);
        ASSERT_EQ(unit.Plates().size(), 2u);
        EXPECT_TRUE(unit.Plates()[0]->IsOutput());
        EXPECT_EQ(unit.Plates()[0]->GetAddress(), 1);
        EXPECT_EQ(unit.Plates()[1]->GetAddress(), 0x22);
        EXPECT_TRUE(tree_.Has("QMU1.Address"));
        EXPECT_TRUE(tree_.Has("QMU1.Output1_4.Overload"));
        EXPECT_TRUE(tree_.Has("QMU1.Input2_6.State"));
    }
    {
        auto setup = Unit(0);
        setup.address = 2;
        setup.module_mode = true;
        fbsim::AddUnit(engine_, setup);
        auto sim = engine_.Find(2);
        engine_.With([&] { sim->refuse[32] = 2; });
        fbsim::AddPlate(engine_, 2, 34, false);
        fbsim::AddPlate(engine_, 2, 2, true);
        Sent();
        CQMUDevice unit(&port_, 2, "QMU2", 5u << 16 | 63, 0x08);
        ASSERT_EQ(unit.Mode(), 1) << "option bit 3";
        ASSERT_EQ(unit.Plates().size(), 2u);
        EXPECT_EQ(unit.Plates()[0]->GetAddress(), 34);
        EXPECT_FALSE(unit.Plates()[0]->IsOutput());
        EXPECT_EQ(unit.Plates()[1]->GetAddress(), 2);
        EXPECT_EQ(mb_->GetAnswerTimeout(), 300u) << "the probe's settings are restored";
        EXPECT_EQ(mb_->GetRetries(), 1u);
        const auto sent = Sent();
        // Probe of input plate 33: the unit as gateway, then the plate's own request.
        EXPECT_NE(std::find(sent.begin(), sent.end(),
                            "024221030001"
                            "0001"),
                  sent.end());
        EXPECT_NE(std::find(sent.begin(), sent.end(),
                            "024202030000"
                            "0001"),
                  sent.end());
    }
}

}  // namespace
