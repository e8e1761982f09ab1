// Parameter annotations (what the C++ type does not say) and how an array element or out
// record travels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/rpc/codecs.h"
#include "platform/rpc/interface_info.h"

namespace plat::rpc {

// --- Parameters --------------------------------------------------------------------------------

struct NoAnn {
    static constexpr size_t kParam = SIZE_MAX;
};
template <size_t P, size_t N>
struct SizeIs {
    static constexpr size_t kParam = P, kCount = N;
};
template <size_t P, size_t N>
struct InSizeIs {
    static constexpr size_t kParam = P, kCount = N;
};
template <size_t P, size_t K>
struct IidIs {
    static constexpr size_t kParam = P, kIid = K;
};
template <size_t P>
struct Unique {
    static constexpr size_t kParam = P;
};
template <size_t P>
struct OptionalOut {
    static constexpr size_t kParam = P;
};
template <size_t P, size_t R, size_t F>
struct FillIs {
    static constexpr size_t kParam = P, kRoom = R, kFilled = F;
};

// An element of an array or an out record: Codec<E> plus TaskFree<E>, or, for what needs the
// connection (interface pointers, records holding them), a specialisation of its own with
// kMinBytes, Write(env, w, e), Read(env, r, e) (a failed read leaves e freeable) and Free(e).
template <class E>
struct Elem {
    static constexpr size_t kMinBytes = Codec<E>::kMinBytes;
    static bool Write(MarshalEnv&, Writer& w, const E& e) {
        Codec<E>::Write(w, e);
        return true;
    }
    static bool Read(MarshalEnv&, Reader& r, E& e) { return Codec<E>::Read(r, e); }
    static void Free(E& e) { TaskFree<E>::Free(e); }
};

inline constexpr size_t kObjRefBytes = 25;

template <class I>
requires(std::is_class_v<I>&& std::is_base_of_v<IUnknown, I>) struct Elem<I*> {
    static constexpr size_t kMinBytes = kObjRefBytes;
    static bool Write(MarshalEnv& env, Writer& w, I* const& e) {
        return WriteObjRef(env, w, InterfaceInfoOf<I>(), static_cast<void*>(e));
    }
    static bool Read(MarshalEnv& env, Reader& r, I*& e) {
        void* p = nullptr;
        if (!ReadObjRef(env, r, &InterfaceInfoOf<I>(), nullptr, &p)) return false;
        e = static_cast<I*>(p);
        return true;
    }
    static void Free(I*& e) {
        if (e) std::exchange(e, nullptr)->Release();
    }
};

// The process's message budget (connection.cpp): what the stubs' rooms hold counts with the
// frames. Charge takes nothing when it has no room.
bool ChargeProcessMessageBytes(size_t n);
void UnchargeProcessMessageBytes(size_t n);

// The room a FillIs callee is first given and the most it is given at once: the stub asks again
// for the rest, so what the room holds follows what the callee hands out, not the caller's claim.
inline constexpr size_t kFillFirstBytes = 8u << 10;
inline constexpr size_t kFillChunkBytes = 64u << 10;

}  // namespace plat::rpc
