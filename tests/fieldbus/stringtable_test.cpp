// The library's string table: texts byte for byte as stored (odd ones too), exact-language
// lookup without fallback, the locale default, the protocol-error number and the density
// meter's error-text choice.
#include <gtest/gtest.h>

#include <string>

#include "fieldbus/core/StringTable.h"
#include "platform/com/callcontext.h"

namespace {

constexpr plat::LCID kEn = 1033;
constexpr plat::LCID kRu = 1049;

std::string Text(uint32_t id, plat::LCID lang) {
    std::string s;
    EXPECT_TRUE(mb::LoadText(id, lang, s)) << id << " in " << lang;
    return s;
}

TEST(StringTable, OddTextsAreKeptByteForByte) {
    // Non-ASCII bytes are spelled out so that a look-alike character cannot pass.
    EXPECT_EQ(Text(4000, kEn), "????????? ?????? ??? ???????");
    EXPECT_EQ(Text(4026, kEn), "degree \xD0\xA1");  // Cyrillic Es, not Latin C
    EXPECT_EQ(Text(4026, kRu), "\xD0\xB3\xD1\x80\xD0\xB0\xD0\xB4\xD1\x83\xD1\x81 \xD0\xA1");
    EXPECT_EQ(Text(4062, kRu), "OK");  // Latin letters
    EXPECT_EQ(Text(4062, kEn), "OK");
    // Latin "o" in front of the Cyrillic words.
    EXPECT_EQ(Text(4096, kRu),
              "o"
              "шибка передачи пакета запроса");
    EXPECT_EQ(Text(4097, kRu),
              "o"
              "тсутствует ответ на запрос");
    EXPECT_EQ(Text(4098, kRu),
              "o"
              "шибка анализа принятых данных");
    EXPECT_EQ(Text(4099, kRu),
              "o"
              "шибка протокола Modbus %d");
    // En dash, U+2013, in both tables.
    for (plat::LCID lang : {kEn, kRu}) {
        EXPECT_EQ(Text(4131, lang), "геркон неисправен \xE2\x80\x93 замыкание геркона");
        EXPECT_EQ(Text(4132, lang), "геркон неисправен \xE2\x80\x93 обрыв геркона");
    }
    // Double and trailing blanks.
    EXPECT_EQ(Text(4010, kEn), "Volume  summutor");
    EXPECT_EQ(Text(4063, kEn), "Error of the reading the register error ");
    EXPECT_EQ(Text(4048, kRu), "Индекс  строки для вывода на индикатор");
    EXPECT_EQ(Text(4081, kRu), "Ошибка записи требуемого расхода в плату управления клапаном ");
    EXPECT_EQ(Text(4086, kRu), "Перегрузка силовых выходов ");
    EXPECT_EQ(Text(4063, kRu), "Ошибка чтения регистра ошибок");
    // The same id may differ in meaning between the languages.
    EXPECT_EQ(Text(4018, kEn), "Address device on protocol Modbus");
    EXPECT_EQ(Text(4018, kRu), "Адрес Modbus ЩМУ");
}

TEST(StringTable, EnglishHoldsRussianForExactlyThirteenIds) {
    const uint32_t russian[] = {4109, 4110, 4118, 4119, 4120, 4127, 4128,
                                4129, 4130, 4131, 4132, 4133, 4134};
    for (uint32_t id : russian) EXPECT_EQ(Text(id, kEn), Text(id, kRu)) << id;
    // Every other English text is plain ASCII, but for the Cyrillic letter of 4026.
    int non_ascii = 0;
    for (uint32_t id = 4000; id <= 4134; ++id) {
        std::string s;
        if (!mb::LoadText(id, kEn, s)) continue;
        for (unsigned char c : s)
            if (c >= 0x80) {
                ++non_ascii;
                break;
            }
    }
    EXPECT_EQ(non_ascii, 13 + 1);
}

TEST(StringTable, MissingTextFailsAndLeavesTheCallersText) {
    // English has no 4114 .. 4117 (their block exists) and no block for 10000.
    for (uint32_t id : {4114u, 4115u, 4116u, 4117u, 10000u}) {
        std::string s;
        EXPECT_FALSE(mb::LoadText(id, kEn, s)) << id;
        EXPECT_TRUE(s.empty()) << id;
    }
    EXPECT_EQ(Text(4114, kRu), "Большая разность по массе соседних опросов расходомера");
    EXPECT_EQ(Text(4117, kRu), "Обратный счет объема в расходомере");
    EXPECT_EQ(Text(10000, kRu), "Не успевает обрабатывать входные импульсы");

    // Ids outside the table, a missing id in a present block and ids past 16 bits.
    std::string kept = "kept";
    for (uint32_t id : {0u, 3999u, 4135u, 4143u, 10001u, 65535u, 4001u + 0x10000u}) {
        EXPECT_FALSE(mb::LoadText(id, kRu, kept)) << id;
        EXPECT_EQ(kept, "kept") << id;
    }
}

TEST(StringTable, NoOtherLanguageAndNoFallback) {
    std::string s;
    for (plat::LCID lang : {0u, 1031u, 2057u, 0x10409u, 0x10419u}) {
        EXPECT_FALSE(mb::LoadText(4001, lang, s)) << lang;
        EXPECT_EQ(mb::TextCount(lang), 0u) << lang;
    }
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(mb::TextCount(kEn), 131u);  // 4000 .. 4134 without 4114 .. 4117
    EXPECT_EQ(mb::TextCount(kRu), 136u);  // 4000 .. 4134 and 10000
}

TEST(StringTable, DefaultLanguageIsTheProcessLocale) {
    std::string s;
    plat::SetProcessLocale(kRu);
    EXPECT_TRUE(mb::LoadText(4001, s));
    EXPECT_EQ(s, "Номер стороны");
    EXPECT_TRUE(mb::LoadText(10000, s));

    plat::SetProcessLocale(kEn);
    EXPECT_TRUE(mb::LoadText(4001, s));
    EXPECT_EQ(s, "Number sides");
    s.clear();
    EXPECT_FALSE(mb::LoadText(10000, s));
    EXPECT_TRUE(s.empty());

    plat::SetProcessLocale(1031);
    EXPECT_FALSE(mb::LoadText(4001, s));
    plat::SetProcessLocale(0);
}

TEST(StringTable, ProtocolErrorNumberIsSubstitutedNotFormatted) {
    EXPECT_EQ(mb::SubstituteNumber(Text(4099, kEn), 3), "Error of the protocol Modbus 3");
    EXPECT_EQ(mb::SubstituteNumber(Text(4099, kRu), 32770),
              "o"
              "шибка протокола Modbus 32770");
    EXPECT_EQ(mb::SubstituteNumber("%d", -5), "-5");
    // Only the first "%d"; anything else that looks like a format stays as it is.
    EXPECT_EQ(mb::SubstituteNumber("%s %d %d %n%%", 7), "%s 7 %d %n%%");
    EXPECT_EQ(mb::SubstituteNumber("no number", 7), "no number");
}

TEST(StringTable, DensityMeterErrorTextByLowByte) {
    struct Case {
        uint32_t error, id;
    } cases[] = {{0, 4062},     {1, 4105},     {2, 4106},      {4, 4107},     {8, 4104},
                 {128, 4104},   {16, 4101},    {32, 4102},     {64, 4103},    {3, 4064},
                 {255, 4064},   {0x100, 4062}, {0x8008, 4104}, {0x120, 4102}, {0xFFFFFF01, 4105},
                 {0x180, 4104}, {9, 4064}};
    for (const Case& c : cases) EXPECT_EQ(mb::DensityErrorTextId(c.error), c.id) << c.error;
    // Every chosen id has a text in both languages.
    for (uint32_t b = 0; b < 256; ++b)
        for (plat::LCID lang : {kEn, kRu}) {
            std::string s;
            EXPECT_TRUE(mb::LoadText(mb::DensityErrorTextId(b), lang, s)) << b;
        }
}

}  // namespace
