// A stand-in for the service's post access: posts and their variables held in memory, every call
// recorded with the thread it came on, and events fired at the registered sink from a thread of
// its own, as the transport delivers them. A method can be made to hang as a stopped service does.
#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com/error.h"
#include "platform/com/object.h"
#include "service/typelib/TypeLib.h"
#include "tests/support/Eventually.h"

namespace clitest {

using plat::HRESULT;
using plat::S_OK;

struct FakeVar {
    int32_t code = 0;
    std::u16string name;
    int64_t value = 0;  // x 10000
    double stamp = 0;
    uint32_t idle = 1000;
    uint32_t work = 100;
    int64_t min = INT64_MIN;  // the limits GetVariable gives, x 10000
    int64_t max = INT64_MAX;
    int64_t step = 1;
};

struct FakePost {
    int32_t state = tlb::csIdle;
    std::vector<FakeVar> vars;  // in the service's ordinal order
};

class FakeNorvalt : public plat::ComObject<tlb::INorvalt> {
  public:
    // Set up before the form binds.
    std::map<int, FakePost> posts;
    std::set<std::pair<int, int>> jumps;  // allowed (from, to)
    tlb::TCmdID set_state_result = tlb::CmdBegin;
    tlb::TCmdID get_result = 0;
    tlb::TCmdID set_var_result = tlb::CmdBegin;  // anything else refuses the write
    std::string fail_method;                     // this method answers fail_hr with fail_text
    HRESULT fail_hr = plat::E_FAIL;
    std::string fail_text = "the call failed";
    std::string hang_method;  // this method ("*": every one) waits until Unhang, at most 5 s

    void Unhang() {
        std::lock_guard lk(hang_m_);
        unhung_ = true;
        hang_cv_.notify_all();
    }
    // Calls of hang_method waiting now.
    int Hanging() {
        std::lock_guard lk(hang_m_);
        return hanging_;
    }

    HRESULT StateJumpValid(int16_t post, tlb::TVariableEnum from, tlb::TVariableEnum to,
                           int32_t* res) override {
        if (HRESULT hr = Note("StateJumpValid", {post, from, to})) return hr;
        *res = jumps.count({from, to}) ? 0 : tlb::E_INCOMPATIBLESTATE;
        return S_OK;
    }
    HRESULT GetState(int16_t post, tlb::TState* st) override {
        if (HRESULT hr = Note("GetState", {post})) return hr;
        *st = {tlb::csNone, 0};
        if (auto it = posts.find(post); it != posts.end())
            st->Value = static_cast<tlb::TStateEnum>(it->second.state);
        return S_OK;
    }
    HRESULT SetState(int16_t post, tlb::TStateEnum s, tlb::TCmdID* res) override {
        if (HRESULT hr = Note("SetState", {post, s})) return hr;
        *res = set_state_result;
        return S_OK;
    }
    HRESULT ReReadVarValue(int16_t post, tlb::TVariableEnum v, int32_t* res) override {
        if (HRESULT hr = Note("ReReadVarValue", {post, v})) return hr;
        *res = 0;
        return S_OK;
    }
    HRESULT GetVariablesCount(int16_t post, int32_t* count, int32_t* res) override {
        if (HRESULT hr = Note("GetVariablesCount", {post})) return hr;
        auto it = posts.find(post);
        *count = it == posts.end() ? 0 : static_cast<int32_t>(it->second.vars.size());
        *res = it == posts.end() ? tlb::E_UNKNOWNPOST : 0;
        return S_OK;
    }
    HRESULT GetVariable(int16_t post, int32_t n, tlb::TVariableInfo* info, int32_t* res) override {
        if (HRESULT hr = Note("GetVariable", {post, n})) return hr;
        *info = {};
        const FakeVar* v = Find(post, n);
        *res = v ? 0 : plat::E_INVALIDARG;
        if (v) {
            info->Code = static_cast<tlb::TVariableEnum>(v->code);
            info->Name = v->name;
            info->IsReadable = info->IsWriteable = plat::VARIANT_TRUE;
            info->MinValue.int64 = v->min;
            info->MaxValue.int64 = v->max;
            info->Step.int64 = v->step;
        }
        return S_OK;
    }
    HRESULT SetVarValue(int16_t post, tlb::TVariableEnum var, plat::Currency value,
                        tlb::TCmdID* res) override {
        if (HRESULT hr = Note("SetVarValue", {post, var, value.int64})) return hr;
        *res = set_var_result;
        if (set_var_result < tlb::CmdBegin) return S_OK;
        if (FakeVar* v = FindCode(post, var)) v->value = value.int64;
        return S_OK;
    }
    HRESULT GetVarValue(int16_t post, tlb::TVariableEnum var, tlb::TVariableValue* val,
                        int32_t* res) override {
        if (HRESULT hr = Note("GetVarValue", {post, var})) return hr;
        *val = {};
        const FakeVar* v = FindCode(post, var);
        *res = v ? 0 : tlb::E_BADVARIABLE;
        if (v) *val = {plat::Currency{v->value}, v->stamp};
        return S_OK;
    }
    HRESULT TryResult(tlb::TCmdID id, tlb::TCmdID* res) override {
        if (HRESULT hr = Note("TryResult", {id})) return hr;
        *res = get_result;
        return S_OK;
    }
    HRESULT GetResult(tlb::TCmdID id, tlb::TCmdID* res) override {
        if (HRESULT hr = Note("GetResult", {id})) return hr;
        *res = get_result;
        return S_OK;
    }
    HRESULT GetVarInterval(int16_t post, tlb::TVariableEnum var, uint32_t* idle, uint32_t* work,
                           int32_t* res) override {
        if (HRESULT hr = Note("GetVarInterval", {post, var})) return hr;
        const FakeVar* v = FindCode(post, var);
        *idle = v ? v->idle : 1000;
        *work = v ? v->work : 100;
        *res = 0;
        return S_OK;
    }
    HRESULT SetVarInterval(int16_t post, tlb::TVariableEnum var, uint32_t idle, uint32_t work,
                           int32_t* res) override {
        if (HRESULT hr = Note("SetVarInterval", {post, var, idle, work})) return hr;
        *res = plat::E_NOTIMPL;
        return S_OK;
    }
    HRESULT RegisterSinkInterface(tlb::INorvaltEvents* sink) override {
        if (HRESULT hr = Note("RegisterSinkInterface", {})) return hr;
        std::lock_guard lk(m_);
        sink_ = sink;
        return S_OK;
    }
    HRESULT RegisterSinkInterfaceEx(tlb::INorvaltEventsEx*) override {
        return Note("RegisterSinkInterfaceEx", {}) ? plat::E_FAIL : plat::E_NOTIMPL;
    }
    HRESULT UnRegisterSinkInterface() override {
        HRESULT hr = Note("UnRegisterSinkInterface", {});
        std::lock_guard lk(m_);
        sink_ = nullptr;
        return hr;
    }
    HRESULT BandUsed(double* res) override {
        if (HRESULT hr = Note("BandUsed", {})) return hr;
        *res = 1.0;
        return S_OK;
    }

    // Runs fn with the registered sink on a thread of its own and waits for it.
    void Fire(const std::function<void(tlb::INorvaltEvents&)>& fn) {
        plat::ComPtr<tlb::INorvaltEvents> sink;
        {
            std::lock_guard lk(m_);
            sink = sink_;
        }
        ASSERT_TRUE(sink) << "no sink registered";
        std::thread([&] { fn(*sink); }).join();
    }
    bool HasSink() {
        std::lock_guard lk(m_);
        return static_cast<bool>(sink_);
    }

    std::vector<std::string> Calls() {
        std::lock_guard lk(m_);
        return calls_;
    }
    // Calls whose text begins with `prefix`.
    std::vector<std::string> CallsOf(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& c : Calls())
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }
    void ClearCalls() {
        std::lock_guard lk(m_);
        calls_.clear();
    }
    // Calls that came on the thread that made this fake (the GUI thread), which a call would
    // stop while it lasts.
    int GuiThreadCalls() {
        std::lock_guard lk(m_);
        return gui_thread_;
    }

  private:
    HRESULT Note(const std::string& method, std::initializer_list<int64_t> args) {
        std::string c = method;
        for (int64_t a : args) c += " " + std::to_string(a);
        bool hang = false;
        {
            std::lock_guard lk(m_);
            calls_.push_back(c);
            if (std::this_thread::get_id() == owner_) ++gui_thread_;
            hang = method == hang_method || hang_method == "*";
        }
        if (hang) {
            std::unique_lock lk(hang_m_);
            ++hanging_;
            hang_cv_.wait_for(lk, std::chrono::seconds(5), [&] { return unhung_; });
            --hanging_;
        }
        std::lock_guard lk(m_);
        if (method == fail_method) {
            plat::SetErrorText(fail_text);
            return fail_hr;
        }
        return S_OK;
    }
    FakeVar* Find(int post, int n) {
        auto it = posts.find(post);
        if (it == posts.end() || n < 0 || n >= static_cast<int>(it->second.vars.size()))
            return nullptr;
        return &it->second.vars[n];
    }
    FakeVar* FindCode(int post, int code) {
        auto it = posts.find(post);
        if (it == posts.end()) return nullptr;
        for (auto& v : it->second.vars)
            if (v.code == code) return &v;
        return nullptr;
    }

    std::mutex m_;
    std::vector<std::string> calls_;
    int gui_thread_ = 0;
    std::mutex hang_m_;
    std::condition_variable hang_cv_;
    bool unhung_ = false;
    int hanging_ = 0;
    const std::thread::id owner_ = std::this_thread::get_id();
    plat::ComPtr<tlb::INorvaltEvents> sink_;
};

// Runs the GUI thread's queue until pred holds, for up to `ms` of real time.
template <class Pred>
bool PumpUntil(Pred pred, int ms = 10000) {
    return testsupport::Eventually(
        pred, ms, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

// Lets whatever is queued for the GUI thread run.
inline void Drain() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace clitest
