// Conversions between the service's value forms (fixed-point ×10000 numbers, local OLE dates,
// UTF-8 text) and the forms the object and OPC faces hand out (VARIANT, UTC FILETIME,
// task-allocator memory).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/variant.h"

namespace drv {

// Makes the VARIANT a client asked for from a fixed-point value (value × 10000). Integer
// types are range-checked on the fixed-point value before rounding and delivered as VT_I4
// (VT_I8 for I8); EMPTY and R8 give the Currency unchanged; R4 gives a VT_R8 holding the
// value rounded to single precision; BSTR gives the decimal text with '.'. On failure `dst`
// is empty and `quality` is set to 0 (bad); on success `quality` is left alone.
plat::HRESULT NumberToVariant(plat::VARTYPE requested, plat::Variant& dst, uint16_t& quality,
                              int64_t fixed);

// Converts `src` to the requested type for a client in locale `lcid`. Text asked for as
// R4/R8 is read with ',' or '.' as the decimal point whatever the locale. A NaN source
// always fails with DISP_E_OVERFLOW. On failure `dst` is empty and `quality` is 0.
// `dst` may be `src`.
plat::HRESULT VariantToVarType(const plat::Variant& src, plat::VARTYPE requested,
                               plat::Variant& dst, plat::LCID lcid, uint16_t& quality);

// Local date-time -> UTC FILETIME; a date outside the FILETIME range gives {0, 0}.
plat::FILETIME DateTimeToFileTimeUTC(plat::DATE local);
// UTC FILETIME -> local date-time; a FILETIME outside the date range gives 0.
plat::DATE FileTimeToDateTimeLocal(const plat::FILETIME& utc);
// The current UTC time.
plat::FILETIME GetNowFileTime();

// UTF-8 text -> NUL-terminated UTF-16 in task-allocator memory (the caller frees it);
// nullptr for empty text. Raises EOutOfMemory when the block cannot be had.
char16_t* StrToCoTaskMemW(std::string_view text);
// Zero-filled task-allocator block; raises EOutOfMemory when it cannot be had.
void* CoTaskMemAllocZero(size_t cb);
// Frees the block (if any) and clears the variable.
template <class T>
void CoTaskMemFreeAndNil(T*& p) {
    plat::CoTaskMemFree(const_cast<void*>(static_cast<const void*>(p)));
    p = nullptr;
}

}  // namespace drv
