#include "service/host/Da1Stream.h"

#include <cstring>
#include <limits>

#include "platform/com/clipboard.h"

namespace opc {
namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
template <class F>
uint64_t Bits(F f) {
    static_assert(sizeof(F) <= 8);
    uint64_t u = 0;
    std::memcpy(&u, &f, sizeof f);
    return u;
}

// Bytes a value takes after its VARIANT.
size_t Tail(const plat::Variant& v) {
    return v.vt == plat::VT_BSTR ? 4 + v.bstrVal.size() * 2 + 2 : 0;
}

// The VARIANT at p (zero-filled) and its string after it.
void PutVariant(uint8_t* p, const plat::Variant& v) {
    using namespace plat;
    Put16(p, v.vt);
    uint8_t* d = p + 8;
    switch (v.vt) {
        case VT_I1:
            d[0] = static_cast<uint8_t>(v.cVal);
            break;
        case VT_UI1:
            d[0] = v.bVal;
            break;
        case VT_I2:
            Put16(d, static_cast<uint16_t>(v.iVal));
            break;
        case VT_UI2:
            Put16(d, v.uiVal);
            break;
        case VT_BOOL:
            Put16(d, static_cast<uint16_t>(v.boolVal));
            break;
        case VT_I4:
            Put32(d, static_cast<uint32_t>(v.lVal));
            break;
        case VT_UI4:
            Put32(d, v.ulVal);
            break;
        case VT_INT:
            Put32(d, static_cast<uint32_t>(v.intVal));
            break;
        case VT_UINT:
            Put32(d, v.uintVal);
            break;
        case VT_ERROR:
            Put32(d, static_cast<uint32_t>(v.scode));
            break;
        case VT_R4:
            Put32(d, static_cast<uint32_t>(Bits(v.fltVal)));
            break;
        case VT_R8:
            Put64(d, Bits(v.dblVal));
            break;
        case VT_DATE:
            Put64(d, Bits(v.date));
            break;
        case VT_CY:
            Put64(d, static_cast<uint64_t>(v.cyVal));
            break;
        case VT_I8:
            Put64(d, static_cast<uint64_t>(v.llVal));
            break;
        case VT_UI8:
            Put64(d, v.ullVal);
            break;
        case VT_BSTR: {
            uint8_t* s = p + kDa1VariantBytes;
            Put32(s, static_cast<uint32_t>(v.bstrVal.size() * 2));
            for (size_t i = 0; i < v.bstrVal.size(); ++i) Put16(s + 4 + 2 * i, v.bstrVal[i]);
            // the NUL is already there
            break;
        }
        default:
            break;
    }
}

}  // namespace

Da1Formats RegisterDa1Formats() {
    Da1Formats f;
    f.data = plat::RegisterClipboardFormat(kFormatData);
    f.data_time = plat::RegisterClipboardFormat(kFormatDataTime);
    f.write_complete = plat::RegisterClipboardFormat(kFormatWriteComplete);
    return f;
}

std::optional<std::vector<uint8_t>> BuildDa1DataBlock(bool with_time, const Da1GroupHeader& group,
                                                      std::span<const Da1Item> items) {
    const size_t header = with_time ? kDa1ItemHeaderTimeBytes : kDa1ItemHeaderBytes;
    // Sized for every part, strings included.
    uint64_t size = kDa1GroupHeaderBytes + uint64_t{items.size()} * (header + kDa1VariantBytes);
    for (const Da1Item& it : items) size += Tail(it.value);
    if (size > std::numeric_limits<uint32_t>::max()) return std::nullopt;

    std::vector<uint8_t> b(static_cast<size_t>(size), 0);
    Put32(&b[0], static_cast<uint32_t>(size));
    Put32(&b[4], static_cast<uint32_t>(items.size()));
    Put32(&b[8], group.hClientGroup);
    Put32(&b[12], group.dwTransactionID);
    Put32(&b[16], static_cast<uint32_t>(group.hrStatus));
    size_t value_at = kDa1GroupHeaderBytes + items.size() * header;
    for (size_t i = 0; i < items.size(); ++i) {
        const Da1Item& it = items[i];
        uint8_t* h = &b[kDa1GroupHeaderBytes + i * header];
        Put32(h, it.hClient);
        Put32(h + 4, static_cast<uint32_t>(value_at));
        Put16(h + 8, it.wQuality);
        if (with_time) {
            Put32(h + 12, it.ftTimeStamp.dwLowDateTime);
            Put32(h + 16, it.ftTimeStamp.dwHighDateTime);
        }
        PutVariant(&b[value_at], it.value);
        value_at += kDa1VariantBytes + Tail(it.value);
    }
    return b;
}

std::vector<uint8_t> BuildDa1WriteCompleteBlock(const Da1GroupHeader& group,
                                                std::span<const Da1WriteResult> items) {
    std::vector<uint8_t> b(kDa1WriteHeaderBytes + items.size() * kDa1WriteItemBytes, 0);
    Put32(&b[0], static_cast<uint32_t>(items.size()));
    Put32(&b[4], group.hClientGroup);
    Put32(&b[8], group.dwTransactionID);
    Put32(&b[12], static_cast<uint32_t>(group.hrStatus));
    for (size_t i = 0; i < items.size(); ++i) {
        uint8_t* p = &b[kDa1WriteHeaderBytes + i * kDa1WriteItemBytes];
        Put32(p, items[i].hClient);
        Put32(p + 4, static_cast<uint32_t>(items[i].dwError));
    }
    return b;
}

}  // namespace opc
