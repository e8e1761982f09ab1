// Marshalling from one declaration per interface.
//
// An interface is made transportable by listing its methods once, in slot order (a derived
// interface lists its base's methods first), with each method's parameter count and, where the
// C++ type does not say it all, annotations:
//
//   #define MY_EVENTS_METHODS(M)  M(PostFound, 1) M(StateChanged, 2)
//   #define MY_EVENTS_EX_METHODS(M) MY_EVENTS_METHODS(M) M(PostWithoutChanges, 2)
//   NORVALT_RPC_INTERFACE(my::IEvents, MY_EVENTS_METHODS)
//   NORVALT_RPC_INTERFACE(my::IEventsEx, MY_EVENTS_EX_METHODS)
//
// From that one list come the proxy class (every method overridden, so a wrong count or a
// missing method does not compile), the method table the stub dispatches by, and the decoders.
// Parameter types come from the C++ signatures:
//   V, const V&            in value (integers, enums, bool, float, double, Currency, GUID,
//                          FILETIME, WideString, Variant, records declared with
//                          NORVALT_RPC_RECORD or a Codec specialisation)
//   V*                     out value
//   I* / I**               in / out interface pointer (I derives from IUnknown)
//   const char16_t*        in string (null allowed)
//   char16_t**             out string allocated with CoTaskMemAlloc
//   R**                    out record (a class with a Codec) the callee allocates with
//                          CoTaskMemAlloc; null travels
// Annotations, by parameter index (0-based):
//   SizeIs<p, n>           const E* p: in array of param n elements (elements that own task
//                          memory are the callee's to read only, given back after the call);
//                          E** p: out array the callee allocates with CoTaskMemAlloc, param n
//                          elements after the call
//                          (elements constructed in place; the receiver destroys them)
//   InSizeIs<p, n>         E* p that is an in array (declared without const)
//   IidIs<p, k>            void** p: out interface whose IID is param k
//   Unique<p>              V* / const V* p: optional in value (null allowed)
//   OptionalOut<p>         V* p: optional out value; a null pointer reaches the callee as null
//   FillIs<p, r, f>        E* p: out array the caller allocates with room for param r (an in
//                          count) elements; param f (an out count, OptionalOut allowed) of them
//                          are valid after the call. The receiver allocates room only for what
//                          a reply can carry and passes the callee that smaller room; with f
//                          null, a result of S_OK means the whole room was filled
// Array elements and out records that own memory (task strings, records holding them,
// interface pointers) are given back through Elem<E>::Free wherever a message is dropped.
// Every method returns HRESULT.
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

// --- Interface table ---------------------------------------------------------------------------

// Base of every generated interface proxy: the proxy manager it belongs to.
class ProxyBase {
  public:
    explicit ProxyBase(ProxyManager* m) : mgr_(m) {}
    virtual ~ProxyBase() = default;

  protected:
    ProxyManager* mgr_;
};

struct MethodInfo {
    const char* name = nullptr;
    // Reads the in parameters, calls, writes the out parameters. Rejected: the request was
    // malformed and nothing was called (env says why); Failed: the call ran but its results
    // could not be written; Done: `hr` is the method's result.
    ReplyStatus (*stub)(void* iface, Reader& in, Writer& out, MarshalEnv& env,
                        HRESULT& hr) = nullptr;
    // Decoders without a call, for validation and fuzzing: in parameters of a request, out
    // parameters of a reply.
    bool (*decode_in)(Reader& in, MarshalEnv& env) = nullptr;
    bool (*decode_out)(Reader& in, MarshalEnv& env) = nullptr;
};

struct InterfaceInfo {
    IID iid;
    const char* name = nullptr;
    const MethodInfo* methods = nullptr;
    uint16_t method_count = 0;
    // A new interface proxy for the manager, and the proxy as the interface's pointer.
    std::pair<ProxyBase*, void*> (*make_proxy)(ProxyManager* m) = nullptr;
    // The interface pointer (as void*) as its IUnknown.
    IUnknown* (*to_unknown)(void* iface) = nullptr;
};

// The process-wide table by IID. InterfaceInfoOf<I>() registers I on first use; a program
// that receives interfaces by IID alone (QueryInterface, creation) registers them at start.
void RegisterInterface(const InterfaceInfo& info);
const InterfaceInfo* FindInterface(const IID& iid);
std::vector<const InterfaceInfo*> RegisteredInterfaces();

template <class>
inline constexpr bool kNotDeclared = false;

// Specialised by NORVALT_RPC_INTERFACE. Reaching this means the header that declares I's
// marshalling was not included.
template <class I>
const InterfaceInfo& InterfaceInfoOf() {
    static_assert(kNotDeclared<I>,
                  "interface not declared for the transport (NORVALT_RPC_INTERFACE)");
    static const InterfaceInfo none;
    return none;
}
template <>
const InterfaceInfo& InterfaceInfoOf<IUnknown>();

// Registers every listed interface.
template <class... I>
void RegisterInterfaces() {
    (void(InterfaceInfoOf<I>()), ...);
}

// --- Object references (connection.cpp) ----------------------------------------------------------

// Writes a reference to `iface` (a pointer of interface `info`, null allowed); our own objects
// are exported with one reference for the receiver.
bool WriteObjRef(MarshalEnv& env, Writer& w, const InterfaceInfo& info, void* iface);
// Reads one: *out is the interface pointer for the reference's IID with a reference the caller
// owns (null for a null reference and when decoding only). With `expected` the reference must
// be of that interface; without, its IID must be declared.
bool ReadObjRef(MarshalEnv& env, Reader& r, const InterfaceInfo* expected, IID* got, void** out);
// A request was refused after some of its references were credited: take the credits back
// (the caller takes back what it exported).
void AbandonCredits(MarshalEnv& env);

// Proxy-side call plumbing (connection.cpp).
struct ProxyCallState;
struct ProxyCallDeleter {
    void operator()(ProxyCallState* s) const;
};
using ProxyCallPtr = std::unique_ptr<ProxyCallState, ProxyCallDeleter>;
// Starts a request on the manager's object; null (and `hr`) when the connection is gone.
ProxyCallPtr BeginProxyCall(ProxyManager& mgr, const IID& iid, uint16_t method, HRESULT& hr);
Writer& ProxyCallWriter(ProxyCallState& s);
MarshalEnv& ProxyCallEnv(ProxyCallState& s);
// Sends and waits (serving nested calls of this logical thread). True when out parameters
// follow in `reader`; otherwise `hr` is the call's failure and the error text is set.
bool ProxyCallExchange(ProxyCallState& s, HRESULT& hr, Reader& reader, MarshalEnv& reply_env);
// After the out parameters: reads the error text and checks the frame's end. False means a
// malformed reply: the connection is dropped and `hr` becomes RPC_E_INVALID_DATA.
bool ProxyCallFinish(ProxyCallState& s, Reader& reader, bool outs_ok, HRESULT& hr);

HRESULT ManagerQueryInterface(ProxyManager* m, const IID& iid, void** out);
uint32_t ManagerAddRef(ProxyManager* m);
uint32_t ManagerRelease(ProxyManager* m);

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

template <class T, class Ann>
struct SelectParam;

template <class T>
struct SelectParam<T, NoAnn> {
    using U = std::remove_cvref_t<T>;
    static auto Pick() {
        if constexpr (std::is_pointer_v<U> && std::is_pointer_v<std::remove_pointer_t<U>> &&
                      kIsInterface<std::remove_pointer_t<std::remove_pointer_t<U>>>)
            return std::type_identity<OutIface<std::remove_pointer_t<std::remove_pointer_t<U>>>>{};
        else if constexpr (std::is_pointer_v<U> && kIsInterface<std::remove_pointer_t<U>> &&
                           !std::is_const_v<std::remove_pointer_t<U>>)
            return std::type_identity<InIface<std::remove_pointer_t<U>>>{};
        else if constexpr (std::is_same_v<U, const char16_t*>)
            return std::type_identity<InWStr>{};
        else if constexpr (std::is_same_v<U, char16_t**>)
            return std::type_identity<OutWStr>{};
        else if constexpr (std::is_pointer_v<U> && std::is_pointer_v<std::remove_pointer_t<U>> &&
                           std::is_class_v<std::remove_pointer_t<std::remove_pointer_t<U>>> &&
                           Marshallable<std::remove_pointer_t<std::remove_pointer_t<U>>>)
            return std::type_identity<OutRecord<std::remove_pointer_t<std::remove_pointer_t<U>>>>{};
        else if constexpr (std::is_pointer_v<U> && !std::is_const_v<std::remove_pointer_t<U>> &&
                           Marshallable<std::remove_pointer_t<U>>)
            return std::type_identity<OutValue<std::remove_pointer_t<U>>>{};
        else if constexpr (!std::is_pointer_v<U> && Marshallable<U> &&
                           !std::is_same_v<U, char16_t*>)
            return std::type_identity<InValue<U>>{};
        else
            static_assert(kNotDeclared<T>,
                          "no marshaller for this parameter type: add a Codec or an annotation");
    }
    using type = typename decltype(Pick())::type;
};

template <class T, size_t P, size_t N>
struct SelectParam<T, SizeIs<P, N>> {
    using U = std::remove_cvref_t<T>;
    static auto Pick() {
        if constexpr (std::is_pointer_v<U> && std::is_const_v<std::remove_pointer_t<U>>)
            return std::type_identity<
                InArray<std::remove_const_t<std::remove_pointer_t<U>>, N, U>>{};
        else if constexpr (std::is_pointer_v<U> && std::is_pointer_v<std::remove_pointer_t<U>>)
            return std::type_identity<
                OutArray<std::remove_pointer_t<std::remove_pointer_t<U>>, N>>{};
        else
            static_assert(kNotDeclared<T>,
                          "SizeIs needs const E* (in) or E** (out); use InSizeIs for E*");
    }
    using type = typename decltype(Pick())::type;
};

template <class T, size_t P, size_t N>
struct SelectParam<T, InSizeIs<P, N>> {
    using U = std::remove_cvref_t<T>;
    static_assert(std::is_pointer_v<U>, "InSizeIs needs a pointer");
    using type = InArray<std::remove_const_t<std::remove_pointer_t<U>>, N, U>;
};

template <class T, size_t P, size_t K>
struct SelectParam<T, IidIs<P, K>> {
    static_assert(std::is_same_v<std::remove_cvref_t<T>, void**>, "IidIs needs void**");
    using type = OutIfaceIid<K>;
};

template <class T, size_t P>
struct SelectParam<T, Unique<P>> {
    using U = std::remove_cvref_t<T>;
    static_assert(std::is_pointer_v<U>, "Unique needs a pointer");
    using type = InOptional<std::remove_const_t<std::remove_pointer_t<U>>, U>;
};

template <class T, size_t P>
struct SelectParam<T, OptionalOut<P>> {
    using U = std::remove_cvref_t<T>;
    static_assert(std::is_pointer_v<U> && !std::is_const_v<std::remove_pointer_t<U>>,
                  "OptionalOut needs V*");
    using type = OutOptional<std::remove_pointer_t<U>, P>;
};

template <class T, size_t P, size_t R, size_t F>
struct SelectParam<T, FillIs<P, R, F>> {
    using U = std::remove_cvref_t<T>;
    static_assert(std::is_pointer_v<U> && !std::is_const_v<std::remove_pointer_t<U>>,
                  "FillIs needs E*");
    using type = FillArray<std::remove_pointer_t<U>, R, F>;
};

template <class Itf, auto F, class Seq, class... Ann>
struct MethodImpl;

template <class Itf, auto F, size_t... K, class... Ann>
struct MethodImpl<Itf, F, std::index_sequence<K...>, Ann...> {
    using Fn = MemFn<decltype(F)>;
    template <size_t I>
    using Arg = std::tuple_element_t<I, typename Fn::Args>;
    template <size_t I>
    using P = typename SelectParam<Arg<I>, typename AnnFor<I, Ann...>::type>::type;
    using Storages = std::tuple<typename P<K>::Storage...>;
    using Args = std::tuple<Arg<K>...>;

    template <size_t I>
    static bool Bad(MarshalEnv& env) {
        return env.Fail(RPC_E_INVALID_DATA, "malformed parameter " + std::to_string(I + 1));
    }

    // Proxy side.
    static HRESULT CheckAll([[maybe_unused]] const Args& a) {
        HRESULT hr = S_OK;
        ((hr = Failed(hr) ? hr : P<K>::Check(std::get<K>(a), a)), ...);
        return hr;
    }
    static void PutAll([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] Writer& w,
                       [[maybe_unused]] const Args& a) {
        (P<K>::Put(env, w, std::get<K>(a), a), ...);
    }
    static bool ReadOutAll([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] Reader& r,
                           [[maybe_unused]] Storages& st) {
        return ((P<K>::ReadOut(env, r, std::get<K>(st)) || Bad<K>(env)) && ...);
    }
    static bool VerifyOutAll([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] const Storages& st,
                             [[maybe_unused]] const Args* a) {
        return ((P<K>::VerifyOut(std::get<K>(st), st, a) ||
                 env.Fail(RPC_E_INVALID_DATA, "array count mismatch")) &&
                ...);
    }
    static void DeliverAll([[maybe_unused]] Storages& st, [[maybe_unused]] const Args& a) {
        (P<K>::Deliver(std::get<K>(st), std::get<K>(a)), ...);
    }

    // Stub side.
    static bool TakeAll([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] Reader& r,
                        [[maybe_unused]] Storages& st) {
        return ((P<K>::Take(env, r, std::get<K>(st)) || Bad<K>(env)) && ...) &&
               ((P<K>::VerifyIn(std::get<K>(st), st) ||
                 env.Fail(RPC_E_INVALID_DATA, "array count mismatch")) &&
                ...) &&
               IidsKnown(env, st) && (P<K>::Prepare(env, std::get<K>(st), st) && ...);
    }
    static bool IidsKnown([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] const Storages& st) {
        return (IidKnown<K>(env, st) && ...);
    }
    template <size_t I>
    static bool IidKnown([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] const Storages& st) {
        using Ai = typename AnnFor<I, Ann...>::type;
        if constexpr (requires { Ai::kIid; }) {
            if (!FindInterface(std::get<Ai::kIid>(st)))
                return env.Fail(E_NOINTERFACE, "interface not declared for the transport");
        }
        (void)st;
        return true;
    }
    template <class T>
    struct IsFill : std::false_type {};
    template <class E, size_t R, size_t Fd>
    struct IsFill<FillArray<E, R, Fd>> : std::true_type {};
    static constexpr size_t kFillAt = [] {
        size_t at = SIZE_MAX;
        ((at == SIZE_MAX && IsFill<P<K>>::value ? (void)(at = K) : void()), ...);
        return at;
    }();
    static HRESULT Invoke([[maybe_unused]] Itf* p, [[maybe_unused]] Storages& st,
                          [[maybe_unused]] MarshalEnv& env) {
        auto call = [&] { return (p->*F)(P<K>::Pass(std::get<K>(st))...); };
        if constexpr (kFillAt != SIZE_MAX)
            return P<kFillAt>::Fill(env, std::get<kFillAt>(st), st, call);
        else
            return call();
    }
    static bool GiveAll([[maybe_unused]] MarshalEnv& env, [[maybe_unused]] Writer& w,
                        [[maybe_unused]] Storages& st) {
        return (P<K>::Give(env, w, std::get<K>(st), st) && ...);
    }
};

}  // namespace detail

template <class Itf, auto F, class... Ann>
struct Method
    : detail::MethodImpl<Itf, F, std::make_index_sequence<detail::MemFn<decltype(F)>::kArity>,
                         Ann...> {};

template <auto F, size_t K>
using ArgT = std::tuple_element_t<K, typename detail::MemFn<decltype(F)>::Args>;

template <class M, class... A>
HRESULT ProxyCall(ProxyManager& mgr, const IID& iid, uint16_t method, A&&... args) {
    typename M::Args a{std::forward<A>(args)...};
    HRESULT hr = M::CheckAll(a);
    if (Failed(hr)) return hr;
    ProxyCallPtr call = BeginProxyCall(mgr, iid, method, hr);
    if (!call) return hr;
    M::PutAll(ProxyCallEnv(*call), ProxyCallWriter(*call), a);
    Reader r;
    MarshalEnv env;
    if (!ProxyCallExchange(*call, hr, r, env)) return hr;
    typename M::Storages st{};
    bool ok = M::ReadOutAll(env, r, st) && M::VerifyOutAll(env, st, &a);
    if (!ProxyCallFinish(*call, r, ok, hr)) return hr;
    M::DeliverAll(st, a);
    return hr;
}

template <class Itf, class M>
ReplyStatus StubCall(void* iface, Reader& in, Writer& out, MarshalEnv& env, HRESULT& hr) {
    typename M::Storages st{};
    if (!M::TakeAll(env, in, st) ||
        (!in.AtEnd() && !env.Fail(RPC_E_INVALID_DATA, "trailing bytes after the parameters"))) {
        AbandonCredits(env);  // before the storages drop their references
        return ReplyStatus::Rejected;
    }
    ClearErrorText();
    try {
        hr = M::Invoke(static_cast<Itf*>(iface), st, env);
    } catch (...) {
        hr = HresultFromCurrentException();
    }
    env.result = hr;
    if (!M::GiveAll(env, out, st)) return ReplyStatus::Failed;
    return ReplyStatus::Done;
}

template <class M>
bool DecodeIn(Reader& in, MarshalEnv& env) {
    typename M::Storages st{};
    return M::TakeAll(env, in, st) && in.AtEnd();
}

template <class M>
bool DecodeOut(Reader& in, MarshalEnv& env) {
    typename M::Storages st{};
    std::string text;
    return M::ReadOutAll(env, in, st) && M::VerifyOutAll(env, st, nullptr) && in.Text(text) &&
           in.AtEnd();
}

template <class Itf, class M>
constexpr MethodInfo MakeMethodInfo(const char* name) {
    return MethodInfo{name, &StubCall<Itf, M>, &DecodeIn<M>, &DecodeOut<M>};
}

template <class Itf, class Proxy>
InterfaceInfo MakeInterfaceInfo(const char* name, const MethodInfo* methods, uint16_t count) {
    InterfaceInfo info;
    info.iid = Itf::GetIID();
    info.name = name;
    info.methods = methods;
    info.method_count = count;
    info.make_proxy = [](ProxyManager* m) -> std::pair<ProxyBase*, void*> {
        auto* p = new Proxy(m);
        return {p, static_cast<void*>(static_cast<Itf*>(p))};
    };
    info.to_unknown = [](void* iface) -> IUnknown* {
        return static_cast<IUnknown*>(static_cast<Itf*>(iface));
    };
    return info;
}

}  // namespace plat::rpc

// --- Declaration macros -------------------------------------------------------------------------

#define NORVALT_RPC_P0(F)
#define NORVALT_RPC_P1(F) ::plat::rpc::ArgT<F, 0> a0
#define NORVALT_RPC_P2(F) NORVALT_RPC_P1(F), ::plat::rpc::ArgT<F, 1> a1
#define NORVALT_RPC_P3(F) NORVALT_RPC_P2(F), ::plat::rpc::ArgT<F, 2> a2
#define NORVALT_RPC_P4(F) NORVALT_RPC_P3(F), ::plat::rpc::ArgT<F, 3> a3
#define NORVALT_RPC_P5(F) NORVALT_RPC_P4(F), ::plat::rpc::ArgT<F, 4> a4
#define NORVALT_RPC_P6(F) NORVALT_RPC_P5(F), ::plat::rpc::ArgT<F, 5> a5
#define NORVALT_RPC_P7(F) NORVALT_RPC_P6(F), ::plat::rpc::ArgT<F, 6> a6
#define NORVALT_RPC_P8(F) NORVALT_RPC_P7(F), ::plat::rpc::ArgT<F, 7> a7
#define NORVALT_RPC_P9(F) NORVALT_RPC_P8(F), ::plat::rpc::ArgT<F, 8> a8
#define NORVALT_RPC_P10(F) NORVALT_RPC_P9(F), ::plat::rpc::ArgT<F, 9> a9
#define NORVALT_RPC_P11(F) NORVALT_RPC_P10(F), ::plat::rpc::ArgT<F, 10> a10
#define NORVALT_RPC_P12(F) NORVALT_RPC_P11(F), ::plat::rpc::ArgT<F, 11> a11
#define NORVALT_RPC_P13(F) NORVALT_RPC_P12(F), ::plat::rpc::ArgT<F, 12> a12
#define NORVALT_RPC_P14(F) NORVALT_RPC_P13(F), ::plat::rpc::ArgT<F, 13> a13
#define NORVALT_RPC_P15(F) NORVALT_RPC_P14(F), ::plat::rpc::ArgT<F, 14> a14
#define NORVALT_RPC_P16(F) NORVALT_RPC_P15(F), ::plat::rpc::ArgT<F, 15> a15

#define NORVALT_RPC_A0
#define NORVALT_RPC_A1 , a0
#define NORVALT_RPC_A2 NORVALT_RPC_A1, a1
#define NORVALT_RPC_A3 NORVALT_RPC_A2, a2
#define NORVALT_RPC_A4 NORVALT_RPC_A3, a3
#define NORVALT_RPC_A5 NORVALT_RPC_A4, a4
#define NORVALT_RPC_A6 NORVALT_RPC_A5, a5
#define NORVALT_RPC_A7 NORVALT_RPC_A6, a6
#define NORVALT_RPC_A8 NORVALT_RPC_A7, a7
#define NORVALT_RPC_A9 NORVALT_RPC_A8, a8
#define NORVALT_RPC_A10 NORVALT_RPC_A9, a9
#define NORVALT_RPC_A11 NORVALT_RPC_A10, a10
#define NORVALT_RPC_A12 NORVALT_RPC_A11, a11
#define NORVALT_RPC_A13 NORVALT_RPC_A12, a12
#define NORVALT_RPC_A14 NORVALT_RPC_A13, a13
#define NORVALT_RPC_A15 NORVALT_RPC_A14, a14
#define NORVALT_RPC_A16 NORVALT_RPC_A15, a15

#define NORVALT_RPC_METHOD_T_(Name, ...) \
    ::plat::rpc::Method<Itf, &Itf::Name __VA_OPT__(, ) __VA_ARGS__>

#define NORVALT_RPC_ENUM_(Name, N, ...) k_##Name,

#define NORVALT_RPC_PROXY_(Name, N, ...)                                                   \
    HRESULT Name(NORVALT_RPC_P##N(&Itf::Name)) override {                                  \
        return ::plat::rpc::ProxyCall<NORVALT_RPC_METHOD_T_(Name, __VA_ARGS__)>(           \
            *this->mgr_, Itf::GetIID(), static_cast<uint16_t>(k_##Name) NORVALT_RPC_A##N); \
    }

#define NORVALT_RPC_STUB_(Name, N, ...) \
    ::plat::rpc::MakeMethodInfo<Itf, NORVALT_RPC_METHOD_T_(Name, __VA_ARGS__)>(#Name),

// Announces a declaration that follows later (for interfaces that name each other).
#define NORVALT_RPC_FORWARD(I) \
    template <>                \
    inline const ::plat::rpc::InterfaceInfo& ::plat::rpc::InterfaceInfoOf<I>();

// Declares the transport of interface I from its method list LIST (an X-macro taking
// M(Name, ParamCount, Annotations...)). Use at global scope, in a header every user of I's
// transport includes.
#define NORVALT_RPC_INTERFACE(I, LIST)                                                      \
    template <>                                                                             \
    inline const ::plat::rpc::InterfaceInfo& ::plat::rpc::InterfaceInfoOf<I>() {            \
        using Itf = I;                                                                      \
        enum : uint16_t { LIST(NORVALT_RPC_ENUM_) k_MethodCount_ };                         \
        struct Proxy final : ::plat::rpc::ProxyBase, Itf {                                  \
            explicit Proxy(::plat::rpc::ProxyManager* m) : ::plat::rpc::ProxyBase(m) {}     \
            HRESULT QueryInterface(const ::plat::IID& iid, void** out) override {           \
                return ::plat::rpc::ManagerQueryInterface(this->mgr_, iid, out);            \
            }                                                                               \
            uint32_t AddRef() override { return ::plat::rpc::ManagerAddRef(this->mgr_); }   \
            uint32_t Release() override { return ::plat::rpc::ManagerRelease(this->mgr_); } \
            LIST(NORVALT_RPC_PROXY_)                                                        \
        };                                                                                  \
        static const ::plat::rpc::MethodInfo methods[] = {LIST(NORVALT_RPC_STUB_){}};       \
        static const ::plat::rpc::InterfaceInfo info =                                      \
            ::plat::rpc::MakeInterfaceInfo<Itf, Proxy>(#I, methods, k_MethodCount_);        \
        static const bool registered = (::plat::rpc::RegisterInterface(info), true);        \
        (void)registered;                                                                   \
        return info;                                                                        \
    }

// Records carried field by field: NORVALT_RPC_RECORD(ns::TRecord, Field1, Field2, ...).
// Fields are copied by name, so packed records are safe.
#define NORVALT_RPC_FE_1(M, d, x) M(d, x)
#define NORVALT_RPC_FE_2(M, d, x, ...) M(d, x) NORVALT_RPC_FE_1(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_3(M, d, x, ...) M(d, x) NORVALT_RPC_FE_2(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_4(M, d, x, ...) M(d, x) NORVALT_RPC_FE_3(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_5(M, d, x, ...) M(d, x) NORVALT_RPC_FE_4(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_6(M, d, x, ...) M(d, x) NORVALT_RPC_FE_5(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_7(M, d, x, ...) M(d, x) NORVALT_RPC_FE_6(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_8(M, d, x, ...) M(d, x) NORVALT_RPC_FE_7(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_9(M, d, x, ...) M(d, x) NORVALT_RPC_FE_8(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_10(M, d, x, ...) M(d, x) NORVALT_RPC_FE_9(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_11(M, d, x, ...) M(d, x) NORVALT_RPC_FE_10(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_12(M, d, x, ...) M(d, x) NORVALT_RPC_FE_11(M, d, __VA_ARGS__)
#define NORVALT_RPC_FE_PICK_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, N, ...) N
#define NORVALT_RPC_FOR_EACH(M, d, ...)                                                          \
    NORVALT_RPC_FE_PICK_(__VA_ARGS__, NORVALT_RPC_FE_12, NORVALT_RPC_FE_11, NORVALT_RPC_FE_10,   \
                         NORVALT_RPC_FE_9, NORVALT_RPC_FE_8, NORVALT_RPC_FE_7, NORVALT_RPC_FE_6, \
                         NORVALT_RPC_FE_5, NORVALT_RPC_FE_4, NORVALT_RPC_FE_3, NORVALT_RPC_FE_2, \
                         NORVALT_RPC_FE_1)                                                       \
    (M, d, __VA_ARGS__)

#define NORVALT_RPC_REC_MIN_(T, f) +::plat::rpc::Codec<decltype(T::f)>::kMinBytes
#define NORVALT_RPC_REC_W_(T, f)                          \
    {                                                     \
        decltype(T::f) v_ = r.f;                          \
        ::plat::rpc::Codec<decltype(T::f)>::Write(w, v_); \
    }
#define NORVALT_RPC_REC_R_(T, f)                                             \
    &&[&] {                                                                  \
        decltype(T::f) v_{};                                                 \
        if (!::plat::rpc::Codec<decltype(T::f)>::Read(rd, v_)) return false; \
        r.f = std::move(v_);                                                 \
        return true;                                                         \
    }()

#define NORVALT_RPC_RECORD(T, ...)                                                \
    template <>                                                                   \
    struct plat::rpc::Codec<T> {                                                  \
        static constexpr size_t kMinBytes =                                       \
            0 NORVALT_RPC_FOR_EACH(NORVALT_RPC_REC_MIN_, T, __VA_ARGS__);         \
        static void Write(::plat::rpc::Writer& w, const T& r) {                   \
            NORVALT_RPC_FOR_EACH(NORVALT_RPC_REC_W_, T, __VA_ARGS__)              \
        }                                                                         \
        static bool Read(::plat::rpc::Reader& rd, T& r) {                         \
            return true NORVALT_RPC_FOR_EACH(NORVALT_RPC_REC_R_, T, __VA_ARGS__); \
        }                                                                         \
    };
