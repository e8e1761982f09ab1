// The transport server that the client processes of tests/host/*_child.cpp talk to, with the
// DA2 class served in this process, and the reading of a child's lines.
#pragma once
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/server.h"
#include "platform/types/cotaskmem.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"

namespace hosttest {

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines) s += l + "\n";
    return s;
}

inline bool Has(const std::vector<std::string>& lines, const std::string& want) {
    return std::find(lines.begin(), lines.end(), want) != lines.end();
}

class RemoteTest : public HostTest {
  protected:
    // The object behind each connect to the DA2 class; plain servers unless a test says.
    virtual HRESULT Serve(const plat::IID& iid, void** out) {
        return drv::TOPCServer::Create<drv::TOPCServer>()->QueryInterface(iid, out);
    }

    void SetUp() override {
        HostTest::SetUp();
        tlb::RegisterTypeLibInterfaces();
        opc::RegisterOpcDaInterfaces();
        // The unprivileged client must reach the registry and the socket.
        ASSERT_EQ(::chmod(root_.Path().c_str(), 0755), 0);
        auto factory = plat::MakeCom<plat::FunctionClassFactory>(
            [this](const plat::IID& iid, void** out) -> HRESULT { return Serve(iid, out); });
        cookie_ = plat::RegisterClassObject(tlb::CLSID_DA2, factory.Get());
        ASSERT_NE(cookie_, 0u);
        ASSERT_EQ(RegisterTestClass(tlb::CLSID_DA2, tlb::kHelpDA2), plat::ERROR_SUCCESS);
        socket_ = root_.Path() + "/run/NorvaltDrv.sock";
        plat::rpc::ServerOptions o = LocalTransport(socket_);
        if (struct group* g = ::getgrgid(65534)) o.socket_group = g->gr_name;
        ASSERT_EQ(server_.Start(o), plat::S_OK) << plat::GetErrorText();
        blocks_at_start_ = plat::CoTaskMemLiveBlocks();
    }
    void TearDown() override {
        children_.clear();
        server_.Stop();
        plat::RevokeClassObject(cookie_);
        EXPECT_TRUE(Eventually([] { return !drv::OPCServerExists(); }))
            << "a server outlived its client";
        EXPECT_TRUE(Eventually([] { return drv::TAdviseThread::Running() == 0; }));
        HostTest::TearDown();
    }

    HostChild& Child(const std::string& scenario,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
        env.push_back({"NORVALT_ROOT", root_.Path()});
        env.push_back({"NORVALT_SOCKET", socket_});
        // As an unprivileged user where this test may switch to one.
        if (::geteuid() == 0) env.push_back({"NORVALT_HOST_DROP", "1"});
        children_.push_back(std::make_unique<HostChild>(scenario, env));
        return *children_.back();
    }

    // No task memory of this process is left by the calls served so far.
    bool ServerTaskMemoryBack() {
        return Eventually([&] { return plat::CoTaskMemLiveBlocks() == blocks_at_start_; });
    }

    // Reads the child's lines until `last`, a failure or its end. At each "sync <tag>" the
    // server's task memory is checked and `at_sync` looks; the child is sent what it returns
    // (when it returns a string), "go" otherwise.
    template <class AtSync>
    std::vector<std::string> Play(HostChild& child, const std::string& last, AtSync&& at_sync) {
        std::vector<std::string> lines;
        for (std::string line; !(line = child.ReadLine(60000)).empty();) {
            lines.push_back(line);
            if (line.rfind("sync ", 0) == 0) {
                EXPECT_TRUE(ServerTaskMemoryBack())
                    << "at " << line << ": " << plat::CoTaskMemLiveBlocks() - blocks_at_start_
                    << " blocks left";
                std::string answer;
                if constexpr (std::is_void_v<std::invoke_result_t<AtSync, const std::string&>>)
                    at_sync(line.substr(5));
                else
                    answer = at_sync(line.substr(5));
                child.Send(answer.empty() ? "go" : answer);
            }
            if (line == last || line.rfind("FAIL", 0) == 0 || line.rfind("create", 0) == 0) break;
        }
        return lines;
    }
    std::vector<std::string> Play(HostChild& child, const std::string& last) {
        return Play(child, last, [](const std::string&) {});
    }

    uint32_t cookie_ = 0;
    std::string socket_;
    plat::rpc::Server server_;
    std::vector<std::unique_ptr<HostChild>> children_;
    size_t blocks_at_start_ = 0;
};

}  // namespace hosttest
