// Fixtures of the OPC server tests: an item tree on a paced clock, leaves with chosen rights,
// a shutdown sink that records and can act, and helpers for task-memory results. The group
// tests add a recording data callback and groups made directly on a fake clock.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/host/OPCServer.h"
#include "tests/host/HostFixture.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/TempRoot.h"

namespace opctest {

using drv::ComPtr;
using plat::HRESULT;

// A leaf with the rights asked for; `friends_only` hides it from every client but a friend.
class TestLeaf : public drv::TSoftLeafItem {
  public:
    TestLeaf(const std::string& name, uint8_t rights, bool friends_only = false)
        : TSoftLeafItem(name, plat::VT_I4), rights_(rights), friends_only_(friends_only) {}
    uint8_t AccessRights() override { return rights_; }
    bool RefusesClient(int client_kind, int) override {
        return friends_only_ && client_kind != drv::kClientFriend;
    }

  private:
    uint8_t rights_;
    bool friends_only_;
};

// Records ShutdownRequest calls with the tick they came at; can fail or act inside the call.
class ShutdownSink : public plat::ComObject<opc::IOPCShutdown> {
  public:
    HRESULT ShutdownRequest(const char16_t* reason) override {
        {
            std::lock_guard lk(m_);
            reasons_.push_back(reason ? std::u16string(reason) : u"(null)");
            ticks_.push_back(plat::GetTickCount());
        }
        if (on_call) on_call();
        return result.load();
    }
    std::vector<std::u16string> Reasons() {
        std::lock_guard lk(m_);
        return reasons_;
    }
    std::vector<uint32_t> Ticks() {
        std::lock_guard lk(m_);
        return ticks_;
    }
    std::atomic<HRESULT> result{plat::S_OK};
    std::function<void()> on_call;  // set before the call can come

  private:
    std::mutex m_;
    std::vector<std::u16string> reasons_;
    std::vector<uint32_t> ticks_;
};

// Log lines seen through the protocol hook.
inline size_t LinesContaining(const std::string& text) {
    return static_cast<size_t>(testsupport::ProtocolLines::Count(text));
}

// Takes a task-memory string and frees it.
inline std::string TakeString(char16_t* p) {
    std::string s = p ? plat::WideToUtf8(p) : std::string("(null)");
    plat::CoTaskMemFree(p);
    return s;
}

// Reads a whole IEnumString, one name per Next, and frees the names.
inline std::vector<std::string> ReadAll(opc::IEnumString* e) {
    std::vector<std::string> out;
    char16_t* s = nullptr;
    while (e->Next(1, &s, nullptr) == plat::S_OK) out.push_back(TakeString(s));
    return out;
}

// An item tree with System and the given posts, a protocol hook, on a paced clock.
class OpcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         "PROTOCOL=0 DISABLEALLPORTS=1"),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        testsupport::ProtocolLines::Clear();
        drv::InitNameSpace();
        // In place of the tree's own hook (the System error items), which the tests do not read.
        drv::SetProtocolHook(&testsupport::ProtocolLines::Record);
        blocks_at_start_ = plat::CoTaskMemLiveBlocks();
    }
    void TearDown() override {
        EXPECT_TRUE(hosttest::Eventually([] { return drv::TAdviseThread::Running() == 0; }))
            << "an advise thread kept running";
        EXPECT_FALSE(drv::OPCServerExists()) << "a server object was left alive";
        leaves_.clear();
        drv::DoneNameSpace();
        drv::DoneProtocol();
    }

    // Post1 ... Post<n>, each with a read-only State and a writable DozeV.
    void MakePosts(int n) {
        for (int i = 1; i <= n; ++i) {
            const int32_t branch = drv::FindOrCreateBranch(-1, "", "Post" + std::to_string(i));
            AddLeaf(branch, "State", 1);
            AddLeaf(branch, "DozeV", 3);
        }
    }
    ComPtr<TestLeaf> AddLeaf(int32_t branch, const std::string& name, uint8_t rights,
                             bool friends_only = false) {
        auto leaf = drv::New<TestLeaf>(name, rights, friends_only);
        leaf->AddToNS(branch);
        leaves_.push_back(leaf);
        return leaf;
    }

    // Samples flow into every leaf while a client adds the State and DozeV items of Post1 ...
    // Post4 to `g`, calls `between` with their handles, and removes them again, round after
    // round, until `enough` holds (or 20 s pass, a failure) and 200 ms more.
    void Churn(drv::TGroup& g, const std::function<void(std::vector<opc::OPCHANDLE>&)>& between,
               const std::function<bool()>& enough) {
        std::atomic<bool> stop{false};
        std::thread samples([&] {
            int32_t v = 0;
            while (!stop.load()) {
                for (auto& leaf : leaves_)
                    leaf->NewSample(plat::Variant::I4(++v), drv::OPC_QUALITY_GOOD,
                                    plat::NowLocal());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::thread client([&] {
            std::vector<std::u16string> ids;
            for (int i = 1; i <= 4; ++i) {
                ids.push_back(plat::Utf8ToWide("Post" + std::to_string(i) + ".State"));
                ids.push_back(plat::Utf8ToWide("Post" + std::to_string(i) + ".DozeV"));
            }
            std::vector<opc::OPCITEMDEF> defs(ids.size());
            for (size_t i = 0; i < ids.size(); ++i) {
                defs[i].szItemID = ids[i].data();
                defs[i].bActive = 1;
            }
            while (!stop.load()) {
                opc::OPCITEMRESULT* res = nullptr;
                HRESULT* err = nullptr;
                if (g.AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err) !=
                    plat::S_OK)
                    break;
                std::vector<opc::OPCHANDLE> h;
                for (size_t i = 0; i < defs.size(); ++i) h.push_back(res[i].hServer);
                plat::CoTaskMemFree(res);
                plat::CoTaskMemFree(err);
                between(h);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                g.RemoveItems(static_cast<uint32_t>(h.size()), h.data(), &err);
                plat::CoTaskMemFree(err);
            }
        });
        EXPECT_TRUE(hosttest::Eventually(enough, 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
        samples.join();
        client.join();
    }

    // No task memory left behind since SetUp.
    void ExpectNoTaskMemory() { EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks_at_start_); }

    testsupport::TempRoot root_;
    hosttest::PacedClock clock_{5};
    std::vector<ComPtr<TestLeaf>> leaves_;
    size_t blocks_at_start_ = 0;
};

// --- groups ----------------------------------------------------------------------------------
// One entry of a callback.
struct CbEntry {
    opc::OPCHANDLE client = 0;
    plat::VARTYPE vt = plat::VT_EMPTY;
    int32_t value = 0;
    uint16_t quality = 0;
    HRESULT error = plat::S_OK;
};

struct CbCall {
    std::string method;
    uint32_t trans = 0;
    opc::OPCHANDLE group = 0;
    HRESULT master_quality = plat::S_OK;
    HRESULT master_error = plat::S_OK;
    std::vector<CbEntry> entries;
};

// Records every callback; answers `result`.
class DataSink : public plat::ComObject<opc::IOPCDataCallback> {
  public:
    HRESULT OnDataChange(uint32_t trans, opc::OPCHANDLE group, HRESULT mq, HRESULT me, uint32_t n,
                         const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* q,
                         const plat::FILETIME*, const HRESULT* e) override {
        return Note("OnDataChange", trans, group, mq, me, n, h, v, q, e);
    }
    HRESULT OnReadComplete(uint32_t trans, opc::OPCHANDLE group, HRESULT mq, HRESULT me, uint32_t n,
                           const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* q,
                           const plat::FILETIME*, const HRESULT* e) override {
        return Note("OnReadComplete", trans, group, mq, me, n, h, v, q, e);
    }
    HRESULT OnWriteComplete(uint32_t trans, opc::OPCHANDLE group, HRESULT me, uint32_t n,
                            const opc::OPCHANDLE* h, const HRESULT* e) override {
        return Note("OnWriteComplete", trans, group, plat::S_OK, me, n, h, nullptr, nullptr, e);
    }
    HRESULT OnCancelComplete(uint32_t, opc::OPCHANDLE) override { return plat::S_OK; }

    std::vector<CbCall> Calls() {
        std::lock_guard lk(m_);
        return calls_;
    }
    size_t Count() {
        std::lock_guard lk(m_);
        return calls_.size();
    }
    std::vector<CbCall> Take() {
        std::lock_guard lk(m_);
        return std::exchange(calls_, {});
    }
    std::atomic<HRESULT> result{plat::S_OK};

  private:
    HRESULT Note(const char* method, uint32_t trans, opc::OPCHANDLE group, HRESULT mq, HRESULT me,
                 uint32_t n, const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* q,
                 const HRESULT* e) {
        CbCall c{method, trans, group, mq, me, {}};
        for (uint32_t i = 0; i < n; ++i) {
            CbEntry x;
            x.client = h[i];
            x.error = e[i];
            if (v) {
                x.vt = v[i].vt;
                x.value = v[i].vt == plat::VT_I4 ? v[i].lVal : 0;
                x.quality = q[i];
            }
            c.entries.push_back(x);
        }
        std::lock_guard lk(m_);
        calls_.push_back(std::move(c));
        return result.load();
    }
    std::mutex m_;
    std::vector<CbCall> calls_;
};

// Connects `sink` to the group's data-callback point; the cookie comes back.
inline uint32_t Connect(drv::TGroup& g, DataSink* sink) {
    ComPtr<plat::IConnectionPoint> cp;
    plat::IConnectionPoint* raw = nullptr;
    EXPECT_EQ(g.FindConnectionPoint(opc::IID_IOPCDataCallback, &raw), plat::S_OK);
    cp = ComPtr<plat::IConnectionPoint>::Attach(raw);
    uint32_t cookie = 0;
    EXPECT_EQ(cp->Advise(static_cast<opc::IOPCDataCallback*>(sink), &cookie), plat::S_OK);
    return cookie;
}

inline std::vector<HRESULT> TakeErrors(HRESULT* e, size_t n) {
    std::vector<HRESULT> out(e, e + (e ? n : 0));
    plat::CoTaskMemFree(e);
    return out;
}

// A sync Read's answer, freed.
struct ReadEntry {
    opc::OPCHANDLE client = 0;
    plat::VARTYPE vt = plat::VT_EMPTY;
    int32_t value = 0;
    uint16_t quality = 0;
    HRESULT error = plat::S_OK;
};
inline std::vector<ReadEntry> TakeStates(opc::OPCITEMSTATE* s, HRESULT* e, size_t n) {
    std::vector<ReadEntry> out;
    for (size_t i = 0; s && i < n; ++i) {
        out.push_back({s[i].hClient, s[i].vDataValue.vt,
                       s[i].vDataValue.vt == plat::VT_I4 ? s[i].vDataValue.lVal : 0, s[i].wQuality,
                       e[i]});
        s[i].~OPCITEMSTATE();
    }
    plat::CoTaskMemFree(s);
    plat::CoTaskMemFree(e);
    return out;
}

// A group made directly (no server, no advise thread) on a fake clock that the test moves;
// the test runs the callback step itself.
class OpcGroupTest : public OpcTest {
  protected:
    ComPtr<drv::TGroup> MakeGroup(uint8_t kind = drv::kClientOther, bool active = true,
                                  uint32_t rate = 100) {
        drv::TGroupArgs a;
        a.requested_rate = rate;
        a.active = active;
        a.client_kind = kind;
        a.client_handle = 77;
        return drv::New<drv::TGroup>(std::weak_ptr<drv::TServerCore>(), a);
    }

    // Adds the named items with client handles 100, 101, ...; the server handles come back.
    std::vector<opc::OPCHANDLE> Add(drv::TGroup& g, const std::vector<std::string>& names,
                                    HRESULT* call = nullptr, std::vector<HRESULT>* errors = nullptr,
                                    bool active = true) {
        std::vector<std::u16string> ids;
        for (auto& n : names) ids.push_back(plat::Utf8ToWide(n));
        std::vector<opc::OPCITEMDEF> defs(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            defs[i].szItemID = ids[i].data();
            defs[i].bActive = active ? 1 : 0;
            defs[i].hClient = static_cast<opc::OPCHANDLE>(100 + i);
            defs[i].vtRequestedDataType = plat::VT_EMPTY;
        }
        opc::OPCITEMRESULT* res = nullptr;
        HRESULT* err = nullptr;
        HRESULT hr = g.AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err);
        if (call) *call = hr;
        std::vector<opc::OPCHANDLE> handles;
        for (size_t i = 0; res && i < names.size(); ++i) {
            handles.push_back(err[i] == plat::S_OK ? res[i].hServer : 0xFFFFFFFFu);
            if (errors) errors->push_back(err[i]);
        }
        plat::CoTaskMemFree(res);
        plat::CoTaskMemFree(err);
        return handles;
    }

    std::vector<ReadEntry> SyncRead(drv::TGroup& g, opc::OPCDATASOURCE src,
                                    const std::vector<opc::OPCHANDLE>& h, HRESULT* call = nullptr) {
        opc::OPCITEMSTATE* s = nullptr;
        HRESULT* e = nullptr;
        HRESULT hr = static_cast<opc::IOPCSyncIO&>(g).Read(src, static_cast<uint32_t>(h.size()),
                                                           h.data(), &s, &e);
        if (call) *call = hr;
        return TakeStates(s, e, h.size());
    }

    void Sample(drv::TLeafItem& leaf, int32_t v) {
        leaf.NewSample(plat::Variant::I4(v), drv::OPC_QUALITY_GOOD, plat::NowLocal());
    }

    // Moves the clock and runs one callback step.
    void Step(drv::TGroup& g, uint32_t ms = 100) {
        fake_->Advance(ms);
        g.CallbackStep();
    }

    plat::ScopedFakeClock fake_;
};

}  // namespace opctest
