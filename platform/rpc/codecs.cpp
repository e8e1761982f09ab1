// Variants on the wire.
#include "platform/rpc/codecs.h"

namespace plat::rpc {

// --- Variants ----------------------------------------------------------------------------------

void WriteVariant(Writer& w, const Variant& v) {
    w.U16(v.vt);
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_I1:
        case VT_UI1:
            w.U8(v.bVal);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            w.U16(v.uiVal);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            w.U32(v.ulVal);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            w.U64(v.ullVal);
            break;
        case VT_BSTR:
            Codec<WideString>::Write(w, v.bstrVal);
            break;
        default:
            w.Poison(DISP_E_BADVARTYPE);
            break;
    }
}

bool ReadVariant(Reader& r, Variant& v) {
    uint16_t vt;
    if (!r.U16(vt)) return false;
    v.Clear();
    bool ok = true;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_I1:
        case VT_UI1:
            ok = r.U8(v.bVal);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            ok = r.U16(v.uiVal);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            ok = r.U32(v.ulVal);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            ok = r.U64(v.ullVal);
            break;
        case VT_BSTR:
            ok = Codec<WideString>::Read(r, v.bstrVal);
            break;
        default:
            return false;
    }
    v.vt = vt;
    return ok;
}

}  // namespace plat::rpc
