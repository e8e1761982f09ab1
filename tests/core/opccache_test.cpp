#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "tests/support/TempRoot.h"

using namespace drv;
using plat::Variant;

namespace {

class TestLeaf : public TLeafItem {
  public:
    explicit TestLeaf(const std::string& name, VARTYPE vt = plat::VT_I4, uint8_t rights = 3)
        : TLeafItem(name, vt), rights_(rights) {}
    uint8_t AccessRights() override { return rights_; }
    std::string DescriptionRu() override { return "Тест"; }
    std::string DescriptionEn() override { return "Test"; }

  private:
    uint8_t rights_;
};

class SoftLeaf : public TSoftLeafItem {
  public:
    explicit SoftLeaf(const std::string& name) : TSoftLeafItem(name, plat::VT_BOOL) {}
    uint8_t AccessRights() override { return 3; }
};

int32_t AddrSpaceVer() {
    return AddrSpaceVerItem()->PeekValue().lVal;
}

class ItemTree : public ::testing::Test {
  protected:
    void SetUp() override { InitNameSpace(); }
    void TearDown() override {
        SetFixedAddressSpace(false);
        DoneNameSpace();
    }

    ComPtr<TestLeaf> AddLeaf(int32_t parent, const std::string& name, VARTYPE vt = plat::VT_I4) {
        auto leaf = New<TestLeaf>(name, vt);
        leaf->AddToNS(parent);
        return leaf;
    }
};

std::vector<int32_t> ReadValues(const std::vector<SampleRead>& reads) {
    std::vector<int32_t> v;
    for (auto& r : reads) v.push_back(r.value.lVal);
    return v;
}

}  // namespace

TEST_F(ItemTree, SystemBranchAndFullNames) {
    int32_t sys = FindItemID("System");
    ASSERT_NE(sys, -1);
    EXPECT_NE(FindLeafID("System.AddrSpaceVer"), -1);
    EXPECT_NE(FindLeafID("System.LastErrorCritical"), -1);
    EXPECT_NE(FindLeafID("System.LastErrorExternal"), -1);
    EXPECT_EQ(FindLeafID("System"), -1) << "a branch is no leaf";

    int32_t post = FindOrCreateBranch(-1, "", "Post1");
    EXPECT_EQ(GetItemFullName(post), "Post1");
    EXPECT_EQ(FindOrCreateBranch(-1, "", "Post1"), post) << "an existing branch is reused";
    auto state = AddLeaf(post, "State");
    EXPECT_EQ(state->FullName(), "Post1.State");
    EXPECT_EQ(GetParentID(state->ID()), post);
    EXPECT_EQ(FindItemID("post1.state"), state->ID()) << "item ids compare without case";
    EXPECT_EQ(JoinItemName("", "A"), "A");
    EXPECT_EQ(JoinItemName("A", "B"), "A.B");
}

TEST_F(ItemTree, RemoveAndReAddKeepsTheIdAndCountsBothChanges) {
    int32_t post = FindOrCreateBranch(-1, "", "Post2");
    auto leaf = AddLeaf(post, "DozeV");
    const int32_t id = leaf->ID();
    const int32_t ver0 = AddrSpaceVer();

    leaf->RemoveFromNS();
    EXPECT_EQ(leaf->ID(), -1);
    EXPECT_EQ(FindItemID("Post2.DozeV"), -1);
    EXPECT_FALSE(GetItem(id));
    EXPECT_EQ(AddrSpaceVer(), ver0 + 1);

    auto again = AddLeaf(post, "DozeV");
    EXPECT_EQ(again->ID(), id);
    EXPECT_EQ(AddrSpaceVer(), ver0 + 2);
    EXPECT_EQ(GetItem(id).Get(), static_cast<TItem*>(again.Get()));

    auto other = AddLeaf(post, "DozeM");
    EXPECT_GT(other->ID(), id);
}

TEST_F(ItemTree, SameNameTakesOverTheIdOfTheLiveItem) {
    int32_t post = FindOrCreateBranch(-1, "", "Post3");
    auto first = AddLeaf(post, "State");
    const int32_t id = first->ID();
    auto second = AddLeaf(post, "State");
    EXPECT_EQ(second->ID(), id);
    EXPECT_EQ(first->ID(), -1) << "the old item must leave";
    EXPECT_EQ(GetItem(second->ID()).Get(), static_cast<TItem*>(second.Get()));
}

TEST_F(ItemTree, RemovingABranchTakesItsChildren) {
    int32_t post = FindOrCreateBranch(-1, "", "Post4");
    auto a = AddLeaf(post, "A");
    auto b = AddLeaf(post, "B");
    GetItem(post)->RemoveFromNS();
    EXPECT_EQ(a->ID(), -1);
    EXPECT_EQ(b->ID(), -1);
    EXPECT_EQ(FindItemID("Post4.A"), -1);
    EXPECT_EQ(FindItemID("Post4"), -1);
}

TEST_F(ItemTree, FixedAddressSpaceSwapsInAPlaceholderAndBackQuietly) {
    SetFixedAddressSpace(true);
    int32_t post = FindOrCreateBranch(-1, "", "Post5");
    auto leaf = AddLeaf(post, "Temperature", plat::VT_R8);
    leaf->NewSample(Variant::R8(21.5), OPC_QUALITY_GOOD, plat::NowLocal());
    const int32_t id = leaf->ID();
    const int32_t ver = AddrSpaceVer();

    leaf->RemoveFromNS();
    EXPECT_EQ(leaf->ID(), -1);
    EXPECT_EQ(FindItemID("Post5.Temperature"), id) << "the name stays registered";
    auto ph = GetItemAs<TFastStartItem>(id);
    ASSERT_TRUE(ph) << "a placeholder holds the id";
    EXPECT_EQ(ph->CanonicalType(), plat::VT_R8);
    EXPECT_EQ(ph->AccessRights(), 3);
    bool good = true;
    EXPECT_EQ(ph->PeekValue(&good).vt, plat::VT_EMPTY);
    Variant v;
    uint16_t q = 99;
    FILETIME ft;
    ph->ReadCurrent(plat::VT_EMPTY, plat::LOCALE_EN_US, v, q, ft);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(ph->GetRealHardware(), 2);

    auto back = AddLeaf(post, "Temperature", plat::VT_R8);
    EXPECT_EQ(back->ID(), id);
    EXPECT_EQ(AddrSpaceVer(), ver) << "neither the swap nor the return is a namespace change";
    EXPECT_EQ(GetItem(id).Get(), static_cast<TItem*>(back.Get()));

    // The service's own leaves leave for real.
    auto soft = New<SoftLeaf>("Enable");
    soft->AddToNS(post);
    int32_t soft_id = soft->ID();
    soft->RemoveFromNS();
    EXPECT_FALSE(GetItem(soft_id));
    EXPECT_EQ(FindItemID("Post5.Enable"), -1);
}

TEST_F(ItemTree, BufferedGroupItemGetsEverySampleAndUnbufferedOnlyTheNewest) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "P"), "V");
    leaf->NewSample(Variant::I4(1), OPC_QUALITY_GOOD, plat::NowLocal());
    TGItem buffered(leaf, "P.V", leaf->ID()), plain(leaf, "P.V", leaf->ID());
    buffered.requested_type = plain.requested_type = plat::VT_I4;

    for (TGItem* g : {&buffered, &plain}) {
        ASSERT_EQ(g->UnreadCount(true), 1) << "the current value is the first update";
        std::vector<SampleRead> out;
        int counter = 0;
        bool bad = false;
        g->Read(true, plat::LOCALE_EN_US, out, counter, bad);
        g->CommitCursor();
        EXPECT_EQ(ReadValues(out), std::vector<int32_t>{1});
        EXPECT_EQ(g->UnreadCount(true), 0);
    }

    for (int i = 2; i <= 21; ++i)
        leaf->NewSample(Variant::I4(i), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_GE(leaf->NextSample() - leaf->Shift(), 20) << "history kept for the buffered reader";

    int n = buffered.UnreadCount(true);
    ASSERT_EQ(n, 20);
    buffered.count_to_read = n;
    std::vector<SampleRead> out;
    int counter = 0;
    bool bad = false;
    buffered.Read(true, plat::LOCALE_EN_US, out, counter, bad);
    buffered.CommitCursor();
    std::vector<int32_t> expect;
    for (int i = 2; i <= 21; ++i) expect.push_back(i);
    EXPECT_EQ(ReadValues(out), expect);
    EXPECT_EQ(counter, 20);
    EXPECT_FALSE(bad);

    out.clear();
    ASSERT_EQ(plain.UnreadCount(true), 20);
    plain.Read(true, plat::LOCALE_EN_US, out, counter, bad);
    plain.CommitCursor();
    EXPECT_EQ(ReadValues(out), std::vector<int32_t>{21});

    // Both cursors now stand past the newest sample; old history is trimmed.
    for (int i = 0; i < 10; ++i)
        leaf->NewSample(Variant::I4(100 + i), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_EQ(leaf->TotalRefs(), 2u);
    EXPECT_LE(leaf->NextSample() - leaf->Shift(), 12);
}

TEST_F(ItemTree, ConsumedUnreportedChangesMoveTheCursorReference) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "Q"), "V");
    leaf->NewSample(Variant::I4(0), OPC_QUALITY_GOOD, plat::NowLocal());
    TGItem g(leaf, "Q.V", leaf->ID());
    g.active = 0;  // an inactive item consumes changes without reporting them
    EXPECT_EQ(g.UnreadCount(true), 0);
    for (int i = 0; i < 200; ++i) {
        leaf->NewSample(Variant::I4(i), OPC_QUALITY_GOOD, plat::NowLocal());
        EXPECT_EQ(g.UnreadCount(true), 0);
    }
    EXPECT_EQ(leaf->TotalRefs(), 1u);
    EXPECT_LE(leaf->SampleSlots(), 24u) << "a moved cursor must not pin old samples";
    EXPECT_NO_THROW(g.CommitCursor());
    g.active = 1;
    leaf->NewSample(Variant::I4(7), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_EQ(g.UnreadCount(true), 1);
}

TEST_F(ItemTree, LeafThatNobodyReadsStaysSmall) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "R"), "V");
    for (int i = 0; i < 10000; ++i)
        leaf->NewSample(Variant::I4(i), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_LE(leaf->NextSample() - leaf->Shift(), 7);
    EXPECT_LE(leaf->SampleSlots(), 16u);
    EXPECT_EQ(leaf->PeekValue().lVal, 9999);
}

TEST_F(ItemTree, CursorMisuseIsRefusedWithItsTag) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "S"), "V");
    leaf->NewSample(Variant::I4(1), OPC_QUALITY_GOOD, plat::NowLocal());
    try {
        leaf->ReleaseCursor(0);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "113413EE-BB4B-409E-B054-908F871B4F1C");
    }
    EXPECT_THROW(leaf->AcquireAt(5), Exception);
    EXPECT_THROW(leaf->ReleaseCursor(-3), Exception);
    EXPECT_EQ(leaf->TotalRefs(), 0u);
}

TEST_F(ItemTree, TimestampsRefreshAndCurrentReads) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "T"), "V");
    try {
        leaf->SetLastTimestamp(plat::NowLocal());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "6295EA74-0F53-4AEE-86C5-C512EB718030");
    }
    Variant v;
    uint16_t q = 1;
    FILETIME ft{};
    EXPECT_EQ(leaf->ReadCurrent(plat::VT_I4, plat::LOCALE_EN_US, v, q, ft), plat::S_OK);
    EXPECT_EQ(v.vt, plat::VT_EMPTY);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(ft, DateTimeToFileTimeUTC(ServerStartTime()));

    leaf->NewSample(Variant::I4(300), OPC_QUALITY_GOOD, 45000.5);
    EXPECT_EQ(leaf->ReadCurrent(plat::VT_UI1, plat::LOCALE_EN_US, v, q, ft), plat::DISP_E_OVERFLOW);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(leaf->ReadCurrent(plat::VT_BSTR, plat::LOCALE_EN_US, v, q, ft), plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(v.bstrVal), "300");
    EXPECT_EQ(q, OPC_QUALITY_GOOD);

    // A refresh request is answered by the next time-stamp update even without a new value.
    uint32_t head = ChangeRing().Head();
    leaf->SetLastTimestamp(45000.6);
    EXPECT_EQ(ChangeRing().Head(), head);
    leaf->RequestRefresh();
    leaf->SetLastTimestamp(45000.7);
    EXPECT_EQ(ChangeRing().Head(), head + 1);
    EXPECT_DOUBLE_EQ(leaf->GetTimestamp(), 45000.7);
}

TEST_F(ItemTree, PropertiesAndWriteTypeCheck) {
    auto leaf = AddLeaf(FindOrCreateBranch(-1, "", "U"), "V", plat::VT_R8);
    leaf->NewSample(Variant::R8(2.5), 64, plat::NowLocal());
    uint32_t ids[] = {1, 2, 3, 5, 6, 101, 999};
    Variant* values = nullptr;
    plat::HRESULT* errors = nullptr;
    EXPECT_EQ(leaf->GetItemProperties(7, ids, 1031, values, errors), plat::S_FALSE);
    EXPECT_EQ(values[0].lVal, plat::VT_R8);
    EXPECT_DOUBLE_EQ(values[1].dblVal, 2.5);
    EXPECT_EQ(values[2].lVal, 64);
    EXPECT_EQ(values[3].lVal, 3);
    EXPECT_EQ(values[4].vt, plat::VT_CY);
    EXPECT_EQ(values[4].cyVal, 1000000);
    EXPECT_EQ(values[5].vt, plat::VT_BSTR);
    EXPECT_TRUE(values[5].bstrVal.empty()) << "no description in locale 1031";
    EXPECT_EQ(errors[6], plat::OPC_E_INVALID_PID);
    FreeVariantArray(values, 7);
    plat::CoTaskMemFree(errors);

    Variant d;
    EXPECT_EQ(leaf->GetItemProperty(PROP_DESC, 1049, d), plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(d.bstrVal), "Тест");
    EXPECT_EQ(leaf->GetRealHardware(), 0);

    uint32_t count = 0;
    uint32_t* pids = nullptr;
    char16_t** descs = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(leaf->QueryAvailableProperties(count, pids, descs, types), plat::S_OK);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::u16string(descs[0]), u"Item Canonical DataType");
    EXPECT_EQ(types[1], plat::VT_R8);
    for (uint32_t i = 0; i < count; ++i) plat::CoTaskMemFree(descs[i]);
    plat::CoTaskMemFree(pids);
    plat::CoTaskMemFree(descs);
    plat::CoTaskMemFree(types);

    EXPECT_EQ(leaf->WriteChecked(Variant::Date(1.0), 1, 0, 1033), plat::DISP_E_TYPEMISMATCH);
    EXPECT_EQ(leaf->WriteChecked(Variant::I4(1), 1, 0, 1033), plat::E_NOTIMPL);
}

TEST_F(ItemTree, GroupItemFindsItsLeafAgainAfterItReturns) {
    plat::ScopedFakeClock clock;
    int32_t post = FindOrCreateBranch(-1, "", "W");
    auto leaf = AddLeaf(post, "V");
    leaf->NewSample(Variant::I4(1), OPC_QUALITY_GOOD, plat::NowLocal());
    TGItem g(leaf, "W.V", leaf->ID());
    EXPECT_EQ(g.UnreadCount(true), 1);
    std::vector<SampleRead> out;
    int counter = 0;
    bool bad = false;
    g.Read(true, 1033, out, counter, bad);
    g.CommitCursor();

    leaf->RemoveFromNS();
    EXPECT_FALSE(g.GetLeaf(true, true)) << "a departed leaf with nothing unread is let go";
    EXPECT_EQ(leaf->TotalRefs(), 0u);
    out.clear();
    g.Read(true, 1033, out, counter, bad);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].error, plat::E_FAIL);
    EXPECT_EQ(g.lost, 1);

    auto back = AddLeaf(post, "V");
    back->NewSample(Variant::I4(5), OPC_QUALITY_GOOD, plat::NowLocal());
    clock->Advance(5001);
    ASSERT_TRUE(g.GetLeaf(true, true));
    EXPECT_EQ(g.id, back->ID());
    EXPECT_EQ(g.lost, 0);
    EXPECT_EQ(g.UnreadCount(true), 1);
}

TEST(ItemTreeLog, ErrorLinesBecomeTheSystemErrorItems) {
    testsupport::TempRoot root;
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv",
                                     "Parameters", "PROTOCOL=1"),
              plat::ERROR_SUCCESS);
    InitProtocol("\\Software\\Norvalt\\Drv", "Parameters");
    InitNameSpace();
    WriteProtocolLine("controller 5 silent", PL_EXTERNAL);  // below the threshold, still hooked
    WriteProtocolLine("broken", PL_CRITICAL);
    std::string ext = plat::WideToUtf8(LastErrorItem(PL_EXTERNAL)->PeekValue().bstrVal);
    std::string cri = plat::WideToUtf8(LastErrorItem(PL_CRITICAL)->PeekValue().bstrVal);
    EXPECT_NE(ext.find(":controller 5 silent"), std::string::npos) << ext;
    EXPECT_NE(cri.find(":broken"), std::string::npos) << cri;
    DoneNameSpace();
    WriteProtocolLine("after the tree is gone", PL_CRITICAL);  // must not touch freed items
    DoneProtocol();
}

TEST_F(ItemTree, ConcurrentSamplesAndGroupReads) {
    constexpr int kLeaves = 4, kWriters = 4, kReaders = 4, kSamples = 2000;
    int32_t branch = FindOrCreateBranch(-1, "", "C");
    std::vector<ComPtr<TestLeaf>> leaves;
    for (int i = 0; i < kLeaves; ++i) leaves.push_back(AddLeaf(branch, "L" + std::to_string(i)));
    std::atomic<bool> stop{false};
    std::atomic<bool> out_of_order{false};
    std::latch go(kWriters + kReaders);
    std::vector<std::thread> ts;
    for (int w = 0; w < kWriters; ++w)
        ts.emplace_back([&, w] {
            go.arrive_and_wait();
            for (int i = 1; i <= kSamples; ++i)
                leaves[w % kLeaves]->NewSample(Variant::I4(i), OPC_QUALITY_GOOD, plat::NowLocal());
        });
    for (int r = 0; r < kReaders; ++r)
        ts.emplace_back([&, r] {
            TGItem g(ComPtr<TLeafItem>(leaves[r % kLeaves].Get()),
                     "C.L" + std::to_string(r % kLeaves), leaves[r % kLeaves]->ID());
            g.requested_type = plat::VT_I4;
            int32_t last = 0;
            go.arrive_and_wait();
            while (!stop.load()) {
                int n = g.UnreadCount(true);
                if (n <= 0) continue;
                g.count_to_read = n;
                std::vector<SampleRead> out;
                int counter = 0;
                bool bad = false;
                g.Read(true, 1033, out, counter, bad);
                g.CommitCursor();
                for (auto& s : out) {
                    if (s.value.lVal <= last && last != 0) out_of_order = true;
                    last = s.value.lVal;
                }
            }
        });
    for (int w = 0; w < kWriters; ++w) ts[w].join();
    stop = true;
    for (size_t i = kWriters; i < ts.size(); ++i) ts[i].join();
    EXPECT_FALSE(out_of_order.load()) << "a buffered reader saw samples out of order";
    for (auto& l : leaves) {
        EXPECT_EQ(l->TotalRefs(), 0u);
        EXPECT_EQ(l->PeekValue().lVal, kSamples);
    }
}
