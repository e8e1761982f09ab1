#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "service/core/posts/PostItems.h"
#include "tests/support/TempRoot.h"

using namespace drv;
using plat::Variant;

namespace {

class CountingPort : public TPortObject {
  public:
    int PostCount() const override { return 0; }
    bool Registered() const override { return true; }
};

class SystemItems : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPortFactory(PortKind::Native,
                       [this](const PortStartInfo& info) -> std::unique_ptr<TPortObject> {
                           ++starts_[info.index];
                           SetPortStatusCell(info.index, 0);
                           return std::make_unique<CountingPort>();
                       });
    }
    void TearDown() override {
        StopPorts();
        SetPortFactory(PortKind::Native, nullptr);
        SetParametersChangedHook(nullptr);
        SetLoadAddrSpaceHook(nullptr);
        SetFixedAddressSpace(false);
        DoneNameSpace();
    }
    void Start(const std::string& params) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", params),
            plat::ERROR_SUCCESS);
        InitNameSpace();
        InitDriverItems();
        StartPorts();
    }
    ComPtr<TLeafItem> Leaf(const std::string& name) {
        return GetItemAs<TLeafItem>(FindLeafID(name));
    }
    std::string Stored() {
        std::string s;
        plat::reg::ReadString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", s);
        return s;
    }

    testsupport::TempRoot root_;
    std::map<int, int> starts_;
};

}  // namespace

TEST_F(SystemItems, AllParametersRewritesTheStringAndRestartsOnlyChangedPorts) {
    Start("PORT=CUST COM1=ZRN COM2=ZRN");
    auto all = Leaf("System.AllParameters");
    ASSERT_TRUE(all);
    EXPECT_EQ(plat::WideToUtf8(all->PeekValue().bstrVal), "PORT=CUST COM1=ZRN COM2=ZRN");
    EXPECT_EQ(all->Write(Variant::Str("PORT=CUST"), 0, 0, 1033), plat::E_ACCESSDENIED);
    EXPECT_EQ(all->Write(Variant::I4(1), 1, 0, 1033), plat::E_INVALIDARG);

    EXPECT_EQ(all->Write(Variant::Str("PORT=CUST COM1=ZRN COM2=ZRN"), 1, 0, 1033), plat::S_OK);
    EXPECT_EQ(starts_[0], 1);
    EXPECT_EQ(starts_[1], 1) << "the same text restarts no port";

    EXPECT_EQ(all->Write(Variant::Str("PORT=CUST COM1=ZRN COM2=ZRN9600"), 1, 0, 1033), plat::S_OK);
    EXPECT_EQ(Stored(), "PORT=CUST COM1=ZRN COM2=ZRN9600");
    EXPECT_EQ(starts_[0], 1);
    EXPECT_EQ(starts_[1], 2) << "only the changed port restarts";
}

TEST_F(SystemItems, AllPortsEnableSwitchesEveryPort) {
    Start("PORT=CUST COM1=ZRN COM2=ZRN");
    auto ports = Leaf("System.AllPortsEnable");
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->PeekValue().boolVal, plat::VARIANT_TRUE);
    EXPECT_EQ(ports->Write(Variant::Bool(false), 0, 0, 1033), plat::E_ACCESSDENIED);
    EXPECT_EQ(ports->Write(Variant::Bool(false), 1, 0, 1033), plat::S_OK);
    EXPECT_EQ(Stored(), "PORT=CUST COM1=ZRN COM2=ZRN DISABLEALLPORTS=1");
    EXPECT_EQ(PortStatus(0), kPortSwitchedOff);
    EXPECT_EQ(PortStatus(1), kPortSwitchedOff);
    EXPECT_EQ(ports->PeekValue().boolVal, plat::VARIANT_FALSE);
    EXPECT_EQ(plat::WideToUtf8(Leaf("System.AllParameters")->PeekValue().bstrVal), Stored());

    EXPECT_EQ(ports->Write(Variant::Bool(true), 1, 0, 1033), plat::S_OK);
    EXPECT_EQ(Stored(), "PORT=CUST COM1=ZRN COM2=ZRN");
    EXPECT_EQ(PortStatus(0), 0);
    EXPECT_EQ(starts_[0], 2);
}

TEST_F(SystemItems, WritesThatCannotBeStoredFailAndChangeNothing) {
    Start("PORT=CUST COM1=ZRN");
    auto all = Leaf("System.AllParameters");
    auto ports = Leaf("System.AllPortsEnable");
    ASSERT_TRUE(all && ports);
    testsupport::WriteFile(plat::reg::HiveFile(plat::reg::Hive::LocalMachine), "not a hive\n");
    EXPECT_TRUE(plat::Failed(all->Write(Variant::Str("PORT=CUST COM1=ZRN9600"), 1, 0, 1033)));
    EXPECT_TRUE(plat::Failed(ports->Write(Variant::Bool(false), 1, 0, 1033)));
    EXPECT_EQ(CachedParameters(), "PORT=CUST COM1=ZRN") << "what runs is what is stored";
    EXPECT_EQ(plat::WideToUtf8(all->PeekValue().bstrVal), "PORT=CUST COM1=ZRN");
    EXPECT_EQ(ports->PeekValue().boolVal, plat::VARIANT_TRUE);
    EXPECT_EQ(starts_[0], 1);
    EXPECT_EQ(PortStatus(0), 0);
}

TEST_F(SystemItems, FixedAddressSpaceIsSavedOnceAMinuteWithoutChanges) {
    plat::ScopedFakeClock clock;
    Start("ADDRSPACE=SIMFIXED DISABLEALLPORTS=1");
    ASSERT_TRUE(SaveAddrSpace(false));
    std::string first, second;
    ASSERT_EQ(plat::reg::ReadString(plat::reg::Hive::LocalMachine, kAddrSpaceKey, "DATE", first),
              plat::ERROR_SUCCESS);
    clock->Advance(30000);
    EXPECT_FALSE(SaveAddrSpace(false)) << "at most once a minute";
    clock->Advance(30000);
    EXPECT_TRUE(SaveAddrSpace(false)) << "nothing changed, still saved after a minute";
    plat::reg::ReadString(plat::reg::Hive::LocalMachine, kAddrSpaceKey, "DATE", second);
    EXPECT_NE(second, first);
}

TEST_F(SystemItems, DisablingAWorkingPostPausesItAndRefusesTheNextStart) {
    Start("DISABLEALLPORTS=1");
    const int32_t post = FindOrCreateBranch(-1, "", "Post4");
    EXPECT_TRUE(GetItemAs<TDrvBranchItem>(post))
        << "branches made after start-up are the driver's class";
    EXPECT_EQ(GetItemAs<TDrvBranchItem>(post)->PostNumber(), 4);
    auto state = New<TStateItem>(4, true);
    state->AddToNS(post);
    auto enable = New<TPostEnableItem>(4, true);
    enable->AddToNS(post);
    state->SetStateValue(7, plat::NowLocal());

    EXPECT_EQ(enable->Write(Variant::Bool(false), 1, 0, 1033), plat::S_OK);
    auto cmd = state->Queue().Next();
    ASSERT_TRUE(cmd) << "the working post is paused";
    EXPECT_EQ(cmd->argument, 80);
    state->Queue().Complete(0);
    uint32_t saved = 99;
    plat::reg::ReadDword(plat::reg::Hive::LocalMachine, kAddrSpaceKey, "Post4.Enable", saved);
    EXPECT_EQ(saved, 0u);

    state->SetStateValue(0, plat::NowLocal());
    EXPECT_EQ(state->Write(Variant::I4(1), 1, 0, 1033), -9);
}

namespace {
// A post's State that counts the writes made to it while the writing thread holds this leaf's
// or the Enable leaf's lock.
class NestingProbeState : public TStateItem {
  public:
    using TStateItem::TStateItem;
    HRESULT Write(const Variant& value, int privilege, int flag, LCID locale) override {
        const uint32_t me = plat::CurrentThreadId();
        if (Lock().WriterThread() == me || enable_->Lock().WriterThread() == me) ++nested;
        return TStateItem::Write(value, privilege, flag, locale);
    }
    ComPtr<TLeafItem> enable_;
    std::atomic<int> nested{0};
};
}  // namespace

TEST_F(SystemItems, APostPausedByItsEnableItemTakesNoLeafLockInsideAnother) {
    Start("DISABLEALLPORTS=1");
    const int32_t post = FindOrCreateBranch(-1, "", "Post4");
    auto state = New<NestingProbeState>(4, true);
    state->AddToNS(post);
    auto enable = New<TPostEnableItem>(4, true);
    enable->AddToNS(post);
    state->enable_ = enable;
    TVariableInfoEx price_info = CopyVariableInfo(VarRec::PriceVCents);
    auto price = New<TVarItem>(4, true, &state->Queue(), &price_info);
    price->AddToNS(post);

    // The poll thread changes the state and the price and runs the queue, a client writes the
    // price, another switches the post's Enable item.
    constexpr int kRounds = 200;
    std::thread poll([&] {
        for (int i = 0; i < kRounds; ++i) {
            state->SetStateValue(i % 2 ? 7 : 0, plat::NowLocal());
            price->StoreValue((100 + i) * kFixedOne / 100, plat::NowLocal(), LQ_FRESH);
            while (state->Queue().Next()) state->Queue().Complete(0);
        }
    });
    std::thread client([&] {
        for (int i = 0; i < kRounds; ++i) price->Write(Variant::R8(1 + i / 100.0), 0, 0, 1033);
    });
    std::thread operator_([&] {
        for (int i = 0; i < kRounds; ++i) enable->Write(Variant::Bool(i % 2 != 0), 1, 0, 1033);
    });
    poll.join();
    client.join();
    operator_.join();
    while (state->Queue().Next()) state->Queue().Complete(0);

    ASSERT_EQ(enable->Write(Variant::Bool(false), 1, 0, 1033), plat::S_OK);
    state->SetStateValue(0, plat::NowLocal());
    state->SetStateValue(1, plat::NowLocal());
    auto cmd = state->Queue().Next();
    ASSERT_TRUE(cmd) << "the post started while disabled is paused";
    EXPECT_EQ(cmd->argument, 80);
    state->Queue().Complete(0);
    EXPECT_EQ(state->nested.load(), 0) << "the pause was written under a leaf's lock";
}

TEST_F(SystemItems, FixedAddressSpaceLoadsSavedNamesAndSavesThemAgain) {
    using plat::reg::Hive;
    plat::reg::WriteDword(Hive::LocalMachine, kAddrSpaceKey, "Post3.Enable", 0);
    plat::reg::WriteDword(Hive::LocalMachine, kAddrSpaceKey, "Post3.Tank", 5);
    plat::reg::WriteString(Hive::LocalMachine, kAddrSpaceKey, "Post3.State",
                           "VT=17;AR=3;DATE=46000.5");
    plat::reg::WriteString(Hive::LocalMachine, kAddrSpaceKey, "Post3.DozeV",
                           "VT=5;AR=3;DATE=46000.5");
    plat::reg::WriteString(Hive::LocalMachine, kAddrSpaceKey, "Post3.Bad", "not item info");
    Start("ADDRSPACE=SIMFIXED DISABLEALLPORTS=1");
    EXPECT_TRUE(AddrSpaceLoaded());
    EXPECT_TRUE(PortsStarted());
    EXPECT_EQ(Leaf("Post3.Enable")->PeekValue().boolVal, plat::VARIANT_FALSE);
    EXPECT_EQ(Leaf("Post3.Tank")->PeekValue().lVal, 5);
    auto ph = GetItemAs<TFastStartItem>(FindLeafID("Post3.State"));
    ASSERT_TRUE(ph) << "clients see the saved name before the controller answers";
    EXPECT_EQ(ph->CanonicalType(), plat::VT_UI1);
    EXPECT_EQ(FindItemID("Post3.Bad"), -1);

    const int32_t id = ph->ID();
    const int32_t ver = AddrSpaceVerItem()->PeekValue().lVal;
    auto state = New<TStateItem>(3, true);
    state->AddToNS(GetParentID(id));
    EXPECT_EQ(state->ID(), id);
    EXPECT_EQ(AddrSpaceVerItem()->PeekValue().lVal, ver)
        << "the real item takes the placeholder's place quietly";

    ASSERT_TRUE(SaveAddrSpace(true));
    std::string info;
    ASSERT_EQ(plat::reg::ReadString(Hive::LocalMachine, kAddrSpaceKey, "Post3.State", info),
              plat::ERROR_SUCCESS);
    EXPECT_EQ(info.rfind("VT=17;AR=3;DATE=", 0), 0u) << info;
    EXPECT_EQ(plat::reg::ReadString(Hive::LocalMachine, kAddrSpaceKey, "Post3.DozeV", info),
              plat::ERROR_SUCCESS)
        << "a placeholder whose item has not come back stays saved";
    uint32_t tank = 0;
    plat::reg::ReadDword(Hive::LocalMachine, kAddrSpaceKey, "Post3.Tank", tank);
    EXPECT_EQ(tank, 5u);
    EXPECT_NE(
        plat::reg::ReadString(Hive::LocalMachine, kAddrSpaceKey, "System.AllParameters", info),
        plat::ERROR_SUCCESS)
        << "the service's own System items are not saved";
    EXPECT_FALSE(SaveAddrSpace(false)) << "nothing changed since the last save";
}
