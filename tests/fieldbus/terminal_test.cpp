// The scan terminal against a libmodbus slave that also answers the status byte: restarts,
// keys and key buffers, card requests and card data, display writes and the item names.
#include <gtest/gtest.h>

#include "fieldbus/devices/FQ5.h"
#include "fieldbus/devices/Terminal.h"
#include "tests/fieldbus/ModelHostKit.h"

using namespace fbtest;
using plat::Variant;
using T = mb::CTerminal;

namespace {

class TerminalTest : public ModelTest {
  protected:
    T& Make(uint16_t type = 9) {
        auto d = std::make_unique<T>(port_.get(), kAddress, "Terminal5", type);
        term_ = d.get();
        device_ = std::move(d);
        return *term_;
    }
    mb::CVariable* Item(size_t slot) { return V(term_->Slot(slot)); }
    int32_t Write(size_t slot, Variant v) {
        const int32_t id = ++ids_;
        term_->WriteItem(Item(slot), v, id);
        return ResultOf(id);
    }
    // Writes of register 255 the peer saw, as the words written.
    std::vector<uint16_t> ControlWrites() {
        std::vector<uint16_t> out;
        for (const auto& r : peer_->Seen())
            if (r.function == 0x10 && r.start == 255 && !r.words.empty()) out.push_back(r.words[0]);
        return out;
    }
    void PutText(int reg, const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); i += 2) {
            const uint16_t hi = static_cast<uint8_t>(bytes[i]);
            const uint16_t lo = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
            peer_->SetRegister(reg + static_cast<int>(i / 2), static_cast<uint16_t>(hi << 8 | lo));
        }
    }
    T* term_ = nullptr;
    int32_t ids_ = 900;
};

TEST_F(TerminalTest, EveryItemHasItsOwnName) {
    auto& d = Make();
    ASSERT_TRUE(d.Created());
    EXPECT_EQ(tree_.items.size(), T::kSlots);
    for (const auto& name : tree_.items) EXPECT_EQ(tree_.items.count(name), 1u) << name;
    EXPECT_EQ(tree_.items.count("Terminal5.Display.String1"), 1u);
    EXPECT_EQ(tree_.items.count("Terminal5.MemoDisplay.String1"), 1u);
}

TEST_F(TerminalTest, RestartIsAcknowledgedOnceAndReinitialises) {
    peer_->SetRegister(255, 0x0400);
    auto& d = Make(8);
    d.Scan();
    ASSERT_FALSE(d.NeedsReinit());
    EXPECT_EQ(peer_->CountSeen(0x03, 254), 1u) << "type 8 reads its outputs";
    EXPECT_EQ(peer_->CountSeen(0x03, 264), 1u);
    peer_->ClearSeen();

    peer_->SetStatus(0x84);
    d.Scan();
    EXPECT_TRUE(d.NeedsReinit());
    ASSERT_EQ(ControlWrites().size(), 1u);
    EXPECT_EQ(ControlWrites()[0] & 0x8000, 0);
    EXPECT_EQ(peer_->CountSeen(0x03), 0u) << "the step ends after the acknowledgement";

    peer_->SetStatus(0x04);
    d.Scan();
    EXPECT_FALSE(d.NeedsReinit());
    EXPECT_EQ(peer_->CountSeen(0x03, 255), 1u) << "initialisation reads the control word";
    EXPECT_EQ(ControlWrites().size(), 1u);
    EXPECT_EQ(Item(T::kCardRequest)->Value(), Variant::Bool(true));
}

TEST_F(TerminalTest, KeysAndKeyBuffers) {
    auto& d = Make();
    d.Scan();
    // Key '1' waiting, character input off: the key buffer 2 holds "HELLO".
    peer_->SetRegister(255, 0x0231);
    peer_->SetRegister(256, 0x0205);
    PutText(257, "HELLO");
    peer_->SetStatus(0x02);
    peer_->ClearSeen();
    d.Scan();
    EXPECT_EQ(Item(T::kLastKey)->Value(), Variant::Str("1"));
    EXPECT_EQ(Item(T::kLastKey)->Quality(), mb::kQualityGood);
    EXPECT_EQ(Item(T::kBufferKey1 + 2)->Value(), Variant::Str("HELLO"));
    ASSERT_EQ(ControlWrites().size(), 1u);
    EXPECT_EQ(ControlWrites()[0], 0x0031) << "bit 9 cleared";

    // A key byte that is no character: the item says so instead of showing the old key.
    peer_->SetRegister(255, 0x02B1);
    peer_->SetRegister(256, 0x0A05);  // buffer number 10: nothing more is read
    peer_->ClearSeen();
    d.Scan();
    EXPECT_EQ(Item(T::kLastKey)->Quality(), mb::kQualityBad);
    EXPECT_EQ(ControlWrites().size(), 1u);
    EXPECT_EQ(peer_->CountSeen(0x03, 257), 0u);
    peer_->SetStatus(0x00);
    d.Scan();
    EXPECT_EQ(Item(T::kLastKey)->Quality(), mb::kQualityBad) << "the old key does not come back";
    peer_->SetStatus(0x02);

    // A full buffer of 255 characters needs more registers than one answer carries.
    std::string text;
    for (int i = 0; i < 255; ++i) text += static_cast<char>('a' + i % 26);
    PutText(257, text);
    peer_->SetRegister(255, 0x0232);
    peer_->SetRegister(256, 0x00FF);
    d.Scan();
    EXPECT_EQ(Item(T::kBufferKey1)->Value(), Variant::Str(text));
    EXPECT_EQ(Item(T::kBufferKey1)->Quality(), mb::kQualityGood);
    EXPECT_EQ(Item(T::kLastKey)->Value(), Variant::Str("2"));

    // Character input on: no buffer read.
    peer_->SetStatus(0x0A);
    peer_->ClearSeen();
    d.Scan();
    EXPECT_EQ(peer_->CountSeen(0x03, 256), 0u);
    EXPECT_EQ(Item(T::kCharInput)->Value(), Variant::Bool(true));
}

TEST_F(TerminalTest, CardDataFollowsTheCardRequest) {
    peer_->SetRegister(255, 0x0400);  // a card request is up: nothing to read yet
    peer_->SetStatus(0x04);
    auto& d = Make();
    d.Scan();
    d.Scan();
    EXPECT_EQ(d.GetState(), mb::kStateProbed);
    EXPECT_EQ(peer_->CountSeen(0x03, T::kRegField1), 0u);

    // Field1: 20 characters in two blocks; Field2 empty; Field3 too long. Key type B1.
    d.SetKeyType("B1");
    const int base = 0x600;
    const std::string name = "Иванов П.С., 7";  // 22 bytes: two blocks
    std::string f1 = static_cast<char>(name.size()) + name;
    f1.resize(32, '\0');
    PutText(base + T::kRegField1, f1);
    PutText(base + T::kRegField1 + T::kCardItemRegs, std::string(16, '\0'));
    PutText(base + T::kRegField1 + 2 * T::kCardItemRegs, std::string(1, 48) + std::string(15, 'x'));
    peer_->SetStatus(0x00);  // the request falls: fields 1 to 15 are read, one a step
    peer_->ClearSeen();
    for (int i = 0; i < 16; ++i) d.Scan();
    EXPECT_EQ(d.GetState(), mb::kStateGood);
    EXPECT_EQ(Item(T::kField1)->Value(), Variant::Str("Иванов П.С., 7"));
    EXPECT_EQ(Item(T::kField1)->Quality(), mb::kQualityGood);
    EXPECT_EQ(Item(T::kField1 + 1)->Value(), Variant::Str(" "));
    EXPECT_EQ(Item(T::kField1 + 2)->Quality(), mb::kQualityBad);
    EXPECT_EQ(peer_->CountSeen(0x03, base + T::kRegField1 + 8), 1u);
    EXPECT_EQ(peer_->CountSeen(0x03, base + T::kRegField1 + 16), 0u);
    EXPECT_EQ(peer_->CountSeen(0x03, base + T::kRegField1 + 2 * T::kCardItemRegs + 8), 0u)
        << "a length of 48 reads nothing further";
    EXPECT_EQ(peer_->CountSeen(0x03, T::kRegField1), 0u) << "the selector's offset is added";
    EXPECT_EQ(d.KeyTypeCode(), 0x600);

    // A new card request makes the fields uncertain-stale.
    peer_->SetStatus(0x04);
    d.Scan();
    EXPECT_EQ(Item(T::kField1)->Quality(), 20);
    EXPECT_EQ(d.GetState(), mb::kStateFound);
}

TEST_F(TerminalTest, DisplayWrites) {
    auto& d = Make();
    d.Scan();
    // 0x55, 21 characters: register 0x0102 from characters 2 and 4, 18 characters shown.
    plat::WideString line = u"\u0055A\u0001B\u0002" + plat::WideString(u"0123456789abcdef");
    ASSERT_EQ(line.size(), 21u);
    EXPECT_EQ(Write(T::kLine1, Variant::Str(line)), 0);
    EXPECT_EQ(peer_->Register(0x102), uint16_t('A' << 8 | 'B'));
    EXPECT_EQ(peer_->Register(0x103), uint16_t('0' << 8 | '1'));
    EXPECT_EQ(peer_->Register(0x10A), uint16_t('e' << 8 | 'f'));
    EXPECT_EQ(Item(T::kLine1)->Value(), Variant::Str(line));

    // 0xAA is one character of the text (two bytes in UTF-8): 19 characters, 8 registers.
    plat::WideString short_line = u"\u00AAC\u0001D\u0040" + plat::WideString(u"ABCDEFGHIJKLMN");
    ASSERT_EQ(short_line.size(), 19u);
    peer_->ClearSeen();
    EXPECT_EQ(Write(T::kLine1 + 1, Variant::Str(short_line)), 0);
    ASSERT_EQ(peer_->Seen().size(), 1u);
    EXPECT_EQ(peer_->Seen()[0].start, 0x140);
    EXPECT_EQ(peer_->Seen()[0].count, 8);

    peer_->ClearSeen();
    EXPECT_EQ(Write(T::kLine1, Variant::Str(line.substr(0, 20))), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(T::kLine1, Variant::Str(short_line + u"x")), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(T::kLine1, Variant::Str(u"X" + line.substr(1))), plat::E_INVALIDARG);
    EXPECT_EQ(Write(T::kLine1, Variant::Str(u"")), plat::E_INVALIDARG);
    EXPECT_TRUE(peer_->Seen().empty());
    EXPECT_EQ(dlog_.Count("{C0183F8D-016D-44a3-BF1D-D8CAEF4F343A}"), 2u);

    peer_->Silence(0x102);
    const int errors = d.GetErrorCount();
    EXPECT_EQ(Write(T::kLine1, Variant::Str(line)), plat::E_FAIL);
    EXPECT_EQ(d.GetErrorCount(), errors + 1) << "a dead line counts";
}

TEST_F(TerminalTest, OtherWrites) {
    peer_->SetRegister(255, 0x0005);
    auto& d = Make(8);
    d.Scan();
    EXPECT_EQ(Write(T::kCardRequest, Variant::Bool(true)), 0);
    EXPECT_EQ(peer_->Register(255), 0x0405);
    EXPECT_EQ(Write(T::kOut1 + 2, Variant::Bool(true)), 0);
    EXPECT_EQ(peer_->Register(254), 0x0004);
    EXPECT_EQ(Write(T::kBrightness, Variant::I4(2)), 0);
    EXPECT_EQ(peer_->Register(44), 2);
    EXPECT_EQ(peer_->Register(45), 0) << "brightness and cursor are one register each";
    EXPECT_EQ(Write(T::kMemoIndex, Variant::I4(3)), 0);
    EXPECT_EQ(Write(T::kMemoLine, Variant::Str("Hi")), 0);
    EXPECT_EQ(peer_->Register(T::kRegMemo + 3 * T::kMemoLineRegs), uint16_t('H' << 8 | 'i'));
    EXPECT_EQ(Write(T::kLastKey, Variant::Str("x")), plat::OPC_E_BADRIGHTS);
}

TEST_F(TerminalTest, ItemsWithoutARegisterAnswerADeviceRead) {
    // A device read (SetUpdateRequest) waits for the item's next sample or stamp.
    auto read = [](mb::CDevice& d, mb::CVariable* v) {
        uint64_t asked = mb::kit::Now();
        while (asked <= v->Time()) asked = mb::kit::Now();
        v->SetUpdateRequest(1);
        d.Scan();
        return v->Time() >= asked;
    };
    auto& d = Make();
    d.Scan();
    EXPECT_EQ(Write(T::kLine1 + 4, Variant::Str(u"\u00AAC\u0001D\u0040ABCDEFGHIJKLMN")), 0);
    for (size_t slot : {T::kLine1 + 4, T::kLine1 + 19, T::kMemoLine, T::kMemoIndex, T::kBufferKey1,
                        T::kBufferKey1 + 9, T::kAddress})
        EXPECT_TRUE(read(d, Item(slot))) << Item(slot)->ItemName();
    EXPECT_EQ(Item(T::kAddress)->Value(), Variant::I4(kAddress));
    EXPECT_EQ(Item(T::kLine1 + 4)->Value().bstrVal.size(), 19u) << "the value stays";

    // The flow sensor's version texts come from identification.
    device_.reset();
    auto fq5 = std::make_unique<mb::CFQ5Device>(port_.get(), kAddress, "Post5");
    fq5->id_word1 = 0x01;
    fq5->id_word2 = 0x0203;
    fq5->Scan();
    for (size_t slot : {10u, 13u}) {
        mb::CVariable* v = V(fq5->Slot(slot));
        EXPECT_TRUE(read(*fq5, v)) << v->ItemName();
    }
    EXPECT_EQ(V(fq5->Slot(13))->Value(), Variant::Str("01.0203"));
    device_ = std::move(fq5);
}

}  // namespace
