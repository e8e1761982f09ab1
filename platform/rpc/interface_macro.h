// The declaration macros: NORVALT_RPC_INTERFACE (proxy class, method table and decoders from one
// method list) and NORVALT_RPC_RECORD (a codec from a record's fields).
#pragma once
#include "platform/rpc/methods.h"

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
