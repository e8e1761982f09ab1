#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/cotaskmem.h"
#include "service/core/CmdRegistry.h"
#include "service/core/Convert.h"
#include "service/core/ExtItems.h"
#include "service/core/PortManager.h"
#include "service/core/ProcessThread.h"
#include "service/core/SysItems.h"
#include "service/core/TxtProt.h"
#include "tests/support/TempRoot.h"

using namespace drv;
using plat::Variant;

namespace {

// A library variable that counts what the host does with it. After `freed` is set (the library
// has deleted it), any call is a use of a dead object.
class FakeVar : public mb::IModbusItem {
  public:
    HRESULT QueryInterface(const plat::IID&, void** out) override {
        *out = nullptr;
        return plat::E_NOINTERFACE;
    }
    uint32_t AddRef() override {
        Touch();
        ++adds;
        return static_cast<uint32_t>(++refs);
    }
    uint32_t Release() override {
        Touch();
        ++releases;
        return static_cast<uint32_t>(--refs);
    }
    HRESULT RequestRead() override { return Touch(), plat::S_OK; }
    int32_t Write(const Variant& value) override {
        Touch();
        ++writes;
        if (throw_on_call) throw std::runtime_error("library write broke");
        if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> lk(mutex);
        last_written = value;
        return write_result;
    }
    HRESULT RequestRefresh() override { return Touch(), plat::S_OK; }
    HRESULT SetUpdateRequest(int32_t flag) override {
        Touch();
        update_flags.push_back(flag);
        return plat::S_OK;
    }
    HRESULT QueryAvailableProperties(uint32_t* count, uint32_t** ids, char16_t*** descriptions,
                                     plat::VARTYPE** types) override {
        Touch();
        if (throw_on_call) throw std::runtime_error("library properties broke");
        *count = 2;
        *ids = static_cast<uint32_t*>(plat::CoTaskMemAlloc(2 * sizeof(uint32_t)));
        *descriptions = static_cast<char16_t**>(plat::CoTaskMemAlloc(2 * sizeof(char16_t*)));
        *types = static_cast<plat::VARTYPE*>(plat::CoTaskMemAlloc(2 * sizeof(plat::VARTYPE)));
        (*ids)[0] = 1;
        (*ids)[1] = 101;
        (*descriptions)[0] = StrToCoTaskMemW("Item Canonical DataType");
        (*descriptions)[1] = StrToCoTaskMemW("Item Description");
        (*types)[0] = plat::VT_I2;
        (*types)[1] = plat::VT_BSTR;
        return plat::S_OK;
    }
    HRESULT GetItemProperties(uint32_t count, const uint32_t* ids, plat::LCID,
                              Variant** values, HRESULT** errors) override {
        Touch();
        if (throw_on_call) throw std::runtime_error("library properties broke");
        *values = AllocVariantArray(count);
        *errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(count * sizeof(HRESULT)));
        for (uint32_t i = 0; i < count; ++i) {
            (*errors)[i] = ids[i] == 101 ? plat::S_OK : plat::OPC_E_INVALID_PID;
            if (ids[i] == 101) (*values)[i] = Variant::Str("Temperature of tank 2");
        }
        return plat::S_OK;
    }

    std::atomic<int> refs{0}, adds{0}, releases{0}, writes{0}, late_calls{0};
    std::atomic<bool> freed{false}, throw_on_call{false}, slow{false};
    std::mutex mutex;
    int32_t write_result = kCmdBegin + 1;  // under mutex, like last_written
    Variant last_written;
    std::vector<int32_t> update_flags;

  private:
    void Touch() {
        if (freed.load()) ++late_calls;
    }
};

// A leaf of the service's own, to stand for a native item of the same name.
class NativeLeaf : public TLeafItem {
  public:
    using TLeafItem::TLeafItem;
    uint8_t AccessRights() override { return 1; }
};

plat::FILETIME Ft(int seconds) {
    return DateTimeToFileTimeUTC(45000.0 + seconds / 86400.0);
}

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
    int32_t Create(FakeVar& var, const char16_t* name, uint8_t access = 3,
                   plat::VARTYPE vt = plat::VT_R8) {
        int32_t out = -7;
        int32_t h = ExtItemCreate(&var, name, vt, access, dev_, "Temperature", &out);
        EXPECT_EQ(h, out);
        return h;
    }
    ComPtr<TExtLeafItem> Item(int32_t handle) { return GetItemAs<TExtLeafItem>(handle); }
    uint16_t Quality(TLeafItem& leaf) {
        Variant v;
        uint16_t q = 0;
        plat::FILETIME t;
        leaf.ReadCurrent(plat::VT_EMPTY, 1033, v, q, t);
        return q;
    }
    std::string LogText() { return testsupport::ReadFile(root_.Path() + "/c/NorvaltDrvCOM.LG1"); }

    // Library variables outlive the registry that still holds them until TearDown.
    FakeVar& Var() { return *vars_.emplace_back(std::make_unique<FakeVar>()); }

    testsupport::TempRoot root_;
    std::vector<std::unique_ptr<FakeVar>> vars_;
    int32_t dev_ = -1;
};

}  // namespace

TEST_F(ExtItems, TableCarriesTheCallbacksAndTheSearchFlag) {
    const mb::HostCallbacks& t = HostCallbackTable();
    EXPECT_EQ(t.pItemCreate, &ExtItemCreate);
    EXPECT_EQ(t.pCmdSetResult, &CmdSetResultC);
    EXPECT_EQ(t.pUpdateTS, &ExtUpdateTS);
    EXPECT_EQ(t.pSearchFlag, &SearchMode());
}

TEST_F(ExtItems, BranchesItemsAndExactFind) {
    EXPECT_EQ(ExtParentCreate(u"Dev1", -1), dev_) << "an existing branch is reused";
    const int32_t sub = ExtParentCreate(u"Ch1", dev_);
    EXPECT_EQ(GetItemFullName(sub), "Dev1.Ch1");

    FakeVar& var = Var();
    const int32_t h = Create(var, u"Temp", 0x03, plat::VT_R4);
    ASSERT_GE(h, 0);
    EXPECT_EQ(var.refs, 1) << "the item holds one counted reference";
    auto item = Item(h);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->FullName(), "Dev1.Temp");
    EXPECT_EQ(item->AccessRights(), 3);
    EXPECT_EQ(item->CanonicalType(), plat::VT_R4);
    EXPECT_EQ(item->DescriptionEn(), "Temperature");

    int16_t flag = 7;
    int32_t parent = 7;
    EXPECT_EQ(ExtItemFind(u"Dev1.Temp", &flag, &parent), h);
    EXPECT_EQ(flag, -1);
    EXPECT_EQ(parent, dev_);
    EXPECT_EQ(ExtItemFind(u"Dev1", &flag, &parent), dev_);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(parent, -1);
    EXPECT_EQ(ExtItemFind(u"dev1.temp", &flag, &parent), -1) << "names match exactly";
    EXPECT_EQ(ExtItemFind(u"Dev1.None", &flag, &parent), -1);
    EXPECT_EQ(ExtItemFind(nullptr, &flag, &parent), -1);

    SetFixedAddressSpace(true);
    New<TFastStartItem>("Saved")->AddToNS(dev_);
    ASSERT_NE(FindItemID("Dev1.Saved"), -1);
    EXPECT_EQ(ExtItemFind(u"Dev1.Saved", &flag, &parent), -1) << "a placeholder is not found";

    // Bad parents and arguments are refused without taking a reference.
    FakeVar& other = Var();
    int32_t out = 0;
    EXPECT_EQ(ExtItemCreate(&other, u"X", plat::VT_I4, 3, 99999, "", &out), -1);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(ExtItemCreate(&other, u"X", plat::VT_I4, 3, h, "", &out), -1) << "leaf parent";
    EXPECT_EQ(ExtItemCreate(nullptr, u"X", plat::VT_I4, 3, dev_, "", &out), -1);
    EXPECT_EQ(ExtItemCreate(&other, u"", plat::VT_I4, 3, dev_, nullptr, &out), -1);
    EXPECT_EQ(other.refs, 0);
    EXPECT_EQ(ExtParentCreate(u"B", h), -1) << "no branch under a leaf";
    EXPECT_EQ(ExtParentCreate(u"Temp", dev_), -1) << "the name is a leaf";
}

TEST_F(ExtItems, WriteRefreshAndPropertiesReachTheLibrary) {
    FakeVar& var = Var();
    const int32_t h = Create(var, u"Level");
    auto item = Item(h);
    ASSERT_TRUE(item);

    EXPECT_EQ(item->WriteChecked(Variant::I4(5), 0, 2, 1033), kCmdBegin + 1);
    EXPECT_EQ(var.writes, 1);
    EXPECT_EQ(var.last_written, Variant::I4(5));
    {
        std::lock_guard<std::mutex> lk(var.mutex);
        var.write_result = 1117;
    }
    EXPECT_EQ(item->Write(Variant(), 0, 2, 1033), 1117);
    EXPECT_EQ(item->Write(Variant::Null(), 3, 2, 1033), 1117);

    item->RequestRefresh();
    EXPECT_EQ(var.update_flags, std::vector<int32_t>{1});

    const size_t blocks = plat::CoTaskMemLiveBlocks();
    auto props = item->AvailableProperties();
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[1].id, 101u);
    EXPECT_EQ(props[1].description, "Item Description");
    Variant v;
    EXPECT_EQ(item->GetItemProperty(101, 1049, v), plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(v.bstrVal), "Temperature of tank 2");
    EXPECT_EQ(item->GetItemProperty(5000, 1049, v), plat::OPC_E_INVALID_PID);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks) << "the library's arrays are freed";

    DoneProtocol();
    const std::string log = LogText();
    EXPECT_NE(log.find("FTExtLeafItem.Write VT:3 V:\"5\" CliPrivLevel:0 PrivLevel:0 Result:" +
                       std::to_string(kCmdBegin + 1)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("V:\"<---  UNASSIGNED  --->\" CliPrivLevel:0 PrivLevel:0 Result:1117"),
              std::string::npos);
    EXPECT_NE(log.find("V:\"<---  NULL  --->\" CliPrivLevel:3"), std::string::npos);
}

TEST_F(ExtItems, PrivilegedItemsAreForFriendsOnlyAndQuietItemsAreNot) {
    FakeVar& var = Var();
    auto item = New<TExtLeafItem>("Secret", plat::ComPtr<mb::IModbusItem>(&var), plat::VT_I4, 3,
                                  "", true);
    item->AddToNS(dev_);
    EXPECT_TRUE(item->RefusesClient(2, 0));
    EXPECT_TRUE(item->RefusesClient(0, 0));
    EXPECT_FALSE(item->RefusesClient(kFriendClientKind, 0));
    EXPECT_EQ(item->Write(Variant::I4(1), 1, 2, 1033), plat::E_ACCESSDENIED) << "not a friend";
    EXPECT_EQ(item->Write(Variant::I4(1), 0, kFriendClientKind, 1033), plat::E_ACCESSDENIED)
        << "a friend without privilege";
    EXPECT_EQ(var.writes, 0);
    EXPECT_EQ(item->Write(Variant::I4(1), 1, kFriendClientKind, 1033), kCmdBegin + 1);
    EXPECT_EQ(var.writes, 1);

    // The library's quiet mark (bit 7) hides nothing: every client sees the variable.
    FakeVar& quiet = Var();
    auto q = Item(Create(quiet, u"UID", 0x81, plat::VT_BSTR));
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->Quiet());
    EXPECT_FALSE(q->Privileged());
    EXPECT_FALSE(q->RefusesClient(2, 0));
    EXPECT_EQ(q->AccessRights(), 1);
    item->RemoveFromNS();
}

TEST_F(ExtItems, SamplesAndTimeStamps) {
    FakeVar& var = Var();
    const int32_t h = Create(var, u"Flow");
    auto item = Item(h);
    ASSERT_TRUE(item);

    const Variant nan4 = Variant::R4(std::numeric_limits<float>::quiet_NaN());
    const Variant inf8 = Variant::R8(-std::numeric_limits<double>::infinity());
    plat::FILETIME t = Ft(1);
    ExtNewSample(h, &nan4, OPC_QUALITY_GOOD, &t);
    EXPECT_TRUE(item->PeekValue().IsEmpty());
    EXPECT_EQ(Quality(*item), OPC_QUALITY_EGU_EXCEEDED);
    ExtNewSample(h, &inf8, 0, &t);
    EXPECT_TRUE(item->PeekValue().IsEmpty());
    EXPECT_EQ(Quality(*item), 0) << "a bad quality is not raised";
    ExtNewSample(h, &inf8, OPC_QUALITY_UNCERTAIN, &t);
    EXPECT_EQ(Quality(*item), OPC_QUALITY_UNCERTAIN);

    const Variant good = Variant::R8(2.5);
    ExtNewSample(h, &good, OPC_QUALITY_GOOD, &t);
    EXPECT_EQ(item->PeekValue(), good);
    EXPECT_EQ(Quality(*item), OPC_QUALITY_GOOD);
    const plat::DATE before = item->GetTimestamp();
    plat::FILETIME later = Ft(30);
    ExtUpdateTS(h, &later);
    EXPECT_GT(item->GetTimestamp(), before);
    EXPECT_EQ(item->PeekValue(), good);

    // Unknown handles and missing arguments do nothing.
    const int64_t samples = item->NextSample();
    ExtNewSample(h + 1000, &good, OPC_QUALITY_GOOD, &t);
    ExtNewSample(-1, &good, OPC_QUALITY_GOOD, &t);
    ExtNewSample(h, nullptr, OPC_QUALITY_GOOD, &t);
    ExtNewSample(h, &good, OPC_QUALITY_GOOD, nullptr);
    ExtUpdateTS(-1, &t);
    ExtUpdateTS(h, nullptr);
    ExtItemDestroy(h + 1000);
    ExtItemDestroy(dev_);  // the library destroys its branches too: they stay
    EXPECT_EQ(item->NextSample(), samples);
    EXPECT_EQ(FindItemID("Dev1.Flow"), h);
    EXPECT_EQ(FindItemID("Dev1"), dev_);
    EXPECT_EQ(var.releases, 0);
}

TEST_F(ExtItems, DestroyReleasesOnceAndHeldItemsNeverReachTheLibraryAgain) {
    FakeVar& var = Var();
    const int32_t h = Create(var, u"Level");
    ComPtr<TExtLeafItem> held = Item(h);  // as an OPC group or the station cache keeps it
    ASSERT_TRUE(held);

    ExtItemDestroy(h);
    var.freed = true;
    EXPECT_EQ(var.refs, 0);
    EXPECT_EQ(var.releases, var.adds.load());
    EXPECT_EQ(FindItemID("Dev1.Level"), -1);
    EXPECT_FALSE(held->Attached());

    EXPECT_EQ(held->Write(Variant::I4(1), 1, 2, 1033), plat::OPC_E_UNKNOWNITEMID);
    Variant v;
    EXPECT_EQ(held->GetItemProperty(101, 1033, v), plat::OPC_E_UNKNOWNITEMID);
    EXPECT_TRUE(held->AvailableProperties().empty());
    held->RequestRefresh();
    const Variant s = Variant::I4(3);
    plat::FILETIME t = Ft(2);
    ExtNewSample(h, &s, OPC_QUALITY_GOOD, &t);
    ExtItemDestroy(h);
    EXPECT_EQ(var.late_calls, 0);
    EXPECT_EQ(var.releases, 1) << "released exactly once";
}

TEST_F(ExtItems, SameNameFromTwoPortsKeepsTheFirstAndLateDestroysTouchOnlyTheirOwn) {
    FakeVar& first = Var();
    FakeVar& second = Var();
    const int32_t h1 = Create(first, u"Dose");
    ASSERT_GE(h1, 0);
    EXPECT_EQ(Create(second, u"Dose"), -1) << "a second device may not take the name";
    EXPECT_EQ(second.refs, 0);
    ASSERT_TRUE(Item(h1));
    EXPECT_EQ(Item(h1)->Write(Variant::I4(1), 1, 2, 1033), kCmdBegin + 1);
    EXPECT_EQ(first.writes, 1);
    EXPECT_EQ(second.writes, 0);
    ExtItemDestroy(-1);  // the refused device's destroy
    ASSERT_TRUE(Item(h1));

    // A native item takes the name over; the library's late destroy must leave it alone and
    // still let go of its own variable.
    auto native = New<NativeLeaf>("Dose");
    native->AddToNS(dev_);
    ASSERT_EQ(native->ID(), h1);
    native->RemoveFromNS();
    FakeVar& third = Var();
    EXPECT_EQ(Create(third, u"Dose"), -1) << "the handle still belongs to the first variable";
    EXPECT_EQ(third.refs, 0);
    native->AddToNS(dev_);
    ExtItemDestroy(h1);
    first.freed = true;
    EXPECT_EQ(first.refs, 0);
    EXPECT_EQ(GetItem(h1).Get(), static_cast<TItem*>(native.Get()));
    native->RemoveFromNS();

    // Once destroyed, the name (and its id) can be taken again.
    FakeVar& fourth = Var();
    EXPECT_EQ(Create(fourth, u"Dose"), h1);
    EXPECT_EQ(first.late_calls, 0);
}

TEST_F(ExtItems, LibraryExceptionsAreCaughtAndLogged) {
    FakeVar& var = Var();
    auto item = Item(Create(var, u"Bad"));
    ASSERT_TRUE(item);
    var.throw_on_call = true;
    EXPECT_EQ(item->Write(Variant::I4(1), 1, 2, 1033), plat::E_FAIL);
    EXPECT_TRUE(item->AvailableProperties().empty());
    Variant v;
    EXPECT_EQ(item->GetItemProperty(101, 1033, v), plat::E_FAIL);
    // A time stamp before any sample fails inside the tree; the callback swallows it.
    plat::FILETIME t = Ft(1);
    ExtUpdateTS(item->ID(), &t);
    DoneProtocol();
    const std::string log = LogText();
    EXPECT_NE(log.find("FTExtLeafItem.Write Dev1.Bad runtime_error library write broke"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GetItemProperties Dev1.Bad runtime_error library properties broke"),
              std::string::npos);
    EXPECT_NE(log.find("ExtUpdateTS Exception"), std::string::npos);
}

TEST_F(ExtItems, DestroyWaitsForWritesUnderWay) {
    FakeVar& var = Var();
    var.slow = true;
    const int32_t h = Create(var, u"Busy");
    ComPtr<TExtLeafItem> held = Item(h);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i)
        writers.emplace_back([&] {
            while (!stop.load()) held->Write(Variant::I4(1), 1, 2, 1033);
        });
    while (var.writes.load() < 20) std::this_thread::yield();
    ExtItemDestroy(h);
    var.freed = true;  // the library deletes its variable as soon as the callback returns
    for (int i = 0; i < 50; ++i) held->Write(Variant::I4(1), 1, 2, 1033);
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_EQ(var.late_calls, 0);
    EXPECT_EQ(var.refs, 0);
}
