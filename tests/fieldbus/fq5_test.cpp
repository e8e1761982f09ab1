// The flow sensor against a libmodbus slave on a pseudo-terminal: decoding of the two register
// blocks, degraded values on a failing line, the write kinds and the address change.
#include <gtest/gtest.h>

#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/FQ5.h"
#include "tests/fieldbus/ModelHostKit.h"

using namespace fbtest;
using plat::Variant;

namespace {

class FQ5Test : public ModelTest {
  protected:
    mb::CFQ5Device& Make() {
        auto d = std::make_unique<mb::CFQ5Device>(port_.get(), kAddress, "Post5");
        d->id_word1 = 0x01;
        d->id_word2 = 0x0203;
        fq5_ = d.get();
        device_ = std::move(d);
        return *fq5_;
    }
    mb::CVariable* Item(size_t slot) { return V(fq5_->Slot(slot)); }
    // Runs one write through the device as the bus thread would; the host's result.
    int32_t Write(size_t slot, Variant v) {
        const int32_t id = ++ids_;
        fq5_->WriteItem(Item(slot), v, id);
        return ResultOf(id);
    }
    mb::CFQ5Device* fq5_ = nullptr;
    int32_t ids_ = 500;
};

TEST_F(FQ5Test, BlocksAndIdentificationDecode) {
    // CurrentV 1.0 l, a negative flow rate, 25.0 degrees (low half first), a negative total.
    peer_->SetRegisters(0,
                        {5, 1, 0x0000, 0x0000, 0x000F, 0x4240, 0xFFE9, 0x1CA0, 77, 0x0000, 0x41C8});
    const uint64_t total = static_cast<uint64_t>(-2500000LL);
    peer_->SetRegisters(
        18, {uint16_t(total >> 48), uint16_t(total >> 32), uint16_t(total >> 16), uint16_t(total)});
    peer_->SetRegisters(261, {0x0001, 0x0002});
    peer_->SetRegisters(265, {0, 0, 0x0001, 0x0000});
    auto& d = Make();
    ASSERT_TRUE(d.Created());
    EXPECT_EQ(tree_.items.count("Post5.CurrentV"), 1u);
    EXPECT_EQ(d.Scan(), 1);

    EXPECT_EQ(Item(0)->Value(), Variant::UI2(5));
    EXPECT_EQ(Item(0)->Quality(), mb::kQualityGood);
    EXPECT_EQ(Item(6)->Value(), Variant::UI2(1));
    EXPECT_DOUBLE_EQ(Item(3)->Value().dblVal, 1.0);
    EXPECT_FLOAT_EQ(Item(4)->Value().fltVal, -1.5f);
    EXPECT_EQ(Item(7)->Value(), Variant::UI2(77));
    EXPECT_FLOAT_EQ(Item(5)->Value().fltVal, 25.0f);
    EXPECT_DOUBLE_EQ(Item(2)->Value().dblVal, -2.5);
    EXPECT_EQ(Item(2)->Quality(), mb::kQualityGood);

    EXPECT_EQ(Item(11)->Value(), Variant::I4(5));
    EXPECT_EQ(Item(12)->Value(), Variant::I4(0x00010002)) << "first register high";
    EXPECT_EQ(Item(13)->Value(), Variant::Str("01.0203"));
    EXPECT_EQ(d.Version(), "01.0203");
    EXPECT_EQ(Item(14)->Converted(), Variant::Str("65536"));
    EXPECT_EQ(Item(10)->Value(), Variant::Str(mb::CFQ5Device::kControllerText));
    EXPECT_FALSE(d.NeedsReinit());

    // Each step polls both blocks and nothing else unless a client asks.
    peer_->ClearSeen();
    d.Scan();
    ASSERT_EQ(peer_->Seen().size(), 2u);
    EXPECT_EQ(peer_->Seen()[0].count, 11);
    EXPECT_EQ(peer_->Seen()[1].start, 18);
    EXPECT_EQ(peer_->Seen()[1].count, 4);
}

TEST_F(FQ5Test, FailingBlockLeavesGoodValuesUncertain) {
    peer_->SetRegisters(0, {3, 0, 0, 0, 0x000F, 0x4240});
    auto& d = Make();
    d.Scan();
    ASSERT_EQ(Item(3)->Quality(), mb::kQualityGood);
    peer_->SetRegister(0, 4);
    peer_->Silence(18);
    d.Scan();
    EXPECT_EQ(Item(0)->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(Item(0)->Value(), Variant::UI2(4)) << "block 1 was read";
    EXPECT_EQ(Item(3)->Quality(), mb::kQualityUncertain);
    EXPECT_DOUBLE_EQ(Item(3)->Value().dblVal, 1.0);
    EXPECT_EQ(Item(2)->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(Item(11)->Quality(), mb::kQualityGood) << "only the polled slots degrade";
    EXPECT_GE(d.GetErrorCount(), 1);

    d.SetBadQuality();
    EXPECT_EQ(Item(0)->Quality(), mb::kQualityBad);
    EXPECT_EQ(Item(11)->Quality(), mb::kQualityBad);
    EXPECT_EQ(d.GetState(), mb::kStateOffline);
}

TEST_F(FQ5Test, WritesByKind) {
    auto& d = Make();
    d.Scan();
    peer_->SetRegister(22, 7);
    peer_->SetRegisters(2, {1, 2, 3, 4});
    peer_->ClearSeen();
    EXPECT_EQ(Write(0, Variant::I4(5)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(3, Variant::I8(int64_t{1} << 32)), plat::OPC_E_RANGE)
        << "only a reset of the counter is accepted";
    EXPECT_EQ(Write(3, Variant::R8(0.5)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(11, Variant::I4(248)), plat::E_INVALIDARG);
    EXPECT_EQ(Write(11, Variant::I4(0)), plat::E_INVALIDARG);
    EXPECT_EQ(Write(11, Variant::I4(9)), static_cast<int32_t>(0x80000000u)) << "not free";
    EXPECT_TRUE(peer_->Seen().empty()) << "refused writes send nothing";

    EXPECT_EQ(Write(0, Variant::I4(0)), 0);
    EXPECT_EQ(peer_->Register(22), 0);
    EXPECT_EQ(Write(3, Variant::I8(0)), 0);
    for (int r = 2; r < 6; ++r) EXPECT_EQ(peer_->Register(r), 0) << r;
    // A 16-bit item takes one register whatever type the client sent.
    peer_->SetRegister(2, 0x1111);
    EXPECT_EQ(Write(6, Variant::I4(3)), 0);
    EXPECT_EQ(peer_->Register(1), 3);
    EXPECT_EQ(peer_->Register(2), 0x1111);

    EXPECT_FALSE(d.IsMarkedForRemoval());
    port_->free = {9};
    EXPECT_EQ(Write(11, Variant::I4(9)), 0);
    EXPECT_EQ(peer_->Register(46), 9);
    EXPECT_TRUE(d.IsMarkedForRemoval());
    EXPECT_EQ(d.RedetectAddress(), 9);
    EXPECT_EQ(d.GetAddress(), kAddress);
}

// A written counter is read again by the round robin; what the block poll published stays.
TEST_F(FQ5Test, RereadOfBlockItemKeepsThePolledValue) {
    peer_->SetRegisters(0, {0, 0, 0, 0, 0x000F, 0x4240});
    auto& d = Make();
    d.Scan();
    ASSERT_EQ(Write(3, Variant::I8(0)), 0);
    peer_->SetRegisters(2, {0, 0, 0x001E, 0x8480});  // 2.0 l
    Item(3)->RequestRead();
    d.Scan();
    EXPECT_EQ(Item(3)->Value(), Variant::R8(2.0));
    EXPECT_EQ(Item(3)->Quality(), mb::kQualityGood);
    EXPECT_EQ(peer_->CountSeen(0x03, 0), 3u) << "poll, poll, and the picked re-read";
}

TEST_F(FQ5Test, ExceptionTextsByLanguage) {
    auto& d = Make();
    std::string ru, en, ok;
    ASSERT_TRUE(mb::LoadText(10000, 1049, ru));
    ASSERT_TRUE(mb::LoadText(4062, 1033, ok));
    EXPECT_EQ(d.DefineErrorText(1, 1049), ru);
    EXPECT_EQ(d.DefineErrorText(1, 1033), "");
    EXPECT_EQ(d.DefineErrorText(0x10000, 1033), ok) << "the low 16 bits select";
    std::string unknown;
    ASSERT_TRUE(mb::LoadText(4064, 1033, unknown));
    EXPECT_EQ(d.DefineErrorText(2, 1033), unknown);
}

TEST_F(FQ5Test, DetectionRowMakesPost) {
    port_->shift = 10;
    const mb::DeviceModel* row = nullptr;
    for (const auto& m : mb::DeviceModels())
        if (m.protocol == mb::kProtocolModbus && m.type_code == 0x30) row = &m;
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->type_name, "FQ5");
    mb::DetectedDevice found{kAddress, {0x30FF, 0x0002, 0x0010}};
    device_ = row->make(port_.get(), found);
    ASSERT_NE(device_, nullptr);
    EXPECT_EQ(device_->Name(), "Post15");
    EXPECT_EQ(device_->TypeName(), "FQ5");
    EXPECT_EQ(device_->id_word2, 0x0010);
}

}  // namespace
