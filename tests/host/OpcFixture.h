// Fixtures of the OPC server tests: an item tree on a paced clock, leaves with chosen rights,
// a shutdown sink that records and can act, and helpers for task-memory results.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/OPCCache.h"
#include "service/core/PortManager.h"
#include "service/core/TxtProt.h"
#include "service/host/OPCServer.h"
#include "tests/host/HostFixture.h"
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
inline std::mutex g_lines_mutex;
inline std::vector<std::string> g_lines;
inline void RecordLine(const std::string& text, int) {
    std::lock_guard lk(g_lines_mutex);
    g_lines.push_back(text);
}
inline size_t LinesContaining(const std::string& text) {
    std::lock_guard lk(g_lines_mutex);
    size_t n = 0;
    for (auto& l : g_lines) n += l.find(text) != std::string::npos;
    return n;
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
        {
            std::lock_guard lk(g_lines_mutex);
            g_lines.clear();
        }
        drv::InitNameSpace();
        // In place of the tree's own hook (the System error items), which the tests do not read.
        drv::SetProtocolHook(&RecordLine);
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

    // No task memory left behind since SetUp.
    void ExpectNoTaskMemory() { EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks_at_start_); }

    testsupport::TempRoot root_;
    hosttest::PacedClock clock_{5};
    std::vector<ComPtr<TestLeaf>> leaves_;
    size_t blocks_at_start_ = 0;
};

}  // namespace opctest
