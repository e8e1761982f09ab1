// The device base: the roads of a queued write, folded writes, writes left at destruction,
// read-backs and the conversions the models share.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "fieldbus/core/Device.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/TempRoot.h"

using namespace fbtest;
using mb::CDevice;
using plat::Variant;

namespace {

// Executes a write by reporting a fixed result; optionally folds first or fails half way.
class Model : public CDevice {
  public:
    using CDevice::CDevice;
    int WriteItem(mb::CDeviceItem* item, Variant& value, int32_t id) override {
        if (fold) FoldWrites(item, value, id);
        executed.push_back({item, value, id});
        if (throw_in_write) throw std::runtime_error("line gone");
        SetWriteResult(id, result);
        return 0;
    }
    bool ReadItem(mb::CDeviceItem* item) override {
        read.push_back(item);
        return true;
    }
    struct Done {
        mb::CDeviceItem* item;
        Variant value;
        int32_t id;
    };
    std::vector<Done> executed;
    std::vector<mb::CDeviceItem*> read;
    int32_t result = 0;
    bool fold = false;
    bool throw_in_write = false;
};

class DeviceTest : public ::testing::Test {
  protected:
    int32_t Queue(Model& d, TestItem& item, int32_t v) {
        int32_t id = 0;
        EXPECT_EQ(d.QueueWrite(&item, Variant::I4(v), id), plat::S_OK);
        return id;
    }
    testsupport::TempRoot root_;
    MemoryLog log_;
    RecordingHost host_;
    FakePort port_{&log_, &host_};
};

TEST_F(DeviceTest, AQueuedWriteTakesItsRoad) {
    Model d(5, &port_);
    TestItem rw("Dose", 0x10), ro("Total", 0x20, plat::VT_I4, true);
    const int32_t cancelled = Queue(d, rw, 1);
    const int32_t refused = Queue(d, ro, 2);
    const int32_t captured = Queue(d, rw, 3);
    const int32_t runs = Queue(d, rw, 4);
    EXPECT_TRUE(d.WritesQueued());
    host_.Cancel(cancelled);

    d.ExecuteNextWrite();  // cancelled: dropped without a result
    EXPECT_TRUE(host_.Results().empty());
    EXPECT_EQ(log_.Count("{B9060B25-323A-44bc-AD13-CEF9426D47A4} Dose"), 1u);

    d.ExecuteNextWrite();  // read-only
    port_.captures[5] = 1;
    d.ExecuteNextWrite();  // captured by the system device
    port_.captures[5] = 0;
    EXPECT_TRUE(d.executed.empty()) << "nothing reached the model so far";
    EXPECT_TRUE(d.WritesQueued());

    d.result = 7;
    d.ExecuteNextWrite();
    ASSERT_EQ(d.executed.size(), 1u);
    EXPECT_EQ(d.executed[0].item, &rw);
    EXPECT_EQ(d.executed[0].value, Variant::I4(4));
    EXPECT_EQ(d.executed[0].id, runs);
    EXPECT_EQ(host_.Results(), (std::vector<std::pair<int32_t, int32_t>>{
                                   {refused, plat::OPC_E_BADRIGHTS}, {captured, -2}, {runs, 7}}));
    EXPECT_FALSE(d.WritesQueued()) << "the queue ran empty";
}

TEST_F(DeviceTest, AWriteFlagWithoutQueuedWritesDoesNotStay) {
    Model d(5, &port_);
    d.SetWritesQueued();
    d.ExecuteNextWrite();
    EXPECT_FALSE(d.WritesQueued()) << "a stale flag keeps the write bonus for good";
}

TEST_F(DeviceTest, FoldedWritesGetTheResultOfTheWriteThatRan) {
    Model d(5, &port_);
    TestItem a("A"), b("B");
    const int32_t a1 = Queue(d, a, 1);
    const int32_t b1 = Queue(d, b, 10);
    const int32_t a2 = Queue(d, a, 2);
    const int32_t a3 = Queue(d, a, 3);
    d.fold = true;
    d.result = 0x48;  // the device refused the value
    d.ExecuteNextWrite();
    ASSERT_EQ(d.executed.size(), 1u);
    EXPECT_EQ(d.executed[0].value, Variant::I4(3));
    EXPECT_EQ(d.executed[0].id, a3);
    auto r = host_.Results();
    std::sort(r.begin(), r.end());
    EXPECT_EQ(r, (std::vector<std::pair<int32_t, int32_t>>{{a1, 0x48}, {a2, 0x48}, {a3, 0x48}}))
        << "superseded writes were told of success before the device refused";
    EXPECT_EQ(d.WriteQueue().GetCount(), 1u);
    d.ExecuteNextWrite();
    EXPECT_EQ(host_.Results().back(), std::make_pair(b1, 0x48));
}

TEST_F(DeviceTest, AModelThatFailsHalfWayStillAnswersItsWrite) {
    Model d(5, &port_);
    TestItem a("A");
    Queue(d, a, 1);
    const int32_t newest = Queue(d, a, 2);
    d.fold = true;
    d.throw_in_write = true;
    d.ExecuteNextWrite();
    auto r = host_.Results();
    EXPECT_EQ(r.size(), 2u) << "both the surviving write and the one folded into it";
    for (auto& [id, result] : r) EXPECT_EQ(result, plat::E_FAIL) << id;
    EXPECT_EQ(log_.Count("E:{DFF1AA65-F108-4bc8-A482-7B09CA3C3572} 5"), 1u);
    EXPECT_EQ(d.executed.at(0).id, newest);
}

TEST_F(DeviceTest, WritesLeftWhenTheDeviceGoesAwayAreAnswered) {
    auto d = std::make_unique<Model>(5, &port_);
    TestItem a("A");
    const int32_t w1 = Queue(*d, a, 1);
    const int32_t w2 = Queue(*d, a, 2);
    d.reset();
    EXPECT_EQ(host_.Results(), (std::vector<std::pair<int32_t, int32_t>>{{w1, 1117}, {w2, 1117}}));
}

TEST_F(DeviceTest, ReadBacksReadTheMarkedVariableAndRunDownWithoutOne) {
    Model d(5, &port_);
    TestItem a("A"), b("B");
    std::vector<mb::ItemSlot> slots(3);
    slots[0].variable = &a;
    slots[2].variable = &b;
    b.marked = true;
    d.AddReadBack();
    d.AddReadBack();  // asked twice, one mark
    d.ReadItemFromDevice(slots);
    ASSERT_EQ(d.read, (std::vector<mb::CDeviceItem*>{&b}));
    EXPECT_FALSE(b.marked);
    EXPECT_EQ(d.ReadBacksPending(), 1);
    d.ReadItemFromDevice(slots);
    EXPECT_EQ(d.read.size(), 1u);
    EXPECT_EQ(d.ReadBacksPending(), 0) << "a count without a mark would starve the port";
}

TEST_F(DeviceTest, ReadBacksReachEveryMarkedItemWhileAClientMarksThemAll) {
    Model d(5, &port_);
    std::vector<std::unique_ptr<TestItem>> items;
    std::vector<mb::ItemSlot> slots(6);
    for (size_t i = 0; i < slots.size(); ++i) {
        items.push_back(std::make_unique<TestItem>("I" + std::to_string(i)));
        slots[i].variable = items.back().get();
    }
    // The client asks for every item again before each step.
    std::set<mb::CDeviceItem*> seen;
    for (size_t step = 0; step < slots.size(); ++step) {
        for (auto& item : items) {
            item->marked = true;
            d.AddReadBack();
        }
        d.ReadItemFromDevice(slots);
        ASSERT_EQ(d.read.size(), step + 1);
        seen.insert(d.read.back());
    }
    EXPECT_EQ(seen.size(), slots.size()) << "one turn over the slots reads every item";
}

TEST_F(DeviceTest, SetAllBadMarksEveryVariableAndTakesTheDeviceOffline) {
    Model d(0x1A, &port_);
    TestItem a("A"), b("B");
    std::vector<mb::ItemSlot> slots(2);
    slots[0].variable = &a;
    slots[1].variable = &b;
    d.SetAllBad(slots);
    EXPECT_EQ(a.quality, 0);
    EXPECT_EQ(b.quality, 0);
    EXPECT_NE(a.stamp, 0u);
    EXPECT_TRUE(d.IsOffline());
    EXPECT_EQ(log_.Count("{5BFA5642-A9AD-4143-A542-3453DEB5585D} 1A "), 1u);
}

TEST_F(DeviceTest, RegisterAccessWithoutAModbusPortCountsAsNotOpen) {
    Model d(5, &port_);
    d.SetErrorCount(3);
    EXPECT_EQ(d.ReadInteger(1, 4, 1), 0u);
    EXPECT_EQ(d.LastError(), mb::kMbPortNotOpen);
    EXPECT_EQ(d.GetRequestCount(), 1);
    EXPECT_EQ(d.GetErrorCount(), 3) << "10 is not a link error";
    EXPECT_EQ(d.WriteVariant(1, Variant::Date(1.0)), mb::kBadValueType);
}

// Answers the line by hand where a device's answer must be one no ordinary peer gives.
class DeviceLineTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        mb_->SetAnswerTimeout(2000);
        port_ = std::make_unique<FakePort>(&dlog_, &host_, mb_.get());
        dev_ = std::make_unique<CDevice>(5, port_.get());
    }
    void TearDown() override {
        dev_.reset();
        LineTest::TearDown();
    }
    MemoryLog dlog_;
    RecordingHost host_;
    std::unique_ptr<FakePort> port_;
    std::unique_ptr<CDevice> dev_;
};

TEST_F(DeviceLineTest, StatusByteLockedParameterAndCrcErrors) {
    auto status = std::async(std::launch::async, [&] { return dev_->ReadInteger(0, 1, 0); });
    EXPECT_EQ(Hex(pty_.ReadFar(4, 2000)), Hex(Frame({5, 7})));
    pty_.WriteFar(Frame({5, 7, 0x6D}));
    EXPECT_EQ(status.get(), 0x6Du);

    const uint16_t words[] = {1};
    auto locked = std::async(std::launch::async, [&] { return dev_->WriteRegisters(3, words); });
    EXPECT_EQ(pty_.ReadFar(11, 2000).size(), 11u);
    pty_.WriteFar(Frame({5, 0x90, 0x48}));
    EXPECT_EQ(locked.get(), mb::kWriteLocked);
    EXPECT_EQ(dev_->LastError(), mb::kMbDeviceException + 0x48);

    auto bad = std::async(std::launch::async, [&] { return dev_->ReadInteger(0, 2, 1); });
    EXPECT_EQ(pty_.ReadFar(8, 2000).size(), 8u);
    std::string answer = Frame({5, 3, 2, 0, 1});
    answer.back() ^= 0x55;
    pty_.WriteFar(answer);
    EXPECT_EQ(bad.get(), 0u);
    EXPECT_EQ(dev_->LastError(), mb::kMbCrcError);
    EXPECT_EQ(dev_->GetCrcErrorCount(), 1);
    EXPECT_EQ(dev_->GetErrorCount(), 0) << "a CRC error is not a link error";
    EXPECT_EQ(dev_->GetRequestCount(), 3);
}

TEST(DeviceConversions, BcdKeysHexFloatsAndPadding) {
    EXPECT_EQ(mb::ToBcd(1234), 0x1234u);
    EXPECT_EQ(mb::ToBcd(0), 0u);
    EXPECT_EQ(mb::ToBcd(99999999), 0x99999999u);
    EXPECT_EQ(mb::FromBcd(0x1234), 1234u);
    EXPECT_EQ(mb::FromBcd(mb::ToBcd(7050)), 7050u);

    const uint16_t keys[] = {0x0123, 0x9ABF};
    EXPECT_EQ(mb::KeyText(keys), "90128FAE");
    const uint16_t hex[] = {0x00AF, 0x1B2C};
    EXPECT_EQ(mb::HexWords(hex), "00AF1B2C");

    const float f[] = {1.0f, -2.5f};
    EXPECT_EQ(mb::FloatsToRegisters(f, true),
              (std::vector<uint16_t>{0x3F80, 0x0000, 0xC020, 0x0000}));
    EXPECT_EQ(mb::FloatsToRegisters(f, false),
              (std::vector<uint16_t>{0x0000, 0x3F80, 0x0000, 0xC020}));
    EXPECT_EQ(mb::FloatText(1.25, 1), "1.2");
    EXPECT_EQ(mb::FloatText(3.14159, 3), "3.142");

    EXPECT_EQ(mb::PadZeros("42", 5), "00042");
    EXPECT_EQ(mb::PadZeros("123456", 3), "123456");
}

}  // namespace

namespace {

class Modelled : public Model {
  public:
    using Model::Model;
    mb::CDeviceItem* MakeVariable(mb::ItemSlot& slot) override {
        made.push_back(std::make_unique<Initial>(slot.name, slot.reg, slot.raw_type));
        return made.back().get();
    }
    struct Initial : TestItem {
        using TestItem::TestItem;
        void SendInitialValue() override { sent = true; }
        bool sent = false;
    };
    std::vector<std::unique_ptr<Initial>> made;
};

TEST_F(DeviceTest, VariablesAreCreatedUnderTheirBranchUntilABranchIsMissing) {
    struct Created {
        std::string name;
        plat::VARTYPE vt;
        uint32_t access;
        int32_t parent;
    };
    std::vector<Created> created;
    host_.item_find = [](const plat::WideString& name, int16_t& flag, int32_t& h) {
        flag = name == u"Bad" ? 1 : 0;
        h = name == u"Post5" ? 40 : -1;
        return name == u"Post5" || name == u"Bad" ? 40 : -1;
    };
    host_.item_create = [&](mb::IModbusItem*, const plat::WideString& name, plat::VARTYPE vt,
                            uint8_t access, int32_t parent, const char*, int32_t& h) {
        created.push_back({plat::WideToUtf8(name), vt, access, parent});
        return h = 100 + int32_t(created.size());
    };
    Modelled d(5, &port_);
    std::vector<mb::ItemSlot> slots(4);
    slots[0] = {.raw_type = plat::VT_R4,
                .canonical_type = plat::VT_R8,
                .parent = "Post5",
                .name = "Flow",
                .access = 1};
    slots[2] = {.raw_type = plat::VT_I4, .parent = "Post5", .name = "Dose", .access = 9};
    ASSERT_TRUE(d.CreateVariables(std::span(slots).first(3)));
    ASSERT_EQ(created.size(), 2u) << "the empty slot makes nothing";
    EXPECT_EQ(created[0].name, "Flow");
    EXPECT_EQ(created[0].vt, plat::VT_R8) << "the canonical type is what the host sees";
    EXPECT_EQ(created[0].parent, 40);
    EXPECT_EQ(created[1].vt, plat::VT_I4);
    EXPECT_EQ(created[1].access, 3u) << "9 reaches the host as read/write";
    EXPECT_EQ(slots[0].handle, 101);
    EXPECT_EQ(slots[2].handle, 102);
    EXPECT_EQ(slots[1].handle, -1);
    ASSERT_EQ(d.made.size(), 2u);
    EXPECT_TRUE(d.made[0]->sent);

    slots[3] = {.raw_type = plat::VT_I4, .parent = "Bad", .name = "Lost"};
    EXPECT_FALSE(d.CreateVariables(std::span(slots).subspan(3)));
    slots[3].parent = "Nowhere";
    EXPECT_FALSE(d.CreateVariables(std::span(slots).subspan(3)));
    EXPECT_EQ(created.size(), 2u);
}

}  // namespace
