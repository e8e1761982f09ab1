// How the component layer hands creation outside the process to the transport.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/sysroot/sysroot.h"
#include "tests/rpc/TestObjects.h"
#include "tests/support/TempRoot.h"

using namespace rpctest;
using plat::S_OK;

namespace {

const plat::CLSID kClsid = plat::GuidOf("{5E0F3A21-7C4B-4D9A-9B1E-2F6A8C3D5E71}");

struct Call {
    int count = 0;
    std::string computer;
    std::string socket_path;
    plat::CLSID clsid{};
};
Call g_call;

HRESULT Recording(std::string_view computer, const std::string& socket_path,
                  const plat::CLSID& clsid, const plat::IID&, void** out) {
    ++g_call.count;
    g_call.computer = std::string(computer);
    g_call.socket_path = socket_path;
    g_call.clsid = clsid;
    *out = nullptr;
    return plat::E_ACCESSDENIED;
}

// Swaps the installed creator for the test's and puts the transport's back afterwards.
class OutOfProcess : public ::testing::Test {
  protected:
    testsupport::TempRoot root;
    plat::OutOfProcessCreator saved = nullptr;

    void SetUp() override {
        g_call = {};
        saved = plat::SetOutOfProcessCreator(nullptr);
    }
    void TearDown() override { plat::SetOutOfProcessCreator(saved); }

    void RegisterWithSocket(const std::string& socket) {
        plat::ClassRegistration r;
        r.clsid = kClsid;
        r.server_path = "/usr/sbin/NorvaltDrv";
        r.socket_path = socket;
        ASSERT_EQ(plat::RegisterClass(r), plat::ERROR_SUCCESS);
    }
};

// Each test runs in a process of its own, so nothing here has started a server or named the
// transport before this point: the creator must already be in place.
TEST_F(OutOfProcess, TheTransportIsInstalledBeforeMain) {
    EXPECT_NE(saved, nullptr);
}

TEST_F(OutOfProcess, LocalServerAndNamedComputerReachTheCreator) {
    plat::SetOutOfProcessCreator(&Recording);
    RegisterWithSocket(root.Path() + "/other.sock");
    ComPtr<tlb::IHWEmu> emu;
    EXPECT_EQ(plat::CreateInstance(kClsid, emu), plat::E_ACCESSDENIED);
    EXPECT_EQ(g_call.count, 1);
    EXPECT_EQ(g_call.computer, "");
    EXPECT_EQ(g_call.socket_path, root.Path() + "/other.sock");
    EXPECT_EQ(g_call.clsid, kClsid);

    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "far-away:4851"), plat::E_ACCESSDENIED);
    EXPECT_EQ(g_call.count, 2);
    EXPECT_EQ(g_call.computer, "far-away:4851");
    EXPECT_EQ(g_call.socket_path, "");

    // Refusals decided in this process never reach it.
    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "far-away", plat::CLSCTX_LOCAL_SERVER),
              plat::E_INVALIDARG);
    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "", plat::CLSCTX_INPROC_SERVER),
              plat::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(g_call.count, 2);
}

TEST_F(OutOfProcess, WithoutTransportCreationFailsWithAReason) {
    RegisterWithSocket("");
    ComPtr<tlb::IHWEmu> emu;
    EXPECT_EQ(plat::CreateInstance(kClsid, emu), plat::E_NOTIMPL);
    EXPECT_FALSE(plat::GetErrorText().empty());
    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "far-away"), plat::E_NOTIMPL);
    EXPECT_FALSE(emu);

    // A class object of this process needs no transport.
    auto factory = plat::MakeClassFactory<Emu>();
    uint32_t cookie = plat::RegisterClassObject(kClsid, factory.Get());
    ASSERT_NE(cookie, 0u);
    EXPECT_EQ(plat::CreateInstance(kClsid, emu), S_OK);
    EXPECT_TRUE(emu);
    EXPECT_EQ(plat::RevokeClassObject(cookie), S_OK);
}

}  // namespace

namespace {

TEST(DefaultSocket, TheInstalledRootUsesTheSocketUnitsPathUnderRun) {
    const char* env = std::getenv("NORVALT_SOCKET");
    const std::string saved = env ? env : "";
    ::unsetenv("NORVALT_SOCKET");
    plat::SetSystemRoot("/var/lib/norvalt");
    EXPECT_EQ(plat::rpc::DefaultSocketPath(), "/run/norvalt/NorvaltDrv.sock")
        << "clients on a station reach the service without a setting";
    plat::SetSystemRoot("/srv/norvalt-test/");
    EXPECT_EQ(plat::rpc::DefaultSocketPath(), "/srv/norvalt-test/run/NorvaltDrv.sock");
    plat::SetSystemRoot("");
    if (env) ::setenv("NORVALT_SOCKET", saved.c_str(), 1);
}

}  // namespace
