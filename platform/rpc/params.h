// How each kind of parameter travels: in and out values, arrays, records, interface pointers
// and strings, on the proxy and the stub side (internal to the generated code).
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
#include "platform/rpc/annotations.h"
#include "platform/rpc/codecs.h"
#include "platform/rpc/interface_info.h"
#include "platform/rpc/wire.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/guid.h"
#include "platform/types/variant.h"
#include "platform/types/wstr.h"

namespace plat::rpc {

namespace detail {

template <size_t K, class... A>
struct AnnFor {
    using type = NoAnn;
};
template <size_t K, class A0, class... A>
struct AnnFor<K, A0, A...> {
    using type = std::conditional_t<A0::kParam == K, A0, typename AnnFor<K, A...>::type>;
};

template <class>
struct MemFn;
template <class C, class... A>
struct MemFn<HRESULT (C::*)(A...)> {
    using Class = C;
    using Args = std::tuple<A...>;
    static constexpr size_t kArity = sizeof...(A);
};

template <class T>
inline constexpr bool kIsInterface = std::is_class_v<T>&& std::is_base_of_v<IUnknown, T>;

// The value of an integer parameter used as a count: an in parameter's value or, after the
// call, an out parameter's.
template <class S>
uint64_t CountValue(const S& s) {
    static_assert(std::is_integral_v<S>, "a count parameter must be an integer");
    return s < 0 ? 0 : static_cast<uint64_t>(s);
}

template <size_t N, class St>
uint64_t CountOf(const St& st) {
    return CountValue(std::get<N>(st));
}

// On the proxy side before the reply: an in count's value (out counts are not known yet).
template <size_t N, class A>
uint64_t ArgCount(const A& args) {
    using T = std::tuple_element_t<N, A>;
    static_assert(!std::is_pointer_v<std::remove_cvref_t<T>>,
                  "an in array's count must be an in parameter");
    return CountValue(std::get<N>(args));
}

// After the reply: the count of an out array, from the reply (out count) or the call (in count).
template <size_t N, class St, class A>
std::optional<uint64_t> OutCount(const St& st, const A* args) {
    using T = std::tuple_element_t<N, A>;
    if constexpr (std::is_pointer_v<std::remove_cvref_t<T>>)
        return CountValue(std::get<N>(st));
    else if (args)
        return CountValue(std::get<N>(*args));
    else
        return std::nullopt;
}

// No-op halves of a parameter that goes only one way.
struct InOnly {
    static constexpr bool kOut = false;
    template <class T, class A>
    static HRESULT Check(const T&, const A&) {
        return S_OK;
    }
    template <class S>
    static bool ReadOut(MarshalEnv&, Reader&, S&) {
        return true;
    }
    template <class S, class St, class A>
    static bool VerifyOut(const S&, const St&, const A*) {
        return true;
    }
    template <class S, class T>
    static void Deliver(S&, const T&) {}
    template <class S, class St>
    static bool Give(MarshalEnv&, Writer&, S&, const St&) {
        return true;
    }
    template <class S, class St>
    static bool Prepare(MarshalEnv&, S&, St&) {
        return true;
    }
};
struct OutOnly {
    static constexpr bool kOut = true;
    template <class T, class A>
    static void Put(MarshalEnv&, Writer&, const T&, const A&) {}
    template <class S>
    static bool Take(MarshalEnv&, Reader&, S&) {
        return true;
    }
    template <class S, class St>
    static bool VerifyIn(const S&, const St&) {
        return true;
    }
    template <class S, class St>
    static bool Prepare(MarshalEnv&, S&, St&) {
        return true;
    }
};

template <class V>
struct InValue : InOnly {
    static_assert(!TaskFree<V>::kOwns, "a value that owns task memory goes only as an out array");
    using Storage = V;
    template <class T, class A>
    static void Put(MarshalEnv&, Writer& w, const T& arg, const A&) {
        Codec<V>::Write(w, arg);
    }
    static bool Take(MarshalEnv&, Reader& r, V& s) { return Codec<V>::Read(r, s); }
    template <class St>
    static bool VerifyIn(const V&, const St&) {
        return true;
    }
    static V& Pass(V& s) { return s; }
};

template <class V>
struct OutValue : OutOnly {
    static_assert(!TaskFree<V>::kOwns, "a value that owns task memory goes only as an out array");
    using Storage = V;
    template <class A>
    static HRESULT Check(V* const& arg, const A&) {
        return arg ? S_OK : E_POINTER;
    }
    static bool ReadOut(MarshalEnv&, Reader& r, V& s) { return Codec<V>::Read(r, s); }
    template <class St, class A>
    static bool VerifyOut(const V&, const St&, const A*) {
        return true;
    }
    static void Deliver(V& s, V* const& arg) { *arg = std::move(s); }
    static V* Pass(V& s) { return &s; }
    template <class St>
    static bool Give(MarshalEnv&, Writer& w, V& s, const St&) {
        Codec<V>::Write(w, s);
        return true;
    }
};

template <class V>
struct OptStorage {
    bool present = false;
    V value{};
};

template <class V, class T>
struct InOptional : InOnly {
    using Storage = OptStorage<V>;
    template <class A>
    static void Put(MarshalEnv&, Writer& w, const T& arg, const A&) {
        w.U8(arg ? 1 : 0);
        if (arg) Codec<V>::Write(w, *arg);
    }
    static bool Take(MarshalEnv&, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        s.present = present == 1;
        return !s.present || Codec<V>::Read(r, s.value);
    }
    template <class St>
    static bool VerifyIn(const Storage&, const St&) {
        return true;
    }
    static T Pass(Storage& s) { return s.present ? &s.value : nullptr; }
};

// The callee's copy of an in array. Elements that own task memory (records holding strings or
// blobs) give it back when the call is over, also after a read that failed half-way.
template <class E>
struct InArrayStorage : std::vector<E> {
    InArrayStorage() = default;
    InArrayStorage(const InArrayStorage&) = delete;
    InArrayStorage& operator=(const InArrayStorage&) = delete;
    ~InArrayStorage() {
        if constexpr (TaskFree<E>::kOwns)
            for (E& e : *this) TaskFree<E>::Free(e);
    }
};

template <class E, size_t N, class T>
struct InArray : InOnly {
    static_assert(!std::is_same_v<E, bool>, "arrays of bool are not carried");
    using Storage = InArrayStorage<E>;
    template <class A>
    static HRESULT Check(const T& arg, const A& args) {
        return (arg || ArgCount<N>(args) == 0) ? S_OK : E_POINTER;
    }
    template <class A>
    static void Put(MarshalEnv&, Writer& w, const T& arg, const A& args) {
        const uint64_t n = ArgCount<N>(args);
        if (n > kMaxFrame) {
            w.U32(0xFFFFFFFFu);  // cannot fit; the size check before sending refuses the call
            return;
        }
        w.U32(static_cast<uint32_t>(n));
        for (uint64_t i = 0; i < n; ++i) Codec<E>::Write(w, arg[i]);
    }
    static bool Take(MarshalEnv& env, Reader& r, Storage& s) {
        uint32_t n;
        if (!r.Count(n, Codec<E>::kMinBytes) || !env.Charge(uint64_t{n} * sizeof(E))) return false;
        s.resize(n);
        for (E& e : s)
            if (!Codec<E>::Read(r, e)) return false;
        return true;
    }
    template <class St>
    static bool VerifyIn(const Storage& s, const St& st) {
        return s.size() == CountOf<N>(st);
    }
    static T Pass(Storage& s) { return s.data(); }
};

// A callee-allocated array in task memory.
template <class E>
struct TaskArray {
    E* p = nullptr;
    uint32_t n = 0;  // constructed elements
    TaskArray() = default;
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;
    ~TaskArray() {
        if (!p) return;
        for (uint32_t i = 0; i < n; ++i) Elem<E>::Free(p[i]);
        if constexpr (!std::is_trivially_destructible_v<E>) std::destroy_n(p, n);
        CoTaskMemFree(p);
    }
};

// An out pointer to task memory the callee allocates: cleared before the call, so a failed
// call leaves the caller nothing to free.
template <class E>
struct OutTaskPointer : OutOnly {
    template <class A>
    static HRESULT Check(E** const& arg, const A&) {
        if (!arg) return E_POINTER;
        *arg = nullptr;
        return S_OK;
    }
};

template <class E, size_t N>
struct OutArray : OutTaskPointer<E> {
    using Storage = TaskArray<E>;
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        if (!present) return true;
        uint32_t n;
        if (!r.Count(n, Elem<E>::kMinBytes) || !env.Charge(uint64_t{n} * sizeof(E))) return false;
        s.p = static_cast<E*>(CoTaskMemAlloc(size_t{n} * sizeof(E)));
        if (!s.p) return env.Fail(E_OUTOFMEMORY, "out of task memory");
        for (; s.n < n; ++s.n) {
            new (s.p + s.n) E{};
            if (!Elem<E>::Read(env, r, s.p[s.n])) {
                ++s.n;
                return false;
            }
        }
        return true;
    }
    template <class St, class A>
    static bool VerifyOut(const Storage& s, const St& st, const A* args) {
        if (!s.p) return true;
        auto n = OutCount<N>(st, args);
        return !n || *n == s.n;
    }
    static void Deliver(Storage& s, E** const& arg) {
        *arg = s.p;
        s.p = nullptr;
        s.n = 0;
    }
    static E** Pass(Storage& s) { return &s.p; }
    template <class St>
    static bool Give(MarshalEnv& env, Writer& w, Storage& s, const St& st) {
        if (!s.p) {
            w.U8(0);
            return true;
        }
        const uint64_t n = CountOf<N>(st);
        s.n = static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
        if (n > kMaxFrame) return env.Fail(E_OUTOFMEMORY, "out array too large");
        w.U8(1);
        w.U32(static_cast<uint32_t>(n));
        for (uint64_t i = 0; i < n; ++i)
            if (!Elem<E>::Write(env, w, s.p[i])) return false;
        return true;
    }
};

// One record the callee allocates in task memory (null allowed).
template <class E>
struct TaskRecord {
    E* p = nullptr;
    TaskRecord() = default;
    TaskRecord(const TaskRecord&) = delete;
    TaskRecord& operator=(const TaskRecord&) = delete;
    ~TaskRecord() {
        if (!p) return;
        Elem<E>::Free(*p);
        std::destroy_at(p);
        CoTaskMemFree(p);
    }
};

template <class E>
struct OutRecord : OutTaskPointer<E> {
    using Storage = TaskRecord<E>;
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        if (!present) return true;
        if (r.Left() < Elem<E>::kMinBytes) return false;
        void* mem = CoTaskMemAlloc(sizeof(E));
        if (!mem) return env.Fail(E_OUTOFMEMORY, "out of task memory");
        s.p = new (mem) E{};
        return Elem<E>::Read(env, r, *s.p);
    }
    template <class St, class A>
    static bool VerifyOut(const Storage&, const St&, const A*) {
        return true;
    }
    static void Deliver(Storage& s, E** const& arg) { *arg = std::exchange(s.p, nullptr); }
    static E** Pass(Storage& s) { return &s.p; }
    template <class St>
    static bool Give(MarshalEnv& env, Writer& w, Storage& s, const St&) {
        w.U8(s.p ? 1 : 0);
        return !s.p || Elem<E>::Write(env, w, *s.p);
    }
};

// V* that may be null: the flag travels in the request, the value (when asked for) in the
// reply, and the callee sees null when the caller passed null.
template <class V, size_t P>
struct OutOptional {
    static constexpr bool kOut = true;
    static_assert(!TaskFree<V>::kOwns, "a value that owns task memory goes only as an out array");
    using Storage = OptStorage<V>;
    template <class A>
    static HRESULT Check(V* const&, const A&) {
        return S_OK;
    }
    template <class A>
    static void Put(MarshalEnv&, Writer& w, V* const& arg, const A&) {
        w.U8(arg ? 1 : 0);
    }
    static bool Take(MarshalEnv&, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        s.present = present == 1;
        return true;
    }
    template <class St>
    static bool VerifyIn(const Storage&, const St&) {
        return true;
    }
    template <class St>
    static bool Prepare(MarshalEnv&, Storage&, St&) {
        return true;
    }
    static V* Pass(Storage& s) { return s.present ? &s.value : nullptr; }
    template <class St>
    static bool Give(MarshalEnv&, Writer& w, Storage& s, const St&) {
        w.U8(s.present ? 1 : 0);
        if (s.present) Codec<V>::Write(w, s.value);
        return true;
    }
    static bool ReadOut(MarshalEnv&, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        s.present = present == 1;
        return !s.present || Codec<V>::Read(r, s.value);
    }
    template <class St, class A>
    static bool VerifyOut(const Storage& s, const St&, const A* args) {
        return !args || s.present == (std::get<P>(*args) != nullptr);
    }
    static void Deliver(Storage& s, V* const& arg) {
        if (arg && s.present) *arg = std::move(s.value);
    }
};

// An out count's value after the call: none when it is optional and was not asked for.
template <class S>
std::optional<uint64_t> FilledValue(const S& s) {
    return CountValue(s);
}
template <class V>
std::optional<uint64_t> FilledValue(const OptStorage<V>& s) {
    if (!s.present) return std::nullopt;
    return CountValue(s.value);
}

// Sets an out count after the call (one the caller did not ask for stays unset).
template <class S>
void SetFilled(S& s, uint64_t n) {
    s = static_cast<S>(n);
}
template <class V>
void SetFilled(OptStorage<V>& s, uint64_t n) {
    if (s.present) s.value = static_cast<V>(n);
}

// The caller's array of a FillIs parameter: the elements received (proxy side) or the room the
// callee fills (stub side). Whatever it still holds is given back.
template <class E>
struct FillStorage {
    std::vector<E> v;
    uint32_t room = 0;    // stub side: the most the callee is asked for in all
    size_t at = 0;        // where the callee's next chunk goes
    size_t reserved = 0;  // elements charged to the budgets
    FillStorage() = default;
    FillStorage(const FillStorage&) = delete;
    FillStorage& operator=(const FillStorage&) = delete;
    ~FillStorage() {
        for (E& e : v) Elem<E>::Free(e);
        UnchargeProcessMessageBytes(reserved * sizeof(E));
    }
};

template <class E, size_t R, size_t F>
struct FillArray {
    static constexpr bool kOut = true;
    static_assert(std::is_default_constructible_v<E>, "FillIs elements start empty");
    using Storage = FillStorage<E>;

    // Proxy side.
    template <class A>
    static HRESULT Check(E* const& arg, const A& args) {
        return (arg || ArgCount<R>(args) == 0) ? S_OK : E_POINTER;
    }
    template <class A>
    static void Put(MarshalEnv&, Writer&, E* const&, const A&) {}  // the room travels as param R
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        uint32_t n;
        if (!r.Count(n, Elem<E>::kMinBytes) || !env.Charge(uint64_t{n} * sizeof(E))) return false;
        s.v.resize(n);
        for (E& e : s.v)
            if (!Elem<E>::Read(env, r, e)) return false;
        return true;
    }
    // Never more than the caller's room, and exactly the count the callee reported.
    template <class St, class A>
    static bool VerifyOut(const Storage& s, const St& st, const A* args) {
        auto filled = FilledValue(std::get<F>(st));
        if (filled && *filled != s.v.size()) return false;
        return !args || s.v.size() <= ArgCount<R>(*args);
    }
    static void Deliver(Storage& s, E* const& arg) {
        for (size_t i = 0; i < s.v.size(); ++i) arg[i] = std::exchange(s.v[i], E{});
        s.v.clear();
    }

  private:
    static constexpr size_t FirstAsk() { return std::max<size_t>(1, kFillFirstBytes / sizeof(E)); }
    static constexpr size_t ChunkAsk() { return std::max<size_t>(1, kFillChunkBytes / sizeof(E)); }
    // Room for `n` elements, charged to both budgets as it grows (at least doubling, never past
    // the room); false and nothing taken when either budget has no room.
    static bool Reserve(MarshalEnv& env, Storage& s, size_t n) {
        if (n <= s.reserved) return true;
        const size_t to = std::max(n, std::min<size_t>(2 * s.reserved, s.room));
        const size_t bytes = (to - s.reserved) * sizeof(E);
        if (bytes > env.budget || !ChargeProcessMessageBytes(bytes)) return false;
        env.budget -= bytes;
        s.reserved = to;
        s.v.reserve(to);
        return true;
    }

  public:
    // Stub side: the room is cut to what one reply can carry and one frame's worth of memory,
    // so a forged count costs nothing. The callee is asked a chunk at a time (Fill); the room
    // grows with what it hands out and is charged to the message's and the process's budgets.
    static bool Take(MarshalEnv&, Reader&, Storage&) { return true; }
    template <class St>
    static bool VerifyIn(const Storage&, const St&) {
        return true;
    }
    template <class St>
    static bool Prepare(MarshalEnv& env, Storage& s, St& st) {
        const uint64_t most = kMaxFrame / std::max<size_t>(Elem<E>::kMinBytes, sizeof(E));
        s.room = static_cast<uint32_t>(std::min(CountOf<R>(st), most));
        if (!Reserve(env, s, std::min<size_t>(s.room, FirstAsk()))) {
            if (env.hr == S_OK)
                env.Fail(RPC_S_SERVER_TOO_BUSY, "the service's message memory is taken");
            return false;
        }
        return true;
    }
    static E* Pass(Storage& s) { return s.v.data() + s.at; }
    // Calls the callee for its elements until it hands out fewer than asked, fails, or the room
    // is full. Without an out count (celt 1 only) it is one call with the whole room.
    template <class St, class Call>
    static HRESULT Fill(MarshalEnv& env, Storage& s, St& st, Call&& call) {
        using C = std::remove_cvref_t<std::tuple_element_t<R, St>>;
        const bool counted = FilledValue(std::get<F>(st)).has_value();
        size_t filled = 0;
        HRESULT hr = S_OK;
        for (;;) {
            const size_t left = s.room - filled;
            size_t ask =
                std::min(left, counted ? std::clamp(filled, FirstAsk(), ChunkAsk()) : FirstAsk());
            if (!Reserve(env, s, filled + ask)) {
                if (filled > 0) break;  // a short count: more may follow
                ask = s.reserved;       // what Prepare took
            }
            s.v.resize(filled + ask);
            s.at = filled;
            std::get<R>(st) = static_cast<C>(ask);
            if (!counted || filled == 0) {
                hr = call();
                if (!counted) return hr;
            } else {
                try {
                    hr = call();
                } catch (...) {
                    break;  // what came before stands, as for a failure
                }
            }
            const uint64_t got = *FilledValue(std::get<F>(st));
            if (got > ask) {  // more than its room: the reply is refused
                SetFilled(std::get<F>(st), filled + got);
                return hr;
            }
            if (Failed(hr)) {
                if (filled == 0) return hr;
                break;  // what came before stands; the next call meets the failure again
            }
            filled += static_cast<size_t>(got);
            if (hr != S_OK || got < ask || filled == s.room) {
                SetFilled(std::get<F>(st), filled);
                return hr;
            }
        }
        SetFilled(std::get<F>(st), filled);
        return S_OK;
    }
    template <class St>
    static bool Give(MarshalEnv& env, Writer& w, Storage& s, const St& st) {
        auto filled = FilledValue(std::get<F>(st));
        const uint64_t n = filled ? *filled : (env.result == S_OK ? s.v.size() : 0);
        if (n > s.v.size()) return env.Fail(E_UNEXPECTED, "more elements than the caller's room");
        w.U32(static_cast<uint32_t>(n));
        for (uint64_t i = 0; i < n; ++i)
            if (!Elem<E>::Write(env, w, s.v[i])) return false;
        return true;
    }
};

template <class I>
struct InIface : InOnly {
    using Storage = ComPtr<I>;
    template <class A>
    static void Put(MarshalEnv& env, Writer& w, I* arg, const A&) {
        WriteObjRef(env, w, InterfaceInfoOf<I>(), static_cast<void*>(arg));
    }
    static bool Take(MarshalEnv& env, Reader& r, Storage& s) {
        void* p = nullptr;
        if (!ReadObjRef(env, r, &InterfaceInfoOf<I>(), nullptr, &p)) return false;
        s = ComPtr<I>::Attach(static_cast<I*>(p));
        return true;
    }
    template <class St>
    static bool VerifyIn(const Storage&, const St&) {
        return true;
    }
    static I* Pass(Storage& s) { return s.Get(); }
};

template <class I>
struct IfaceSlot {
    I* p = nullptr;
    IfaceSlot() = default;
    IfaceSlot(const IfaceSlot&) = delete;
    IfaceSlot& operator=(const IfaceSlot&) = delete;
    ~IfaceSlot() {
        if (p) p->Release();
    }
};

template <class I>
struct OutIface : OutOnly {
    using Storage = IfaceSlot<I>;
    template <class A>
    static HRESULT Check(I** const& arg, const A&) {
        if (!arg) return E_POINTER;
        *arg = nullptr;
        return S_OK;
    }
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        void* p = nullptr;
        if (!ReadObjRef(env, r, &InterfaceInfoOf<I>(), nullptr, &p)) return false;
        s.p = static_cast<I*>(p);
        return true;
    }
    template <class St, class A>
    static bool VerifyOut(const Storage&, const St&, const A*) {
        return true;
    }
    static void Deliver(Storage& s, I** const& arg) { *arg = std::exchange(s.p, nullptr); }
    static I** Pass(Storage& s) { return &s.p; }
    template <class St>
    static bool Give(MarshalEnv& env, Writer& w, Storage& s, const St&) {
        return WriteObjRef(env, w, InterfaceInfoOf<I>(), static_cast<void*>(s.p));
    }
};

// void** with its IID in another parameter.
struct DynSlot {
    void* p = nullptr;
    const InterfaceInfo* info = nullptr;
    IID iid;
    DynSlot() = default;
    DynSlot(const DynSlot&) = delete;
    DynSlot& operator=(const DynSlot&) = delete;
    ~DynSlot() {
        if (p && info) info->to_unknown(p)->Release();
    }
};

template <size_t K>
struct OutIfaceIid : OutOnly {
    using Storage = DynSlot;
    template <class A>
    static HRESULT Check(void** const& arg, const A& args) {
        if (!arg) return E_POINTER;
        *arg = nullptr;
        return FindInterface(std::get<K>(args)) ? S_OK : E_NOINTERFACE;
    }
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        if (!ReadObjRef(env, r, nullptr, &s.iid, &s.p)) return false;
        s.info = FindInterface(s.iid);
        return true;
    }
    template <class St, class A>
    static bool VerifyOut(const Storage& s, const St&, const A* args) {
        return !s.p || !args || std::get<K>(*args) == s.iid;
    }
    static void Deliver(Storage& s, void** const& arg) { *arg = std::exchange(s.p, nullptr); }
    static void** Pass(Storage& s) { return &s.p; }
    template <class St>
    static bool Give(MarshalEnv& env, Writer& w, Storage& s, const St& st) {
        s.info = FindInterface(std::get<K>(st));
        if (!s.info) return env.Fail(E_NOINTERFACE, "interface not declared for the transport");
        return WriteObjRef(env, w, *s.info, s.p);
    }
};

struct WStrStorage {
    bool present = false;
    std::u16string s;
};

struct InWStr : InOnly {
    using Storage = WStrStorage;
    template <class A>
    static void Put(MarshalEnv&, Writer& w, const char16_t* arg, const A&) {
        w.U8(arg ? 1 : 0);
        if (arg) Codec<WideString>::Write(w, WideString(arg));
    }
    static bool Take(MarshalEnv&, Reader& r, Storage& s) {
        uint8_t present;
        if (!r.U8(present) || present > 1) return false;
        s.present = present == 1;
        return !s.present || Codec<WideString>::Read(r, s.s);
    }
    template <class St>
    static bool VerifyIn(const Storage&, const St&) {
        return true;
    }
    static const char16_t* Pass(Storage& s) { return s.present ? s.s.c_str() : nullptr; }
};

struct TaskWStr {
    char16_t* p = nullptr;
    TaskWStr() = default;
    TaskWStr(const TaskWStr&) = delete;
    TaskWStr& operator=(const TaskWStr&) = delete;
    ~TaskWStr() { CoTaskMemFree(p); }
};

struct OutWStr : OutOnly {
    using Storage = TaskWStr;
    template <class A>
    static HRESULT Check(char16_t** const& arg, const A&) {
        if (!arg) return E_POINTER;
        *arg = nullptr;
        return S_OK;
    }
    static bool ReadOut(MarshalEnv& env, Reader& r, Storage& s) {
        uint8_t present;
        uint32_t n;
        if (!r.U8(present) || present > 1) return false;
        if (!present) return true;
        if (!r.Count(n, sizeof(char16_t))) return false;
        s.p = static_cast<char16_t*>(CoTaskMemAlloc((size_t{n} + 1) * sizeof(char16_t)));
        if (!s.p) return env.Fail(E_OUTOFMEMORY, "out of task memory");
        s.p[n] = 0;
        return r.Raw(s.p, size_t{n} * sizeof(char16_t));
    }
    template <class St, class A>
    static bool VerifyOut(const Storage&, const St&, const A*) {
        return true;
    }
    static void Deliver(Storage& s, char16_t** const& arg) { *arg = std::exchange(s.p, nullptr); }
    static char16_t** Pass(Storage& s) { return &s.p; }
    template <class St>
    static bool Give(MarshalEnv&, Writer& w, Storage& s, const St&) {
        w.U8(s.p ? 1 : 0);
        if (s.p) Codec<WideString>::Write(w, WideString(s.p));
        return true;
    }
};

}  // namespace detail

}  // namespace plat::rpc
