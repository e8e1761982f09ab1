// libFuzzer target: any UTF-16 (lone surrogates included) as a display-board text, in both
// forms. Nothing may crash; the bytes keep their layout and 0x1A only ends the text.
//
// Input: pairs of bytes as UTF-16 code units, little-endian.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fieldbus/devices/RowTable.h"
#include "platform/types/hresult.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    const bool has_end = text.find(u'\x1A') != std::u16string::npos;

    const std::string oem = mb::ToCp866(text);
    Check(oem.size() <= text.size());

    std::vector<uint8_t> out;
    int rc = mb::BoardTextBytes(text, true, out);
    if (text.size() > 170) {
        Check(rc == plat::OPC_E_RANGE && out.empty());
    } else if (has_end) {
        Check(rc == plat::E_INVALIDARG && out.empty());
    } else {
        Check(rc == 0);
        const size_t frame = text.size() > 16 ? 6 : 0;
        Check(out.size() == oem.size() + frame + 1 && out.back() == 0x1A);
        for (size_t i = 0; i + 1 < out.size(); ++i) Check(out[i] != 0x1A);
    }

    rc = mb::BoardTextBytes(text, false, out);
    if (text.size() > 250) {
        Check(rc == plat::OPC_E_RANGE);
    } else if (!has_end) {
        Check(rc == 0 && out.size() == 255 && out[0] == 1);
        for (size_t i = 1 + oem.size(); i < out.size(); ++i) Check(out[i] == 0x1A);
    }
    return 0;
}
