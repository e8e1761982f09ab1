#include "fieldbus/core/StringTable.h"

#include <array>

#include "platform/com/callcontext.h"

namespace mb {

namespace {

struct Block {
    uint16_t number;                    // id / 16 + 1
    std::array<const char*, 16> texts;  // by id % 16; nullptr: no text
};

// decisions FB-55
#include "fieldbus/core/StringTableData.inc"

struct Language {
    plat::LCID lang;
    const Block* begin;
    const Block* end;
};

constexpr Language kLanguages[] = {
    {plat::LOCALE_EN_US, std::begin(kEnglish), std::end(kEnglish)},
    {plat::LOCALE_RU_RU, std::begin(kRussian), std::end(kRussian)},
};

const Language* FindLanguage(plat::LCID lang) {
    for (const Language& l : kLanguages)
        if (l.lang == lang) return &l;
    return nullptr;
}

}  // namespace

bool LoadText(uint32_t id, plat::LCID lang, std::string& text) {
    // Ids are 16-bit: a larger one must not wrap onto another text.
    if (id > 0xFFFF) return false;
    const Language* l = FindLanguage(lang);
    if (!l) return false;
    const uint32_t number = id / 16 + 1;
    for (const Block* b = l->begin; b != l->end; ++b) {
        if (b->number != number) continue;
        const char* s = b->texts[id % 16];
        if (!s) return false;
        text = s;
        return true;
    }
    return false;
}

bool LoadText(uint32_t id, std::string& text) {
    return LoadText(id, plat::ProcessLocale(), text);
}

size_t TextCount(plat::LCID lang) {
    const Language* l = FindLanguage(lang);
    if (!l) return 0;
    size_t n = 0;
    for (const Block* b = l->begin; b != l->end; ++b)
        for (const char* s : b->texts) n += s != nullptr;
    return n;
}

// decisions FB-58
std::string SubstituteNumber(std::string_view text, int64_t number) {
    std::string out(text);
    const size_t at = out.find("%d");
    if (at != std::string::npos) out.replace(at, 2, std::to_string(number));
    return out;
}

// decisions FB-59
uint32_t DensityErrorTextId(uint32_t error) {
    switch (error & 0xFF) {
        case 0:
            return 4062;
        case 1:
            return 4105;
        case 2:
            return 4106;
        case 4:
            return 4107;
        case 8:
        case 128:
            return 4104;
        case 16:
            return 4101;
        case 32:
            return 4102;
        case 64:
            return 4103;
        default:
            return 4064;
    }
}

}  // namespace mb
