// libFuzzer target: a host write of an arbitrary VARIANT into a device variable, over every
// pair of raw and canonical types, with and without a range; what is queued is then written
// out through the device's register encoder with no line behind it.
//
// Input: byte 0 the raw type, byte 1 the canonical type (both indexes into the type list),
// byte 2 bit 0 a range, bit 1 the device offline; bytes 3-4 the value's VARTYPE (any number);
// bytes 5-12 its payload; the rest its text (UTF-16, little-endian pairs).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/Variable.h"

namespace {

const plat::VARTYPE kTypes[] = {plat::VT_EMPTY, plat::VT_NULL,  plat::VT_I2,   plat::VT_I4,
                                plat::VT_R4,    plat::VT_R8,    plat::VT_CY,   plat::VT_DATE,
                                plat::VT_BSTR,  plat::VT_ERROR, plat::VT_BOOL, plat::VT_VARIANT,
                                plat::VT_I1,    plat::VT_UI1,   plat::VT_UI2,  plat::VT_UI4,
                                plat::VT_I8,    plat::VT_UI8,   plat::VT_INT,  plat::VT_UINT};
constexpr size_t kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 13) return 0;
    mb::CDevice device(1);
    mb::ItemSlot slot;
    slot.name = "Fuzz";
    slot.access = 3;
    slot.raw_type = kTypes[data[0] % kTypeCount];
    slot.canonical_type = kTypes[data[1] % kTypeCount];
    if (data[2] & 1) {
        slot.minimum = -1000;
        slot.maximum = 1000;
    }
    if (data[2] & 2) device.SetState(mb::kStateOffline);
    auto* v = static_cast<mb::CVariable*>(device.MakeVariable(slot));

    plat::Variant value;
    std::memcpy(&value.vt, data + 3, 2);
    std::memcpy(&value.llVal, data + 5, 8);
    for (size_t i = 13; i + 1 < size; i += 2)
        value.bstrVal.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));

    const int32_t result = v->Write(value);
    (void)result;
    mb::CDeviceItem* item = nullptr;
    plat::Variant queued;
    int32_t id = 0;
    while (device.WriteQueue().Pop(item, queued, id))
        device.WriteVariant(item->ItemRegister(), queued);
    return 0;
}
