// The DA 1.0 stream blocks, byte for byte.
#include "service/host/Da1Stream.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "platform/com/clipboard.h"
#include "tests/support/TempRoot.h"

namespace {

using opc::Da1Item;

// "0A ff 10" → bytes; blanks and line breaks are for the reader.
std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> b;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return b;
}

std::vector<Da1Item> FiveItems() {
    std::vector<Da1Item> items(5);
    items[0] = {1, 0xC0, {0x10, 0x01D90000}, plat::Variant::I4(-2)};
    items[1] = {2, 0xC0, {0x11, 0x01D90000}, plat::Variant::R8(1.5)};
    items[2] = {3, 0x1C, {0x12, 0x01D90000}, plat::Variant::Bool(true)};
    items[3] = {4, 0xC0, {0x13, 0x01D90000}, plat::Variant::Cy({12345})};
    items[4] = {5, 0xC0, {0x14, 0x01D90000}, plat::Variant::Str(u"Ab")};
    return items;
}

const opc::Da1GroupHeader kGroup{0x11, 0x22, plat::S_FALSE};

// The values of FiveItems as they follow the item headers.
const char* const kValues =
    "0300 0000 0000 0000  FEFF FFFF 0000 0000"  // I4 -2
    "0500 0000 0000 0000  0000 0000 0000 F83F"  // R8 1.5
    "0B00 0000 0000 0000  FFFF 0000 0000 0000"  // BOOL true
    "0600 0000 0000 0000  3930 0000 0000 0000"  // CY 1.2345
    "0800 0000 0000 0000  0000 0000 0000 0000"  // BSTR, its pointer slot empty
    "0400 0000  4100 6200  0000";               // 4 bytes "Ab", NUL

TEST(Da1Stream, DataBlockGolden) {
    auto items = FiveItems();
    auto block = opc::BuildDa1DataBlock(false, kGroup, items);
    ASSERT_TRUE(block);
    const auto want = Hex(std::string("AA00 0000  0500 0000  1100 0000  2200 0000  0100 0000"
                                      "0100 0000  5000 0000  C000 0000"
                                      "0200 0000  6000 0000  C000 0000"
                                      "0300 0000  7000 0000  1C00 0000"
                                      "0400 0000  8000 0000  C000 0000"
                                      "0500 0000  9000 0000  C000 0000") +
                          kValues);
    ASSERT_EQ(want.size(), 170u);
    EXPECT_EQ(*block, want);
}

TEST(Da1Stream, DataTimeBlockGolden) {
    auto items = FiveItems();
    auto block = opc::BuildDa1DataBlock(true, kGroup, items);
    ASSERT_TRUE(block);
    const auto want = Hex(std::string("D200 0000  0500 0000  1100 0000  2200 0000  0100 0000"
                                      "0100 0000  7800 0000  C000 0000  1000 0000 0000 D901"
                                      "0200 0000  8800 0000  C000 0000  1100 0000 0000 D901"
                                      "0300 0000  9800 0000  1C00 0000  1200 0000 0000 D901"
                                      "0400 0000  A800 0000  C000 0000  1300 0000 0000 D901"
                                      "0500 0000  B800 0000  C000 0000  1400 0000 0000 D901") +
                          kValues);
    ASSERT_EQ(want.size(), 210u);
    EXPECT_EQ(*block, want);
}

TEST(Da1Stream, WriteCompleteBlockGolden) {
    const opc::Da1WriteResult results[] = {{1, plat::S_OK},
                                           {2, static_cast<plat::HRESULT>(0xC0040006)}};
    EXPECT_EQ(opc::BuildDa1WriteCompleteBlock(kGroup, results),
              Hex("0200 0000  1100 0000  2200 0000  0100 0000"
                  "0100 0000  0000 0000"
                  "0200 0000  0600 04C0"));
    EXPECT_EQ(opc::BuildDa1WriteCompleteBlock(kGroup, {}),
              Hex("0000 0000  1100 0000  2200 0000  0100 0000"));
}

// A long text value (a station's whole parameter list) lies inside the block, and the item
// after it starts past its end.
TEST(Da1Stream, LongStringsAreInsideTheBlock) {
    std::vector<Da1Item> items(3);
    std::u16string text(3000, u'\u0416');
    items[0] = {7, 0xC0, {}, plat::Variant::Str(text)};
    items[1] = {8, 0xC0, {}, plat::Variant::Str(u"")};
    items[2] = {9, 0xC0, {}, plat::Variant::I2(-1)};
    for (bool with_time : {false, true}) {
        auto block = opc::BuildDa1DataBlock(with_time, kGroup, items);
        ASSERT_TRUE(block);
        const auto& b = *block;
        auto u32 = [&](size_t at) {
            return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                   uint32_t(b[at + 3]) << 24;
        };
        const size_t header = with_time ? 20 : 12;
        ASSERT_EQ(u32(0), b.size());
        ASSERT_EQ(b.size(), 20 + 3 * (header + 16) + (4 + 6000 + 2) + (4 + 0 + 2));
        const size_t v0 = u32(20 + 4), v1 = u32(20 + header + 4), v2 = u32(20 + 2 * header + 4);
        EXPECT_EQ(v0, 20 + 3 * header);
        EXPECT_EQ(u32(v0 + 16), 6000u);
        EXPECT_EQ(b[v0 + 20], 0x16);
        EXPECT_EQ(b[v0 + 21], 0x04);
        EXPECT_EQ(b[v0 + 20 + 5998], 0x16);
        EXPECT_EQ(b[v0 + 20 + 6000], 0);  // the NUL
        EXPECT_EQ(v1, v0 + 16 + 4 + 6000 + 2);
        EXPECT_EQ(u32(v1 + 16), 0u);
        EXPECT_EQ(v2, v1 + 16 + 4 + 2);
        EXPECT_EQ(b[v2], plat::VT_I2);
        EXPECT_EQ(b[v2 + 8], 0xFF);
        EXPECT_EQ(b[v2 + 9], 0xFF);
        EXPECT_EQ(v2 + 16, b.size());
    }
}

TEST(Da1Stream, KeepAliveBlockIsTheGroupHeaderAlone) {
    auto block = opc::BuildDa1DataBlock(true, {3, 0, plat::S_OK}, {});
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, Hex("1400 0000  0000 0000  0300 0000  0000 0000  0000 0000"));
}

TEST(Da1Stream, TheThreeFormatsAreRegisteredByName) {
    testsupport::TempRoot root;
    const auto f = opc::RegisterDa1Formats();
    EXPECT_GE(f.data, plat::kFirstRegisteredFormat);
    EXPECT_EQ(plat::FindClipboardFormat(u"OPCSTMFORMATDATA"), f.data);
    EXPECT_EQ(plat::FindClipboardFormat(u"OPCSTMFORMATDATATIME"), f.data_time);
    EXPECT_EQ(plat::FindClipboardFormat(u"OPCSTMFORMATWRITECOMPLETE"), f.write_complete);
    EXPECT_NE(f.data, f.data_time);
    EXPECT_NE(f.data_time, f.write_complete);
    EXPECT_EQ(opc::RegisterDa1Formats().data, f.data);
}

}  // namespace
