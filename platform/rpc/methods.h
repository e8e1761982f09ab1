// One method's proxy call, stub and decoders from its C++ signature and annotations, and the
// interface record the declaration macro fills.
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
#include "platform/rpc/params.h"
#include "platform/rpc/wire.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/guid.h"
#include "platform/types/variant.h"
#include "platform/types/wstr.h"

namespace plat::rpc {

namespace detail {

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
