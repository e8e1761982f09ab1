#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/cotaskmem.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ExternalItems.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "tests/support/TempRoot.h"

using namespace drv;
using plat::Variant;

namespace {

constexpr int32_t kCmd = kCmdBegin + 1;

// A library variable counting what the host does with it; once `freed` is set (the library has
// deleted it) every call counts as the use of a dead object.
class FakeVar : public mb::IModbusItem {
  public:
    HRESULT QueryInterface(const plat::IID&, void**) override { return plat::E_NOINTERFACE; }
    uint32_t AddRef() override { return Touch(), ++refs; }
    uint32_t Release() override { return Touch(), ++releases, --refs; }
    HRESULT RequestRead() override { return Touch(), plat::S_OK; }
    int32_t Write(const Variant&) override {
        Touch();
        ++writes;
        if (fail) throw std::runtime_error("library broke");
        if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return kCmd;
    }
    HRESULT RequestRefresh() override { return Touch(), plat::S_OK; }
    HRESULT SetUpdateRequest(int32_t flag) override { return Touch(), refresh_flag = flag, 0; }
    HRESULT QueryAvailableProperties(uint32_t* count, uint32_t** ids, char16_t*** descriptions,
                                     plat::VARTYPE** types) override {
        Touch();
        *count = 1;
        *ids = static_cast<uint32_t*>(plat::CoTaskMemAlloc(sizeof(uint32_t)));
        *descriptions = static_cast<char16_t**>(plat::CoTaskMemAlloc(sizeof(char16_t*)));
        *types = static_cast<plat::VARTYPE*>(plat::CoTaskMemAlloc(sizeof(plat::VARTYPE)));
        **ids = 101;
        **descriptions = StrToCoTaskMemW("Item Description");
        **types = plat::VT_BSTR;
        return plat::S_OK;
    }
    HRESULT GetItemProperties(uint32_t, const uint32_t* ids, plat::LCID, Variant** values,
                              HRESULT** errors) override {
        Touch();
        if (fail) throw std::runtime_error("library broke");
        *values = AllocVariantArray(1);
        *errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(sizeof(HRESULT)));
        **errors = ids[0] == 101 ? plat::S_OK : plat::OPC_E_INVALID_PID;
        if (ids[0] == 101) **values = Variant::Str("Tank 2");
        return plat::S_OK;
    }

    std::atomic<uint32_t> refs{0}, releases{0}, writes{0}, late_calls{0};
    std::atomic<int32_t> refresh_flag{0};
    std::atomic<bool> freed{false}, fail{false}, slow{false};

  private:
    void Touch() { late_calls += freed.load() ? 1 : 0; }
};

class NativeLeaf : public TLeafItem {
  public:
    using TLeafItem::TLeafItem;
    uint8_t AccessRights() override { return 1; }
};

class ExtItems : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                         "PROTOCOL=3"),
                  plat::ERROR_SUCCESS);
        InitProtocol(kDrvKey, "Parameters");
        InitNameSpace();
        InitDriverItems();
        dev_ = ExtParentCreate(u"Dev1", -1);
        ASSERT_GE(dev_, 0);
    }
    void TearDown() override {
        DropExtItems();
        SetParametersChangedHook(nullptr);
        SetLoadAddrSpaceHook(nullptr);
        SetFixedAddressSpace(false);
        DoneNameSpace();
        DoneProtocol();
    }
    // Variables outlive the registry's hold on them, which ends in TearDown.
    FakeVar& Var() { return *vars_.emplace_back(std::make_unique<FakeVar>()); }
    int32_t Create(FakeVar& var, const char16_t* name, uint8_t access = 3) {
        int32_t out = -7;
        int32_t h = ExtItemCreate(&var, name, plat::VT_R8, access, dev_, "Temperature", &out);
        EXPECT_EQ(h, out);
        return h;
    }
    ComPtr<TExtLeafItem> Item(int32_t handle) { return FindExtItem(handle); }
    std::string Log() {
        DoneProtocol();
        return testsupport::ReadFile(root_.Path() + "/c/NorvaltDrvCOM.LG1");
    }

    testsupport::TempRoot root_;
    std::vector<std::unique_ptr<FakeVar>> vars_;
    int32_t dev_ = -1;
};

}  // namespace

TEST_F(ExtItems, BranchesItemsAndExactFind) {
    FakeVar& var = Var();
    const int32_t h = Create(var, u"Temp", 0x81);
    ASSERT_GE(h, 0);
    EXPECT_EQ(var.refs, 1u);
    auto item = Item(h);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->FullName(), "Dev1.Temp");
    EXPECT_EQ(item->AccessRights(), 1);
    // The library's quiet mark hides nothing.
    EXPECT_FALSE(item->RefusesClient(2, 0));

    int16_t flag = 7;
    int32_t parent = 7;
    EXPECT_EQ(ExtItemFind(u"Dev1.Temp", &flag, &parent), h);
    EXPECT_EQ(flag, -1);
    EXPECT_EQ(parent, dev_);
    EXPECT_EQ(ExtItemFind(u"Dev1", &flag, &parent), dev_);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ExtItemFind(u"dev1.temp", &flag, &parent), -1) << "names match exactly";
    SetFixedAddressSpace(true);
    New<TFastStartItem>("Saved")->AddToNS(dev_);
    EXPECT_EQ(ExtItemFind(u"Dev1.Saved", &flag, &parent), -1) << "a placeholder is not found";

    FakeVar& other = Var();
    int32_t out = 0;
    EXPECT_EQ(ExtItemCreate(&other, u"X", plat::VT_I4, 3, h, "", &out), -1) << "leaf parent";
    EXPECT_EQ(out, -1);
    EXPECT_EQ(ExtItemCreate(nullptr, u"X", plat::VT_I4, 3, dev_, "", &out), -1);
    EXPECT_EQ(other.refs, 0u);
    EXPECT_EQ(ExtParentCreate(u"Temp", dev_), -1) << "the name is a leaf";
}

TEST_F(ExtItems, WritesRefreshPropertiesAndLibraryExceptions) {
    FakeVar& var = Var();
    const int32_t h = Create(var, u"Level");
    auto item = Item(h);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->WriteChecked(Variant::I4(5), 0, 2, 1033), kCmd);
    EXPECT_EQ(item->Write(Variant(), 0, 2, 1033), kCmd);
    EXPECT_EQ(var.writes, 2u);
    item->RequestRefresh();
    EXPECT_EQ(var.refresh_flag, 1);

    const size_t blocks = plat::CoTaskMemLiveBlocks();
    auto props = item->AvailableProperties();
    ASSERT_EQ(props.size(), 1u);
    EXPECT_EQ(props[0].description, "Item Description");
    Variant v;
    EXPECT_EQ(item->GetItemProperty(101, 1049, v), plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(v.bstrVal), "Tank 2");
    EXPECT_EQ(item->GetItemProperty(5000, 1049, v), plat::OPC_E_INVALID_PID);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks) << "the library's arrays are freed";

    // Privileged: hidden from all but a friend, written only by a friend with privilege.
    auto secret =
        New<TExtLeafItem>("Secret", plat::ComPtr<mb::IModbusItem>(&var), plat::VT_I4, 3, "", true);
    EXPECT_TRUE(secret->RefusesClient(2, 0));
    EXPECT_FALSE(secret->RefusesClient(kFriendClientKind, 0));
    EXPECT_EQ(secret->Write(Variant::I4(1), 1, 2, 1033), plat::E_ACCESSDENIED);
    EXPECT_EQ(secret->Write(Variant::I4(1), 0, kFriendClientKind, 1033), plat::E_ACCESSDENIED);
    EXPECT_EQ(var.writes, 2u);
    EXPECT_EQ(secret->Write(Variant::I4(1), 1, kFriendClientKind, 1033), kCmd);

    // Exceptions stay on this side of the boundary.
    var.fail = true;
    EXPECT_EQ(item->Write(Variant::I4(1), 1, 2, 1033), plat::E_FAIL);
    EXPECT_EQ(item->GetItemProperty(101, 1033, v), plat::E_FAIL);
    plat::FILETIME t = DateTimeToFileTimeUTC(45000.0);
    ExtUpdateTS(h, &t);  // no sample yet: the tree throws, the callback must not

    const std::string log = Log();
    EXPECT_NE(log.find("FTExtLeafItem.Write Dev1.Level runtime_error library broke"),
              std::string::npos);
    EXPECT_NE(log.find("ExtUpdateTS Exception"), std::string::npos);
    EXPECT_NE(log.find("FTExtLeafItem.Write VT:3 V:\"5\" CliPrivLevel:0 PrivLevel:0 Result:" +
                       std::to_string(kCmd)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("V:\"<---  UNASSIGNED  --->\""), std::string::npos);
    EXPECT_NE(log.find("CliPrivLevel:0 PrivLevel:1 Result:-2147024891"), std::string::npos);
}

TEST_F(ExtItems, TheLibrarysPrivilegedMarkReachesTheItem) {
    auto secret = Item(Create(Var(), u"Address", 3 | mb::kAccessPrivileged));
    ASSERT_TRUE(secret);
    EXPECT_EQ(secret->AccessRights(), 3);
    EXPECT_TRUE(secret->Privileged());
    EXPECT_TRUE(secret->RefusesClient(2, 0)) << "hidden from every client but a trusted one";
    EXPECT_FALSE(secret->RefusesClient(kFriendClientKind, 0));
    EXPECT_EQ(secret->Write(Variant::I4(9), 1, 2, 1033), plat::E_ACCESSDENIED);
    auto open = Item(Create(Var(), u"Level", 3 | mb::kAccessQuiet));
    ASSERT_TRUE(open);
    EXPECT_FALSE(open->Privileged()) << "the quiet mark is no privilege";
    EXPECT_FALSE(open->RefusesClient(2, 0));
}

TEST_F(ExtItems, SamplesTimeStampsAndUnknownHandles) {
    const int32_t h = Create(Var(), u"Flow");
    auto item = Item(h);
    ASSERT_TRUE(item);
    auto quality = [&] {
        Variant v;
        uint16_t q = 0;
        plat::FILETIME t;
        item->ReadCurrent(plat::VT_EMPTY, 1033, v, q, t);
        return q;
    };
    const Variant nan = Variant::R4(std::numeric_limits<float>::quiet_NaN());
    const Variant inf = Variant::R8(std::numeric_limits<double>::infinity());
    const Variant good = Variant::R8(2.5);
    plat::FILETIME t = DateTimeToFileTimeUTC(45000.0), later = DateTimeToFileTimeUTC(45000.5);
    ExtNewSample(h, &nan, OPC_QUALITY_GOOD, &t);
    EXPECT_TRUE(item->PeekValue().IsEmpty());
    EXPECT_EQ(quality(), OPC_QUALITY_EGU_EXCEEDED);
    ExtNewSample(h, &inf, 0, &t);
    EXPECT_EQ(quality(), 0) << "a bad quality is not raised";
    ExtNewSample(h, &good, OPC_QUALITY_GOOD, &t);
    EXPECT_EQ(item->PeekValue(), good);
    const plat::DATE before = item->GetTimestamp();
    ExtUpdateTS(h, &later);
    EXPECT_GT(item->GetTimestamp(), before);

    const int64_t samples = item->NextSample();
    ExtNewSample(h + 1000, &good, OPC_QUALITY_GOOD, &t);
    ExtNewSample(h, nullptr, OPC_QUALITY_GOOD, &t);
    ExtUpdateTS(-1, &t);
    ExtItemDestroy(h + 1000);
    ExtItemDestroy(dev_);  // branches are destroyed too and stay
    EXPECT_EQ(item->NextSample(), samples);
    EXPECT_EQ(FindItemID("Dev1.Flow"), item->ID());
    EXPECT_EQ(FindItemID("Dev1"), dev_);
}

TEST_F(ExtItems, DestroyReleasesOnceAndHeldItemsNeverReachTheLibraryAgain) {
    FakeVar& var = Var();
    var.slow = true;
    const int32_t h = Create(var, u"Level");
    ComPtr<TExtLeafItem> held = Item(h);  // as an OPC group or the station cache keeps it
    ASSERT_TRUE(held);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i)
        writers.emplace_back([&] {
            while (!stop.load()) held->Write(Variant::I4(1), 1, 2, 1033);
        });
    while (var.writes.load() < 20) std::this_thread::yield();
    ExtItemDestroy(h);
    var.freed = true;  // the library deletes its variable once the callback returns
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    for (auto& w : writers) w.join();

    EXPECT_EQ(var.refs, 0u);
    EXPECT_EQ(var.releases, 1u);
    EXPECT_EQ(FindItemID("Dev1.Level"), -1);
    EXPECT_EQ(held->Write(Variant::I4(1), 1, 2, 1033), plat::OPC_E_UNKNOWNITEMID);
    Variant v;
    EXPECT_EQ(held->GetItemProperty(101, 1033, v), plat::OPC_E_UNKNOWNITEMID);
    EXPECT_TRUE(held->AvailableProperties().empty());
    held->RequestRefresh();
    ExtItemDestroy(h);
    EXPECT_EQ(var.late_calls, 0u);
}

TEST_F(ExtItems, SameNameTwiceKeepsTheFirstAndLateDestroysTouchOnlyTheirOwn) {
    FakeVar& first = Var();
    FakeVar& second = Var();
    const int32_t h = Create(first, u"Dose");
    EXPECT_EQ(Create(second, u"Dose"), -1) << "a second device may not take the name";
    EXPECT_EQ(second.refs, 0u);
    ASSERT_TRUE(Item(h));
    EXPECT_EQ(Item(h)->Write(Variant::I4(1), 1, 2, 1033), kCmd);
    EXPECT_EQ(first.writes, 1u);

    // A native item takes the name over; the late destroy lets go of the variable only.
    const int32_t id = Item(h)->ID();
    auto native = New<NativeLeaf>("Dose");
    native->AddToNS(dev_);
    ASSERT_EQ(native->ID(), id);
    native->RemoveFromNS();
    EXPECT_EQ(Create(Var(), u"Dose"), -1) << "the handle still belongs to the first variable";
    native->AddToNS(dev_);
    ExtItemDestroy(h);
    first.freed = true;
    EXPECT_EQ(first.refs, 0u);
    EXPECT_EQ(GetItem(id).Get(), static_cast<TItem*>(native.Get()));
    native->RemoveFromNS();
    const int32_t again = Create(Var(), u"Dose");
    ASSERT_GE(again, 0) << "once destroyed, the name is free again";
    EXPECT_EQ(Item(again)->ID(), id) << "with its id";
    EXPECT_EQ(first.late_calls, 0u);
}

TEST_F(ExtItems, ALateDestroyLeavesTheItemMadeAgainUnderTheName) {
    FakeVar& first = Var();
    FakeVar& second = Var();
    const int32_t h = Create(first, u"X");
    ASSERT_GE(h, 0);
    ExtItemDestroy(h);
    first.freed = true;
    const int32_t again = Create(second, u"X");
    ASSERT_GE(again, 0);
    ExtItemDestroy(h);  // late: issued for the first variable
    EXPECT_NE(FindItemID("Dev1.X"), -1) << "the new item stays";
    EXPECT_EQ(second.refs, 1u) << "and keeps its variable";
    ASSERT_TRUE(Item(again));
    EXPECT_EQ(Item(again)->Write(Variant::I4(1), 1, 2, 1033), kCmd);
    EXPECT_EQ(second.writes, 1u);
    EXPECT_EQ(first.late_calls, 0u);
}

// The library destroys a branch once it is done with it: an emptied driver branch leaves the
// tree and comes back with its id; a branch with anything under it, placeholders included, and
// System stay.
TEST_F(ExtItems, DestroyedBranchLeavesOnlyWhenEmpty) {
    const int32_t port = ExtParentCreate(u"COM7", FindItemID("System"));
    ASSERT_GE(port, 0);
    FakeVar& var = Var();
    int32_t out = -1;
    const int32_t leaf = ExtItemCreate(&var, u"Command", plat::VT_BSTR, 3, port, "", &out);
    ASSERT_GE(leaf, 0);
    ExtItemDestroy(port);
    EXPECT_EQ(FindItemID("System.COM7"), port) << "its leaf is still there";
    ExtItemDestroy(leaf);
    ExtItemDestroy(port);
    EXPECT_EQ(FindItemID("System.COM7"), -1);
    EXPECT_EQ(FindItemID("System.COM7.Command"), -1);
    EXPECT_GE(FindItemID("System.AllParameters"), 0);
    ExtItemDestroy(port);  // again: nothing there any more
    ExtItemDestroy(FindItemID("System"));
    EXPECT_GE(FindItemID("System"), 0) << "not emptied, and not the library's";
    EXPECT_EQ(ExtParentCreate(u"COM7", FindItemID("System")), port) << "the same id again";

    // A branch released while it still holds items leaves with the last of them, and takes a
    // released parent it leaves empty along; one put to use again stays.
    const int32_t unit = ExtParentCreate(u"Unit1", -1);
    const int32_t post = ExtParentCreate(u"Post1", unit);
    const int32_t a = ExtItemCreate(&Var(), u"State", plat::VT_I4, 3, post, "", &out);
    const int32_t b = ExtItemCreate(&Var(), u"Setting", plat::VT_I4, 3, post, "", &out);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ExtItemDestroy(post);
    ExtItemDestroy(unit);
    ExtItemDestroy(a);
    EXPECT_EQ(FindItemID("Unit1.Post1"), post) << "Setting is still under it";
    ExtItemDestroy(b);
    EXPECT_EQ(FindItemID("Unit1.Post1"), -1);
    EXPECT_EQ(FindItemID("Unit1"), -1);
    ASSERT_EQ(ExtParentCreate(u"Unit1", -1), unit);
    const int32_t c = ExtItemCreate(&Var(), u"Count", plat::VT_I4, 3, unit, "", &out);
    ExtItemDestroy(unit);
    ASSERT_EQ(ExtParentCreate(u"Unit1", -1), unit);
    ExtItemDestroy(c);
    EXPECT_EQ(FindItemID("Unit1"), unit) << "made again after its release: in use";

    // With the fixed address space a destroyed leaf leaves a placeholder, which keeps its branch.
    SetFixedAddressSpace(true);
    ASSERT_GE(Create(Var(), u"Kept"), 0);
    ExtItemDestroy(FindItemID("Dev1.Kept"));
    ExtItemDestroy(dev_);
    EXPECT_EQ(FindItemID("Dev1"), dev_);
}
