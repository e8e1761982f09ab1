// Browsing the item tree and reading item properties through the OPC server object.
#include <algorithm>

#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::E_FAIL;
using plat::S_FALSE;
using plat::S_OK;
using Names = std::vector<std::string>;

// System, Post1 ... Post12 with State (read) and DozeV (read/write); Post1 also has a leaf only
// a friend sees and a branch Nozzle1 with Volume.
class OpcBrowse : public OpcTest {
  protected:
    void SetUp() override {
        OpcTest::SetUp();
        MakePosts(12);
        const int32_t post1 = drv::FindItemID("Post1");
        AddLeaf(post1, "Secret", 1, true);
        const int32_t nozzle = drv::FindOrCreateBranch(post1, "Post1", "Nozzle1");
        AddLeaf(nozzle, "Volume", 1);
        server_ = drv::TOPCServer::Create();
    }
    void TearDown() override {
        server_ = nullptr;
        OpcTest::TearDown();
    }

    Names Browse(opc::OPCBROWSETYPE type, uint32_t rights = 0, HRESULT* hr_out = nullptr,
                 drv::TOPCServer* s = nullptr) {
        opc::IEnumString* e = nullptr;
        const HRESULT hr =
            (s ? s : server_.Get())->BrowseOPCItemIDs(type, u"", plat::VT_EMPTY, rights, &e);
        if (hr_out) *hr_out = hr;
        if (!e) return {"(no enumerator)"};
        Names n = ReadAll(e);
        e->Release();
        return n;
    }
    static Names Sorted(Names n) {
        std::sort(n.begin(), n.end());
        return n;
    }
    std::string ItemID(const char16_t* name) {
        char16_t* out = nullptr;
        const HRESULT hr = server_->GetItemID(name, &out);
        if (hr != S_OK) return "hr " + std::to_string(hr);
        return TakeString(out);
    }

    ComPtr<drv::TOPCServer> server_;
};

TEST_F(OpcBrowse, BranchesAndLeavesOfThePosition) {
    opc::OPCNAMESPACETYPE org{};
    EXPECT_EQ(server_->QueryOrganization(&org), S_OK);
    EXPECT_EQ(org, opc::OPC_NS_HIERARCHIAL);

    Names roots = {"System"};
    for (int i = 1; i <= 12; ++i) roots.push_back("Post" + std::to_string(i));
    HRESULT hr = 0;
    EXPECT_EQ(Sorted(Browse(opc::OPC_BRANCH, 0, &hr)), Sorted(roots));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Browse(opc::OPC_LEAF, 0, &hr), Names{}) << "no leaf hangs at the root";
    EXPECT_EQ(hr, S_FALSE);

    EXPECT_EQ(server_->ChangeBrowsePosition(opc::OPC_BROWSE_DOWN, u"Post1"), S_OK);
    EXPECT_EQ(Browse(opc::OPC_LEAF, 0, &hr), (Names{"State", "DozeV"}));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Browse(opc::OPC_BRANCH), Names{"Nozzle1"});
    EXPECT_EQ(Browse(opc::OPC_LEAF, 2), Names{"DozeV"}) << "rights filter";
    EXPECT_EQ(Browse(opc::OPC_BRANCH, 2), Names{"Nozzle1"}) << "branches pass the rights filter";

    // Each server has its own position.
    auto other = drv::TOPCServer::Create();
    EXPECT_EQ(Browse(opc::OPC_LEAF, 0, &hr, other.Get()), Names{});
    EXPECT_EQ(hr, S_FALSE);

    EXPECT_EQ(server_->BrowseOPCItemIDs(static_cast<opc::OPCBROWSETYPE>(9), u"", 0, 0, nullptr),
              plat::E_POINTER);
    opc::IEnumString* e = nullptr;
    EXPECT_EQ(server_->BrowseOPCItemIDs(static_cast<opc::OPCBROWSETYPE>(9), u"", 0, 0, &e),
              plat::E_INVALIDARG);
    EXPECT_EQ(e, nullptr);
    ASSERT_EQ(server_->BrowseAccessPaths(u"Post1.State", &e), S_OK);
    EXPECT_EQ(ReadAll(e), Names{});
    e->Release();
    ExpectNoTaskMemory();
}

TEST_F(OpcBrowse, FlatListsWhatLiesBelowThePositionByRelativeName) {
    EXPECT_EQ(server_->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post1"), S_OK);
    // Not Post10 ... Post12, whose names merely begin with "Post1".
    EXPECT_EQ(Sorted(Browse(opc::OPC_FLAT)),
              Sorted({"State", "DozeV", "Nozzle1", "Nozzle1.Volume"}));
    EXPECT_EQ(Sorted(Browse(opc::OPC_FLAT, 2)), Sorted({"DozeV", "Nozzle1"}));

    EXPECT_EQ(server_->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post10"), S_OK);
    EXPECT_EQ(Sorted(Browse(opc::OPC_FLAT)), Sorted({"State", "DozeV"}));

    EXPECT_EQ(server_->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u""), S_OK);
    const Names all = Browse(opc::OPC_FLAT);
    EXPECT_EQ(std::count(all.begin(), all.end(), "Post10.DozeV"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "Post1.Nozzle1.Volume"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "System"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "Post1.Secret"), 0);
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const std::string& n) { return n.rfind("Post", 0) == 0; }),
              12 * 3 + 2);
}

TEST_F(OpcBrowse, AnItemThatRefusesOtherClientsShowsOnlyToAFriend) {
    ASSERT_EQ(server_->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post1"), S_OK);
    EXPECT_EQ(Browse(opc::OPC_LEAF), (Names{"State", "DozeV"}));
    server_->SetClientName(u"Other");
    EXPECT_EQ(Browse(opc::OPC_LEAF), (Names{"State", "DozeV"}));
    auto trusted = drv::TOPCServer::Create();
    trusted->SetClientName(u"5D3A9C07E1B24F68A0C7D2E49B1F6A83");
    ASSERT_EQ(trusted->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post1"), S_OK);
    EXPECT_EQ(Browse(opc::OPC_LEAF, 0, nullptr, trusted.Get()),
              (Names{"State", "DozeV", "Secret"}));
}

TEST_F(OpcBrowse, MovingThePositionAndNamingItems) {
    auto& s = *server_;
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_UP, u""), E_FAIL) << "up at the root";
    EXPECT_EQ(ItemID(u""), "");
    EXPECT_EQ(ItemID(u"Post2.State"), "Post2.State");
    EXPECT_EQ(ItemID(u"Post2.Nope"), "hr " + std::to_string(E_FAIL));

    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_DOWN, u"Post1"), S_OK);
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_DOWN, u"Nozzle1"), S_OK);
    EXPECT_EQ(ItemID(u""), "Post1.Nozzle1");
    EXPECT_EQ(ItemID(u"Volume"), "Post1.Nozzle1.Volume");
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_DOWN, u"Missing"), E_FAIL);
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_DOWN, u""), E_FAIL);
    EXPECT_EQ(ItemID(u""), "Post1.Nozzle1") << "a failed move keeps the position";
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_UP, u""), S_OK);
    EXPECT_EQ(ItemID(u""), "Post1");
    EXPECT_EQ(ItemID(u"DozeV"), "Post1.DozeV");
    EXPECT_EQ(ItemID(u"Nope"), "hr " + std::to_string(E_FAIL));
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_UP, u""), S_OK);
    EXPECT_EQ(ItemID(u""), "");

    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post12"), S_OK);
    EXPECT_EQ(ItemID(u""), "Post12");
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"Post99"), E_FAIL);
    EXPECT_EQ(ItemID(u""), "Post12");
    EXPECT_EQ(s.ChangeBrowsePosition(static_cast<opc::OPCBROWSEDIRECTION>(4), u"Post1"),
              plat::E_INVALIDARG);
    EXPECT_EQ(s.ChangeBrowsePosition(opc::OPC_BROWSE_TO, u""), S_OK);
    EXPECT_EQ(ItemID(u""), "");
    ExpectNoTaskMemory();
}

TEST_F(OpcBrowse, PropertiesOfALeaf) {
    auto& s = *server_;
    uint32_t count = 0;
    uint32_t* ids = nullptr;
    char16_t** descriptions = nullptr;
    plat::VARTYPE* types = nullptr;
    ASSERT_EQ(s.QueryAvailableProperties(u"Post1.DozeV", &count, &ids, &descriptions, &types),
              S_OK);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(std::vector<uint32_t>(ids, ids + count),
              (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 101}));
    EXPECT_EQ(types[0], plat::VT_I2);
    EXPECT_EQ(types[1], plat::VT_I4) << "the value's type is the canonical one";
    for (uint32_t i = 0; i < count; ++i) EXPECT_NE(TakeString(descriptions[i]), "");
    plat::CoTaskMemFree(ids);
    plat::CoTaskMemFree(descriptions);
    plat::CoTaskMemFree(types);

    for (const char16_t* unknown : {u"Post1", u"Post1.Nope", u""}) {
        EXPECT_EQ(s.QueryAvailableProperties(unknown, &count, &ids, &descriptions, &types),
                  plat::OPC_E_UNKNOWNITEMID);
        EXPECT_EQ(ids, nullptr);
    }

    const uint32_t wanted[] = {drv::PROP_CDT, drv::PROP_RIGHTS, 999};
    plat::Variant* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(s.GetItemProperties(u"Post1.DozeV", 3, wanted, &values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(values[0], plat::Variant::I4(plat::VT_I4));
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(values[1], plat::Variant::I4(3));
    EXPECT_EQ(errors[2], plat::OPC_E_INVALID_PID);
    EXPECT_TRUE(values[2].IsEmpty());
    drv::FreeVariantArray(values, 3);
    plat::CoTaskMemFree(errors);
    EXPECT_EQ(s.GetItemProperties(u"Post1.Nope", 3, wanted, &values, &errors),
              plat::OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(values, nullptr);

    char16_t** new_ids = nullptr;
    ASSERT_EQ(s.LookupItemIDs(u"Post1.DozeV", 2, wanted, &new_ids, &errors), S_FALSE);
    EXPECT_EQ(errors[0], E_FAIL);
    EXPECT_EQ(errors[1], E_FAIL);
    EXPECT_EQ(new_ids[0], nullptr);
    EXPECT_EQ(new_ids[1], nullptr);
    plat::CoTaskMemFree(new_ids);
    plat::CoTaskMemFree(errors);
    ExpectNoTaskMemory();
}

}  // namespace
}  // namespace opctest
