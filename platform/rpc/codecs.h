// Values on the wire: what a marshalling step needs besides the bytes, and a codec per
// carried type.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/error.h"
#include "platform/com/unknown.h"
#include "platform/rpc/wire.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/guid.h"
#include "platform/types/variant.h"
#include "platform/types/wstr.h"

namespace plat::rpc {

class Connection;
class ProxyManager;

// What a marshalling step needs besides the bytes.
struct MarshalEnv {
    Connection* conn = nullptr;  // null: decode only; object references are parsed, not resolved
    HRESULT hr = S_OK;           // why a step failed
    std::string error;
    std::vector<uint64_t> exported;       // our objects whose references this message hands over
    std::vector<ProxyManager*> credited;  // imports this message credited with a reference
    // Decoding only (no connection): the sender's objects the message hands a reference to, so
    // a late reply's references can be given back unread.
    std::vector<uint64_t>* given = nullptr;
    // Memory a message may make the receiver allocate beyond its own bytes (an array of
    // VARIANTs takes more room than its encoding).
    size_t budget = 4 * size_t{kMaxFrame};
    HRESULT result = S_OK;  // the method's result, once it ran (out parameters that depend on it)

    bool Fail(HRESULT h, std::string_view text) {
        if (hr == S_OK) {
            hr = h;
            error.assign(text);
        }
        return false;
    }
    bool Charge(uint64_t bytes) {
        if (bytes > budget) return Fail(E_OUTOFMEMORY, "message needs too much memory");
        budget -= static_cast<size_t>(bytes);
        return true;
    }
};

// --- Value codecs ----------------------------------------------------------------------------

// Codec<V>: kMinBytes (least encoded size), Write(Writer&, const V&), Read(Reader&, V&).
// No definition means the transport cannot carry V.
template <class T>
struct Codec;

template <class T>
concept Marshallable = requires {
    Codec<T>::kMinBytes;
};

template <class T>
requires((std::is_integral_v<T> && !std::is_same_v<T, bool>) || std::is_floating_point_v<T> ||
         std::is_enum_v<T>) struct Codec<T> {
    static constexpr size_t kMinBytes = sizeof(T);
    static void Write(Writer& w, const T& v) { w.Raw(&v, sizeof v); }
    static bool Read(Reader& r, T& v) { return r.Raw(&v, sizeof v); }
};

template <>
struct Codec<bool> {
    static constexpr size_t kMinBytes = 1;
    static void Write(Writer& w, bool v) { w.U8(v ? 1 : 0); }
    static bool Read(Reader& r, bool& v) {
        uint8_t b;
        if (!r.U8(b)) return false;
        v = b != 0;
        return true;
    }
};

template <>
struct Codec<Currency> {
    static constexpr size_t kMinBytes = 8;
    static void Write(Writer& w, const Currency& v) { w.U64(static_cast<uint64_t>(v.int64)); }
    static bool Read(Reader& r, Currency& v) {
        uint64_t u;
        if (!r.U64(u)) return false;
        v.int64 = static_cast<int64_t>(u);
        return true;
    }
};

template <>
struct Codec<GUID> {
    static constexpr size_t kMinBytes = 16;
    static void Write(Writer& w, const GUID& g) { w.Guid(g); }
    static bool Read(Reader& r, GUID& g) { return r.Guid(g); }
};

template <>
struct Codec<FILETIME> {
    static constexpr size_t kMinBytes = 8;
    static void Write(Writer& w, const FILETIME& f) {
        w.U32(f.dwLowDateTime);
        w.U32(f.dwHighDateTime);
    }
    static bool Read(Reader& r, FILETIME& f) {
        return r.U32(f.dwLowDateTime) && r.U32(f.dwHighDateTime);
    }
};

// UTF-16 code units exactly as they are: frame bytes carried one per unit, lone surrogates and
// embedded NULs survive.
template <>
struct Codec<WideString> {
    static constexpr size_t kMinBytes = 4;
    static void Write(Writer& w, const WideString& s) {
        w.U32(static_cast<uint32_t>(s.size()));
        w.Raw(s.data(), s.size() * sizeof(char16_t));
    }
    static bool Read(Reader& r, WideString& s) {
        uint32_t n;
        if (!r.Count(n, sizeof(char16_t))) return false;
        s.resize(n);
        return r.Raw(s.data(), size_t{n} * sizeof(char16_t));
    }
};

// VT_EMPTY, NULL, I1, I2, I4, I8, UI1, UI2, UI4, UI8, INT, UINT, R4, R8, CY, DATE, BSTR, BOOL and
// ERROR. Writing another type poisons the message (the call fails with DISP_E_BADVARTYPE).
void WriteVariant(Writer& w, const Variant& v);
bool ReadVariant(Reader& r, Variant& v);

template <>
struct Codec<Variant> {
    static constexpr size_t kMinBytes = 2;
    static void Write(Writer& w, const Variant& v) { WriteVariant(w, v); }
    static bool Read(Reader& r, Variant& v) { return ReadVariant(r, v); }
};

// What a value holds beyond itself (task strings, blobs, references), given back before the
// value is dropped. Values that hold nothing need no specialisation.
template <class T>
struct TaskFree {
    static constexpr bool kOwns = false;
    static void Free(T&) {}
};
template <>
struct TaskFree<char16_t*> {
    static constexpr bool kOwns = true;
    static void Free(char16_t*& p) {
        CoTaskMemFree(p);
        p = nullptr;
    }
};

// A task string inside a record or an array: u8 present, then as WideString. A read that
// fails leaves null, holding nothing.
template <>
struct Codec<char16_t*> {
    static constexpr size_t kMinBytes = 1;
    static void Write(Writer& w, char16_t* const& p) {
        w.U8(p ? 1 : 0);
        if (p) Codec<WideString>::Write(w, WideString(p));
    }
    static bool Read(Reader& r, char16_t*& p) {
        p = nullptr;
        uint8_t present;
        uint32_t n;
        if (!r.U8(present) || present > 1) return false;
        if (!present) return true;
        if (!r.Count(n, sizeof(char16_t))) return false;
        auto* s = static_cast<char16_t*>(CoTaskMemAlloc((size_t{n} + 1) * sizeof(char16_t)));
        if (!s) return false;
        s[n] = 0;
        if (!r.Raw(s, size_t{n} * sizeof(char16_t))) {
            CoTaskMemFree(s);
            return false;
        }
        p = s;
        return true;
    }
};

}  // namespace plat::rpc
