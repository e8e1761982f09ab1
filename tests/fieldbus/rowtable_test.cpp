// The display board: its text item, the framed and unframed text writes against simulated boards,
// and the link watch of its scan step.
#include <gtest/gtest.h>

#include "fieldbus/core/Convel.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/Variable.h"
#include "fieldbus/devices/RowTable.h"
#include "platform/time/clock.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"

using namespace fbtest;

namespace {

// What the host's tree saw: branches made, items destroyed.
struct Tree {
    std::vector<std::string> branches;
    std::vector<int32_t> destroyed;
    static Tree*& Current() {
        static Tree* t = nullptr;
        return t;
    }
};

class BoardPort : public FakePort {
  public:
    using FakePort::FakePort;
    mb::CLocalConvel* PortConvel() override { return convel; }
    int NameShift() const override { return 0; }
    mb::CLocalConvel* convel = nullptr;
};

class RowTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tree::Current() = &tree_;
        host_.host.pParentCreate = [](const char16_t* name, int32_t) -> int32_t {
            Tree::Current()->branches.push_back(plat::WideToUtf8(name));
            return 50;
        };
        host_.host.pItemDestroy = [](int32_t h) { Tree::Current()->destroyed.push_back(h); };
        host_.item_find = [](const plat::WideString& name, int16_t& flag, int32_t&) -> int32_t {
            flag = 0;
            // The branch exists once made.
            for (const auto& b : Tree::Current()->branches)
                if (plat::Utf8ToWide(b) == name) return 50;
            return -1;
        };
        host_.item_create = [](mb::IModbusItem*, const plat::WideString&, plat::VARTYPE, uint8_t,
                               int32_t, const char*, int32_t& h) { return h = 77; };
        ASSERT_EQ(convel_.Open(kCom, 9600, 0), 0);
        port_.convel = &convel_;
        bus_.AddBoard(2);
        board_ = std::make_unique<mb::CRowTable>(&port_, 2, "RowRun2");
    }
    void TearDown() override {
        board_.reset();
        Tree::Current() = nullptr;
    }
    mb::CVariable* Text() { return dynamic_cast<mb::CVariable*>(board_->GetSlot(0).variable); }
    // Queues a write as a client does and runs it as the bus thread does; the result.
    int32_t Write(const std::u16string& text) {
        const int32_t id = Text()->Write(plat::Variant::Str(text));
        EXPECT_GT(id, 0);
        board_->ExecuteNextWrite();
        auto results = host_.Results();
        return results.empty() || results.back().first != id ? -12345 : results.back().second;
    }
    std::u16string Value() {
        plat::Variant v = Text()->Value();
        return v.vt == plat::VT_BSTR ? v.bstrVal : u"<none>";
    }

    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{kCom};
    boardsim::BoardBus bus_{pty_.FarFd()};
    MemoryLog log_;
    RecordingHost host_;
    Tree tree_;
    BoardPort port_{&log_, &host_};
    mb::CLocalConvel convel_{&log_};
    std::unique_ptr<mb::CRowTable> board_;
};

TEST_F(RowTableTest, ItemInItsBranchAndGoneWithTheBoard) {
    ASSERT_EQ(tree_.branches, std::vector<std::string>{"RowRun2"});
    ASSERT_NE(Text(), nullptr);
    EXPECT_EQ(Text()->ItemName(), "String");
    EXPECT_FALSE(Text()->IsReadOnly());
    board_.reset();
    EXPECT_EQ(tree_.destroyed, (std::vector<int32_t>{77, 50}));

    // The detection table's row makes the same board.
    const mb::DeviceModel* row = nullptr;
    for (const auto& m : mb::DeviceModels())
        if (m.protocol == mb::kProtocolBoardBus) row = &m;
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->type_name, "ROWTABLE");
    auto made = row->make(&port_, {.address = 5});
    EXPECT_EQ(made->Name(), "RowRun5");
    EXPECT_EQ(made->TypeName(), "ROWTABLE");
}

TEST_F(RowTableTest, PrefixAndSuffixFromSeventeenCharacters) {
    const std::u16string s16 = u"0123456789abcdef";
    EXPECT_EQ(Write(s16), 0);
    EXPECT_EQ(bus_.Text(2), "0123456789abcdef\x1A");
    EXPECT_EQ(Value(), s16);
    EXPECT_EQ(Text()->Quality(), mb::kQualityGood);

    EXPECT_EQ(Write(s16 + u"g"), 0);
    EXPECT_EQ(bus_.Text(2),
              "\x1B\x52\x05"
              "0123456789abcdefg"
              "\x1B\x50\x02\x1A");
    ASSERT_FALSE(bus_.Frames().empty());
    EXPECT_EQ(bus_.Frames().back().command, 0x12);
}

TEST_F(RowTableTest, CyrillicTextGoesOutInOneFrameInCp866) {
    // Twenty characters; the CP866 bytes are spelt out independently of the library.
    const std::u16string text = u"Привет, мир! Ёё Щя ";
    ASSERT_EQ(text.size(), 19u);
    const std::u16string twenty = text + u"Ж";
    const std::string oem = "\x8F\xE0\xA8\xA2\xA5\xE2, \xAC\xA8\xE0! \xF0\xF1 \x99\xEF \x86";
    bus_.Clear();
    EXPECT_EQ(Write(twenty), 0);
    ASSERT_EQ(bus_.Frames().size(), 1u);
    EXPECT_EQ(Hex(bus_.Frames()[0].data), Hex("\x1B\x52\x05" + oem + "\x1B\x50\x02\x1A"));
    EXPECT_EQ(Value(), twenty);
}

TEST_F(RowTableTest, RefusedTextsSendNothingAndKeepTheValue) {
    ASSERT_EQ(Write(u"kept"), 0);
    bus_.Clear();
    EXPECT_EQ(Write(std::u16string(171, u'x')), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(u"cut\x1Ahere"), plat::E_INVALIDARG) << "0x1A would end the text early";
    EXPECT_TRUE(bus_.Raw().empty());
    EXPECT_EQ(Value(), u"kept");
    EXPECT_EQ(Write(std::u16string(170, u'x')), 0);
}

TEST_F(RowTableTest, AFailedWriteKeepsTheValue) {
    ASSERT_EQ(Write(u"kept"), 0);
    boardsim::BoardScript silent;
    silent.silent = true;
    bus_.SetScript(2, silent);
    EXPECT_EQ(Write(u"lost"), mb::convel::kFailed);
    EXPECT_EQ(Value(), u"kept");
}

TEST_F(RowTableTest, UnframedBlock) {
    convel_.SetFramedMode(false);
    EXPECT_EQ(Write(u"hello"), 0);
    const std::string block = bus_.Unframed();
    ASSERT_EQ(block.size(), 255u);
    EXPECT_EQ(block.substr(0, 6), "\x01hello");
    EXPECT_EQ(block.substr(6), std::string(249, '\x1A'));
    EXPECT_EQ(Value(), u"hello");
    EXPECT_EQ(Write(std::u16string(251, u'x')), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(std::u16string(250, u'x')), 0);
}

TEST_F(RowTableTest, ScanWatchesTheLinkOncePerSecond) {
    plat::ScopedFakeClock clock;
    board_ = std::make_unique<mb::CRowTable>(&port_, 2, "RowRun2");  // on the fake clock
    auto absent = std::make_unique<mb::CRowTable>(&port_, 3, "RowRun3");
    EXPECT_EQ(absent->Scan(), 1);
    EXPECT_EQ(absent->GetErrorCount(), 1);
    EXPECT_EQ(absent->Scan(), 1) << "not yet due: no link check";
    EXPECT_EQ(absent->GetErrorCount(), 1);
    clock->Advance(1000);
    absent->Scan();
    EXPECT_EQ(absent->GetErrorCount(), 2);

    boardsim::BoardScript crc;
    crc.bad_crc = true;
    bus_.SetScript(2, crc);
    board_->Scan();
    EXPECT_EQ(board_->GetCrcErrorCount(), 1);
    EXPECT_EQ(board_->GetErrorCount(), 0);
    bus_.SetScript(2, {});
    clock->Advance(1000);
    board_->SetErrorCount(5);
    board_->Scan();
    EXPECT_EQ(board_->GetErrorCount(), 0) << "an answered link check clears the count";
}

TEST(BoardText, AnyUtf16) {
    std::vector<uint8_t> out;
    EXPECT_EQ(mb::ToCp866(u"A\xD800Z\xD83D\xDE00!\xDC00"), "A?Z?!?");
    EXPECT_EQ(mb::ToCp866(u"░▒▓│█■\u00A0№"), "\xB0\xB1\xB2\xB3\xDB\xFE\xFF\xFC");
    EXPECT_EQ(mb::BoardTextBytes(u"", true, out), 0);
    EXPECT_EQ(out, std::vector<uint8_t>{0x1A});
}

}  // namespace
