// Objects both ends of the transport tests use: a test-only interface with every parameter
// kind, a server object behind the type library's interfaces, and client sinks.
#pragma once
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/connpt.h"
#include "platform/com/error.h"
#include "platform/com/object.h"
#include "platform/rpc/interfaces.h"
#include "platform/rpc/marshal.h"
#include "platform/thread/thread.h"
#include "service/typelib/TypeLibProxy.h"

namespace rpctest {

using plat::ComPtr;
using plat::HRESULT;
using plat::IID;
using plat::WideString;

inline const IID IID_ITestKinds = plat::GuidOf("{3F6A1D20-7C55-4E0B-9B0E-6A1F2D3C4B5A}");
inline const plat::CLSID CLSID_TestObject = plat::GuidOf("{3F6A1D21-7C55-4E0B-9B0E-6A1F2D3C4B5A}");

// Every parameter kind the transport carries, each echoed so the far end proves it ran.
struct ITestKinds : public virtual plat::IUnknown {
    static const IID& GetIID() { return IID_ITestKinds; }
    // Outs are the ins transformed (+1 / negated / not), so a value that was never sent fails.
    virtual HRESULT Numbers(int8_t a, uint8_t b, int16_t c, uint16_t d, int32_t e, uint32_t f,
                            int64_t g, uint64_t h, float i, double j, bool k, int8_t* oa,
                            uint64_t* oh, double* oj) = 0;
    virtual HRESULT Times(plat::Currency cy, plat::DATE date, plat::FILETIME ft,
                          plat::Currency* ocy, plat::DATE* odate, plat::FILETIME* oft) = 0;
    virtual HRESULT Guids(const plat::GUID& in, plat::GUID* out) = 0;
    // Reversed, code unit by code unit.
    virtual HRESULT Strings(const WideString& in, WideString* out) = 0;
    virtual HRESULT Variants(const plat::Variant& in, plat::Variant* out) = 0;
    virtual HRESULT Optional(const int32_t* maybe, const char16_t* text, int32_t* got,
                             char16_t** text_out) = 0;
    virtual HRESULT Sum(uint32_t n, const int32_t* values, int64_t* total) = 0;
    // values[i] = start + i, allocated by the callee.
    virtual HRESULT Sequence(uint32_t n, int32_t start, int32_t** values) = 0;
    // *n strings "v0", "v1"..., count decided by the callee.
    virtual HRESULT VariantList(uint32_t want, uint32_t* n, plat::Variant** values) = 0;
    virtual HRESULT Caller(uint32_t* uid, int32_t* admin, int32_t* remote, uint32_t* locale,
                           int32_t* pid) = 0;
    // Fails with hr and the error text.
    virtual HRESULT Fail(HRESULT hr, const WideString& text) = 0;
    virtual HRESULT Throw(const WideString& text) = 0;
    // depth > 0: calls back->Ping(this, depth - 1) and adds its result; records threads.
    virtual HRESULT Ping(ITestKinds* back, int32_t depth, int32_t* result) = 0;
    virtual HRESULT Make(const IID& iid, void** out) = 0;
    virtual HRESULT Sleep(uint32_t ms) = 0;
    virtual HRESULT ThreadId(uint32_t* tid) = 0;
    // Waits at the process's gate (g_gate); the ballast only makes the request large.
    virtual HRESULT Park(const WideString& ballast) = 0;
    // Starts an event thread that calls sink->Sleep(ms) over and over until this object
    // ends; the destructor joins it.
    virtual HRESULT Tick(ITestKinds* sink, uint32_t ms) = 0;
};

// Where Park waits: closed, every caller waits (at most 30 s) until it opens.
class Gate {
  public:
    void Close() {
        std::lock_guard lk(m_);
        open_ = false;
        max_waiting_ = waiting_;
    }
    void Open() {
        std::lock_guard lk(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Pass() {
        std::unique_lock lk(m_);
        max_waiting_ = std::max(max_waiting_, ++waiting_);
        cv_.wait_for(lk, std::chrono::seconds(30), [&] { return open_; });
        --waiting_;
    }
    int Waiting() {
        std::lock_guard lk(m_);
        return waiting_;
    }
    int MaxWaiting() {
        std::lock_guard lk(m_);
        return max_waiting_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = true;
    int waiting_ = 0;
    int max_waiting_ = 0;
};
inline Gate g_gate;

// Closes the gate for a scope and opens it whatever happens.
struct ClosedGate {
    ClosedGate() { g_gate.Close(); }
    ~ClosedGate() { g_gate.Open(); }
};

inline std::atomic<int> g_sleep_calls{0};  // Sleep calls this process served
inline std::atomic<int> g_tickers{0};      // event threads of Tick still running

}  // namespace rpctest

#define RPCTEST_ITESTKINDS(M)                    \
    M(Numbers, 14)                               \
    M(Times, 6)                                  \
    M(Guids, 2)                                  \
    M(Strings, 2)                                \
    M(Variants, 2)                               \
    M(Optional, 4, ::plat::rpc::Unique<0>)       \
    M(Sum, 3, ::plat::rpc::SizeIs<1, 0>)         \
    M(Sequence, 3, ::plat::rpc::SizeIs<2, 0>)    \
    M(VariantList, 3, ::plat::rpc::SizeIs<2, 1>) \
    M(Caller, 5)                                 \
    M(Fail, 2)                                   \
    M(Throw, 1)                                  \
    M(Ping, 3)                                   \
    M(Make, 2, ::plat::rpc::IidIs<1, 0>)         \
    M(Sleep, 1)                                  \
    M(ThreadId, 1)                               \
    M(Park, 1)                                   \
    M(Tick, 2)
NORVALT_RPC_INTERFACE(rpctest::ITestKinds, RPCTEST_ITESTKINDS)

namespace rpctest {

inline void RegisterAll() {
    tlb::RegisterTypeLibInterfaces();
    plat::rpc::RegisterInterfaces<ITestKinds>();
}

// The ITestKinds behaviour, shared by the server object and the client's ping partner.
template <class Base>
class KindsImpl : public Base {
  public:
    ~KindsImpl() override {
        if (ticker_.joinable()) {
            stop_ = true;
            ticker_.join();
        }
    }
    HRESULT Numbers(int8_t a, uint8_t b, int16_t c, uint16_t d, int32_t e, uint32_t f, int64_t g,
                    uint64_t h, float i, double j, bool k, int8_t* oa, uint64_t* oh,
                    double* oj) override {
        *oa = static_cast<int8_t>(-a);
        *oh = h + 1;
        *oj = j * 2 + b + c + d + e + f + g + static_cast<double>(i) + (k ? 1 : 0);
        return plat::S_OK;
    }
    HRESULT Times(plat::Currency cy, plat::DATE date, plat::FILETIME ft, plat::Currency* ocy,
                  plat::DATE* odate, plat::FILETIME* oft) override {
        ocy->int64 = cy.int64 + 1;
        *odate = date + 1.0;
        *oft = plat::U64ToFileTime(plat::FileTimeToU64(ft) + 1);
        return plat::S_OK;
    }
    HRESULT Guids(const plat::GUID& in, plat::GUID* out) override {
        *out = in;
        std::reverse(std::begin(out->Data4), std::end(out->Data4));
        return plat::S_OK;
    }
    HRESULT Strings(const WideString& in, WideString* out) override {
        *out = WideString(in.rbegin(), in.rend());
        return plat::S_OK;
    }
    HRESULT Variants(const plat::Variant& in, plat::Variant* out) override {
        *out = in;
        return plat::S_OK;
    }
    HRESULT Optional(const int32_t* maybe, const char16_t* text, int32_t* got,
                     char16_t** text_out) override {
        *got = maybe ? *maybe : -1;
        if (text) {
            size_t n = std::char_traits<char16_t>::length(text);
            *text_out = static_cast<char16_t*>(plat::CoTaskMemAlloc((n + 2) * sizeof(char16_t)));
            std::memcpy(*text_out, text, n * sizeof(char16_t));
            (*text_out)[n] = u'!';
            (*text_out)[n + 1] = 0;
        } else {
            *text_out = nullptr;
        }
        return plat::S_OK;
    }
    HRESULT Sum(uint32_t n, const int32_t* values, int64_t* total) override {
        *total = 0;
        for (uint32_t i = 0; i < n; ++i) *total += values[i];
        return plat::S_OK;
    }
    HRESULT Sequence(uint32_t n, int32_t start, int32_t** values) override {
        *values = static_cast<int32_t*>(plat::CoTaskMemAlloc(n * sizeof(int32_t)));
        if (!*values) return plat::E_OUTOFMEMORY;
        for (uint32_t i = 0; i < n; ++i) (*values)[i] = start + static_cast<int32_t>(i);
        return plat::S_OK;
    }
    HRESULT VariantList(uint32_t want, uint32_t* n, plat::Variant** values) override {
        *n = want;
        *values = static_cast<plat::Variant*>(plat::CoTaskMemAlloc(want * sizeof(plat::Variant)));
        for (uint32_t i = 0; i < want; ++i)
            new (*values + i) plat::Variant(plat::Variant::Str("v" + std::to_string(i)));
        return plat::S_OK;
    }
    HRESULT Caller(uint32_t* uid, int32_t* admin, int32_t* remote, uint32_t* locale,
                   int32_t* pid) override {
        const plat::CallContext& c = plat::GetCallContext();
        *uid = c.uid;
        *admin = c.admin;
        *remote = c.remote;
        *locale = c.locale;
        *pid = c.pid;
        return plat::S_OK;
    }
    HRESULT Fail(HRESULT hr, const WideString& text) override {
        plat::SetErrorText(plat::WideToUtf8(text));
        return hr;
    }
    HRESULT Throw(const WideString& text) override {
        throw std::runtime_error(plat::WideToUtf8(text));
    }
    HRESULT Ping(ITestKinds* back, int32_t depth, int32_t* result) override {
        {
            std::lock_guard lk(ping_m);
            ping_threads.push_back(plat::CurrentThreadId());
        }
        *result = 1;
        if (depth > 0 && back) {
            int32_t r = 0;
            HRESULT hr = back->Ping(this, depth - 1, &r);
            if (plat::Failed(hr)) return hr;
            *result += r;
        }
        return plat::S_OK;
    }
    HRESULT Make(const IID& iid, void** out) override;
    HRESULT Sleep(uint32_t ms) override {
        ++g_sleep_calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return plat::S_OK;
    }
    HRESULT ThreadId(uint32_t* tid) override {
        *tid = plat::CurrentThreadId();
        return plat::S_OK;
    }
    HRESULT Park(const WideString&) override {
        g_gate.Pass();
        return plat::S_OK;
    }
    HRESULT Tick(ITestKinds* sink, uint32_t ms) override {
        if (!sink) return plat::E_POINTER;
        if (ticker_.joinable()) return plat::E_UNEXPECTED;
        ++g_tickers;
        ticker_ = std::thread([this, s = ComPtr<ITestKinds>(sink), ms] {
            while (!stop_)
                if (plat::Failed(s->Sleep(ms)))
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            --g_tickers;
        });
        return plat::S_OK;
    }

    std::vector<uint32_t> PingThreads() {
        std::lock_guard lk(ping_m);
        return ping_threads;
    }

    std::mutex ping_m;
    std::vector<uint32_t> ping_threads;  // one logical thread at a time calls Ping

  private:
    std::atomic<bool> stop_{false};
    std::thread ticker_;
};

inline std::atomic<int> g_live_objects{0};

// A plain ITestKinds object.
class Kinds final : public KindsImpl<plat::ComObject<ITestKinds>> {
  public:
    Kinds() { ++g_live_objects; }
    ~Kinds() override { --g_live_objects; }
};

// How long Make works before it makes its object (a slow server), and the objects it made.
inline std::atomic<uint32_t> g_make_delay_ms{0};
inline std::atomic<int> g_made{0};

template <class Base>
HRESULT KindsImpl<Base>::Make(const IID& iid, void** out) {
    if (const uint32_t ms = g_make_delay_ms.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ComPtr<Kinds> k = plat::MakeCom<Kinds>();
    const HRESULT hr = k->QueryInterface(iid, out);
    ++g_made;
    return hr;
}

// The server object: the type library's interfaces with recordable behaviour, plus ITestKinds
// and a connection point for INorvaltEvents.
class TestObject final
    : public KindsImpl<plat::ComObject<tlb::INorvalt, tlb::IDrvControl, tlb::IHWEmuReg,
                                       tlb::IOPCItemSamplingMgtExt, ITestKinds,
                                       plat::IConnectionPointContainer>> {
  public:
    TestObject() : point_(this) {
        ++g_live_objects;
        const plat::CallContext& c = plat::GetCallContext();
        creator_uid = c.uid;
        creator_admin = c.admin;
        std::lock_guard lk(All().m);
        All().objects.push_back(this);
    }
    ~TestObject() override {
        --g_live_objects;
        std::lock_guard lk(All().m);
        std::erase(All().objects, this);
    }

    // INorvalt
    HRESULT StateJumpValid(int16_t Post, tlb::TVariableEnum StFrom, tlb::TVariableEnum StTo,
                           int32_t* Res) override {
        *Res = Post * 10000 + StFrom * 100 + StTo;
        return plat::S_OK;
    }
    HRESULT GetState(int16_t Post, tlb::TState* State) override {
        State->Value = tlb::csWorking;
        State->TimeStamp = 45000.5 + Post;
        return plat::S_OK;
    }
    HRESULT SetState(int16_t Post, tlb::TStateEnum AState, tlb::TCmdID* Res) override {
        *Res = tlb::CmdBegin + Post + AState;
        return plat::S_OK;
    }
    HRESULT ReReadVarValue(int16_t Post, tlb::TVariableEnum Variable, int32_t* Res) override {
        // Calls the sink back before answering: the client is waiting in this call.
        ComPtr<tlb::INorvaltEvents> s = Sink();
        *Res = -1;
        if (!s) return plat::S_OK;
        tlb::TVariableValue v{plat::Currency{Post * 10000LL}, 45000.25};
        HRESULT hr = s->VarValueChanged(static_cast<int8_t>(Post), Variable, v);
        *Res = hr;
        return plat::S_OK;
    }
    HRESULT GetVariablesCount(int16_t Post, int32_t* Count, int32_t* Res) override {
        *Count = Post;
        *Res = 0;
        return plat::S_OK;
    }
    HRESULT GetVariable(int16_t Post, int32_t Number, tlb::TVariableInfo* Info,
                        int32_t* Result) override {
        Info->Code = static_cast<tlb::TVariableEnum>(Number);
        Info->ShortName = u"V\u0416";
        Info->Name = WideString(u"Vol\0ume", 7) + static_cast<char16_t>(0xD800);
        Info->IsReadable = plat::VARIANT_TRUE;
        Info->IsWriteable = plat::VARIANT_FALSE;
        Info->MinValue.int64 = -Post;
        Info->MaxValue.int64 = 9999999999999LL;
        Info->Step.int64 = 100;
        Info->BelongsTo = -2;
        Info->IsRandom = plat::VARIANT_TRUE;
        *Result = 0;
        return plat::S_OK;
    }
    HRESULT SetVarValue(int16_t, tlb::TVariableEnum, plat::Currency AValue,
                        tlb::TCmdID* Result) override {
        *Result = static_cast<tlb::TCmdID>(AValue.int64 / 10000);
        return plat::S_OK;
    }
    HRESULT GetVarValue(int16_t Post, tlb::TVariableEnum, tlb::TVariableValue* Val,
                        int32_t* Result) override {
        Val->Value.int64 = Post * 10000LL + 1;
        Val->TimeStamp = 45001.75;
        *Result = 0;
        return plat::S_OK;
    }
    HRESULT TryResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) override {
        *Result = CmdID;
        return plat::S_OK;
    }
    HRESULT GetResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) override {
        *Result = CmdID == 0 ? tlb::E_TIMEOUT : 0;
        return plat::S_OK;
    }
    HRESULT GetVarInterval(int16_t, tlb::TVariableEnum, uint32_t* IdleInterval,
                           uint32_t* WorkInterval, int32_t* Result) override {
        *IdleInterval = 1000;
        *WorkInterval = 100;
        *Result = 0;
        return plat::S_OK;
    }
    HRESULT SetVarInterval(int16_t, tlb::TVariableEnum, uint32_t, uint32_t,
                           int32_t* Result) override {
        *Result = plat::E_NOTIMPL;
        return plat::S_OK;
    }
    HRESULT RegisterSinkInterface(tlb::INorvaltEvents* s) override {
        {
            std::lock_guard lk(m_);
            sink_ = s;
        }
        // A callback while the client still waits in this call.
        return s ? s->PostFound(7) : plat::E_POINTER;
    }
    HRESULT RegisterSinkInterfaceEx(tlb::INorvaltEventsEx* s) override {
        {
            std::lock_guard lk(m_);
            sink_ = s;
        }
        return s ? s->PostWithoutChanges(0, 45002.0) : plat::E_POINTER;
    }
    HRESULT UnRegisterSinkInterface() override {
        ComPtr<tlb::INorvaltEvents> old;
        std::lock_guard lk(m_);
        old = std::move(sink_);
        return plat::S_OK;
    }
    HRESULT BandUsed(double* Result) override {
        *Result = 1.0;
        return plat::S_OK;
    }

    // IDrvControl
    HRESULT GetThreadState(int8_t PortNum, int32_t* State, int32_t* PassesCount) override {
        *State = (PortNum < 1 || PortNum > 32) ? -3 : PortNum;
        *PassesCount = 5;
        return plat::S_OK;
    }
    HRESULT SetSearchMode(int8_t b) override {
        search = b;
        return plat::S_OK;
    }
    HRESULT Restart() override {
        ++restarts;
        return plat::S_OK;
    }
    HRESULT SetUsePort(int32_t, int8_t) override {
        return plat::GetCallContext().admin ? plat::S_OK : plat::E_ACCESSDENIED;
    }

    // IHWEmuReg: registers, then exchanges one frame with the emulator at once.
    HRESULT Reg(int32_t PortNum, int32_t* Protocol, tlb::IHWEmu* HWEmu) override {
        if (PortNum < 1 || PortNum > 32) return plat::E_INVALIDARG;
        *Protocol = 0;
        {
            std::lock_guard lk(m_);
            emu_ = HWEmu;
        }
        HRESULT hr = HWEmu->WriteCall(plat::BytesToWide(std::string("\x02\xFF\x80\x00", 4)));
        if (plat::Failed(hr)) return hr;
        WideString answer;
        hr = HWEmu->ReadAnswer(&answer);
        last_answer = answer;
        return hr;
    }
    HRESULT Unreg(int32_t) override {
        ComPtr<tlb::IHWEmu> old;
        std::lock_guard lk(m_);
        old = std::move(emu_);
        return plat::S_OK;
    }

    // IOPCItemSamplingMgtExt: errors[i] = handle i ^ enable ^ early.
    HRESULT SetItemBufferEnableAndTimeStampControl(uint32_t dwCount, const uint32_t* phServer,
                                                   const int32_t* pbEnable, const int32_t* ptsEarly,
                                                   HRESULT** ppErrors) override {
        *ppErrors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
        for (uint32_t i = 0; i < dwCount; ++i)
            (*ppErrors)[i] = static_cast<HRESULT>(phServer[i]) ^ pbEnable[i] ^ (ptsEarly[i] << 8);
        return plat::S_OK;
    }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override {
        return plat::EnumConnectionPointsIn({&point_}, out);
    }
    HRESULT FindConnectionPoint(const IID& iid, plat::IConnectionPoint** out) override {
        return plat::FindConnectionPointIn(iid, {&point_}, out);
    }

    ComPtr<tlb::INorvaltEvents> Sink() {
        std::lock_guard lk(m_);
        return sink_;
    }
    plat::ConnectionPoint<tlb::INorvaltEvents>& Point() { return point_; }

    uint32_t creator_uid = 0;
    bool creator_admin = false;
    std::atomic<int> search{0};
    std::atomic<int> restarts{0};
    WideString last_answer;

    // Every live TestObject of this process (the server's view in tests).
    struct Registry {
        std::mutex m;
        std::vector<TestObject*> objects;
    };
    static Registry& All() {
        static Registry r;
        return r;
    }

  private:
    std::mutex m_;
    ComPtr<tlb::INorvaltEvents> sink_;
    ComPtr<tlb::IHWEmu> emu_;
    plat::ConnectionPoint<tlb::INorvaltEvents> point_;
};

// A client's event sink: records what arrived and on which thread.
class Sink final : public plat::ComObject<tlb::INorvaltEventsEx, tlb::INorvaltEvents> {
  public:
    Sink() { ++g_live_objects; }
    ~Sink() override { --g_live_objects; }
    HRESULT PostFound(int8_t Post) override { return Record("PostFound " + std::to_string(Post)); }
    HRESULT StateChanged(int8_t Post, tlb::TState s) override {
        return Record("StateChanged " + std::to_string(Post) + " " + std::to_string(s.Value) + " " +
                      std::to_string(s.TimeStamp));
    }
    HRESULT VarValueChanged(int8_t Post, tlb::TVariableEnum v, tlb::TVariableValue val) override {
        return Record("VarValueChanged " + std::to_string(Post) + " " + std::to_string(v) + " " +
                      std::to_string(val.Value.int64) + " " + std::to_string(val.TimeStamp));
    }
    HRESULT PostDeleted(int8_t Post) override {
        return Record("PostDeleted " + std::to_string(Post));
    }
    HRESULT PostWithoutChanges(int8_t Post, plat::DATE d) override {
        return Record("PostWithoutChanges " + std::to_string(Post) + " " + std::to_string(d));
    }

    std::vector<std::string> Events() {
        std::lock_guard lk(m);
        return events;
    }
    std::vector<uint32_t> Threads() {
        std::lock_guard lk(m);
        return threads;
    }
    // Until `n` events have arrived or `ms` passed.
    bool WaitFor(size_t n, int ms) {
        std::unique_lock lk(m);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return events.size() >= n; });
    }

    // While set, every event waits at the gate before it is recorded (a slow client).
    std::atomic<bool> stall{false};

  private:
    HRESULT Record(std::string e) {
        if (stall) g_gate.Pass();
        std::lock_guard lk(m);
        events.push_back(std::move(e));
        threads.push_back(plat::CurrentThreadId());
        cv.notify_all();
        return plat::S_OK;
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<uint32_t> threads;
};

// An emulator's port: answers every frame with its bytes reversed.
class Emu final : public plat::ComObject<tlb::IHWEmu> {
  public:
    HRESULT WriteCall(const WideString& Call) override {
        std::lock_guard lk(m);
        pending = WideString(Call.rbegin(), Call.rend());
        return plat::S_OK;
    }
    HRESULT ReadAnswer(WideString* Answer) override {
        std::lock_guard lk(m);
        *Answer = pending;
        return plat::S_OK;
    }
    HRESULT Purge() override {
        std::lock_guard lk(m);
        pending.clear();
        return plat::S_OK;
    }
    std::mutex m;
    WideString pending;
};

inline int LiveTestObjects() {
    std::lock_guard lk(TestObject::All().m);
    return static_cast<int>(TestObject::All().objects.size());
}

}  // namespace rpctest
