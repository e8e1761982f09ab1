// The component layer without a second process: class table, registration records, creation
// paths, the administrator test and connection points.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/registry/registry.h"
#include "tests/rpc/RpcFixture.h"

using namespace rpctest;
using plat::S_OK;
namespace reg = plat::reg;

namespace {

const plat::CLSID kClsid = plat::GuidOf("{0B5C4A10-5E3D-4C1B-8E2F-7A6B5C4D3E2F}");

TEST(ComObject, OneCountAndTheListedInterfaces) {
    auto sink = plat::MakeCom<Sink>();
    EXPECT_EQ(sink->RefCount(), 1u);
    auto ev = plat::QueryAs<tlb::INorvaltEvents>(sink.Get());
    auto ex = plat::QueryAs<tlb::INorvaltEventsEx>(sink.Get());
    ASSERT_TRUE(ev && ex);
    EXPECT_EQ(sink->RefCount(), 3u);
    EXPECT_EQ(plat::QueryAs<plat::IUnknown>(ev.Get()).Get(),
              plat::QueryAs<plat::IUnknown>(ex.Get()).Get());
    EXPECT_FALSE(plat::QueryAs<tlb::IHWEmu>(sink.Get()));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(sink->QueryInterface(tlb::IID_IHWEmu, &out), plat::E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ev = nullptr;
    ex = nullptr;
    EXPECT_EQ(sink->RefCount(), 1u);
}

class Com : public ::testing::Test {
  protected:
    testsupport::TempRoot root;
    void SetUp() override { RegisterAll(); }
};

TEST_F(Com, RegistrationWritesAndRemovesTheClassRecords) {
    plat::ClassRegistration r;
    r.clsid = kClsid;
    r.description = "Norvalt OPC DA2 Server";
    r.prog_id = "NorvaltDrv.Test";
    r.server_path = "/usr/sbin/NorvaltDrv";
    r.app_id = "{BEAA345D-B824-45B7-87AD-7E838E9FAA91}";
    r.socket_path = "/run/other.sock";
    ASSERT_EQ(plat::RegisterClass(r), plat::ERROR_SUCCESS);
    const std::string key = "CLSID\\" + plat::FormatGuid(kClsid);
    std::string v;
    EXPECT_EQ(reg::ReadString(reg::Hive::ClassesRoot, key, "", v), plat::ERROR_SUCCESS);
    EXPECT_EQ(v, "Norvalt OPC DA2 Server");
    reg::ReadString(reg::Hive::ClassesRoot, key, "AppID", v);
    EXPECT_EQ(v, r.app_id);
    reg::ReadString(reg::Hive::ClassesRoot, key + "\\LocalServer32", "", v);
    EXPECT_EQ(v, "/usr/sbin/NorvaltDrv");
    reg::ReadString(reg::Hive::ClassesRoot, key + "\\ProgID", "", v);
    EXPECT_EQ(v, "NorvaltDrv.Test");
    reg::ReadString(reg::Hive::ClassesRoot, "NorvaltDrv.Test\\CLSID", "", v);
    EXPECT_EQ(v, plat::FormatGuid(kClsid));
    EXPECT_TRUE(plat::IsClassRegistered(kClsid));
    EXPECT_EQ(plat::ClassSocketPath(kClsid), "/run/other.sock");

    ASSERT_EQ(plat::UnregisterClass(kClsid, "NorvaltDrv.Test"), plat::ERROR_SUCCESS);
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, key));
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, "NorvaltDrv.Test"));
    EXPECT_FALSE(plat::IsClassRegistered(kClsid));
}

TEST_F(Com, TypeLibraryRecordsForRemoteInstalls) {
    auto r = tlb::TypeLibRegistrationFor("/opt/norvalt/NorvaltDrv.TLB");
    ASSERT_EQ(plat::RegisterTypeLib(r), plat::ERROR_SUCCESS);
    const std::string lib = "TypeLib\\" + plat::FormatGuid(tlb::LIBID_NorvaltDrv) + "\\1.0";
    std::string v;
    reg::ReadString(reg::Hive::ClassesRoot, lib, "", v);
    EXPECT_EQ(v, "Library for access to Norvalt's hardware");
    reg::ReadString(reg::Hive::ClassesRoot, lib + "\\0\\linux64", "", v);
    EXPECT_EQ(v, "/opt/norvalt/NorvaltDrv.TLB");
    reg::ReadString(reg::Hive::ClassesRoot, lib + "\\HELPDIR", "", v);
    EXPECT_EQ(v, "/opt/norvalt");
    reg::ReadString(reg::Hive::ClassesRoot, "Interface\\" + plat::FormatGuid(tlb::IID_IHWEmu), "",
                    v);
    EXPECT_EQ(v, "IHWEmu");
    ASSERT_EQ(plat::UnregisterTypeLib(r), plat::ERROR_SUCCESS);
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot,
                                "TypeLib\\" + plat::FormatGuid(tlb::LIBID_NorvaltDrv)));
    EXPECT_FALSE(
        reg::KeyExists(reg::Hive::ClassesRoot, "Interface\\" + plat::FormatGuid(tlb::IID_IHWEmu)));
}

TEST_F(Com, CreationPathsAndTheirFailures) {
    void* p = nullptr;
    EXPECT_EQ(plat::CreateInstance(kClsid, plat::CLSCTX_SERVER, "", tlb::IID_IHWEmu, &p),
              plat::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(plat::GetErrorText(), "Class not registered");

    // A class object of this process is used directly.
    std::atomic<bool> stopping{false};
    auto factory =
        plat::MakeCom<plat::FunctionClassFactory>([&](const plat::IID& iid, void** out) -> HRESULT {
            if (stopping) throw plat::ComError(plat::CO_E_SERVER_STOPPING, "Process is stopping");
            return plat::MakeCom<Emu>()->QueryInterface(iid, out);
        });
    uint32_t cookie = plat::RegisterClassObject(kClsid, factory.Get());
    ASSERT_NE(cookie, 0u);
    EXPECT_EQ(plat::RegisterClassObject(kClsid, factory.Get()), 0u) << "one class object per CLSID";
    ComPtr<tlb::IHWEmu> emu;
    ASSERT_EQ(plat::CreateInstance(kClsid, emu), S_OK);
    EXPECT_FALSE(plat::rpc::AsProxy(emu.Get())) << "created in process, not through the transport";
    stopping = true;
    EXPECT_EQ(plat::CreateInstance(kClsid, emu), plat::CO_E_SERVER_STOPPING);
    EXPECT_EQ(plat::GetErrorText(), "Process is stopping");
    EXPECT_FALSE(emu);
    ComPtr<tlb::INorvalt> n;
    stopping = false;
    EXPECT_EQ(plat::CreateInstance(kClsid, n), plat::E_NOINTERFACE);
    EXPECT_EQ(plat::RevokeClassObject(cookie), S_OK);
    EXPECT_EQ(plat::RevokeClassObject(cookie), plat::E_INVALIDARG);

    // Registered, but no server listens.
    plat::ClassRegistration r;
    r.clsid = kClsid;
    r.server_path = "/usr/sbin/NorvaltDrv";
    r.socket_path = root.Path() + "/nobody-listens.sock";
    ASSERT_EQ(plat::RegisterClass(r), plat::ERROR_SUCCESS);
    EXPECT_EQ(plat::CreateInstance(kClsid, emu), plat::rpc::CO_E_SERVER_EXEC_FAILURE);
    EXPECT_NE(plat::GetErrorText().find("nobody-listens.sock"), std::string::npos)
        << plat::GetErrorText();
    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "far-away", plat::CLSCTX_LOCAL_SERVER),
              plat::E_INVALIDARG);
    EXPECT_EQ(plat::CreateInstance(kClsid, emu, "127.0.0.1:1"),
              plat::rpc::RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(Com, ThisComputerByNameOrLocalhost) {
    EXPECT_TRUE(plat::IsLocalComputer(""));
    EXPECT_TRUE(plat::IsLocalComputer("LOCALHOST"));
    std::string self = plat::LocalComputerName();
    for (auto& c : self) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(plat::IsLocalComputer(self));
    EXPECT_FALSE(plat::IsLocalComputer("127.0.0.1"));
    EXPECT_FALSE(plat::IsLocalComputer(self + "x"));
}

TEST_F(Com, AdministratorsAreRootAndTheConfiguredGroup) {
    EXPECT_TRUE(plat::IsAdministrator(0, 0));
    EXPECT_FALSE(plat::IsAdministrator(plat::kNoUid, 0));
    EXPECT_EQ(plat::AdminGroupName(), "sudo");
    EXPECT_FALSE(plat::IsAdministrator(65534, 65534)) << "nobody is in no administrators group";
    struct group* g = ::getgrgid(65534);
    ASSERT_TRUE(g);
    ASSERT_EQ(
        reg::WriteString(reg::Hive::LocalMachine, plat::kTransportKey, "AdminGroup", g->gr_name),
        plat::ERROR_SUCCESS);
    EXPECT_TRUE(plat::IsAdministrator(65534, plat::kNoUid)) << "primary group of the user";
    ASSERT_EQ(reg::WriteString(reg::Hive::LocalMachine, plat::kTransportKey, "AdminGroup",
                               "no-such-group-x"),
              plat::ERROR_SUCCESS);
    EXPECT_FALSE(plat::IsAdministrator(65534, 65534));
}

TEST_F(Com, OutsideACallTheContextIsThisProcess) {
    const plat::CallContext& c = plat::GetCallContext();
    EXPECT_FALSE(c.transported);
    EXPECT_FALSE(c.remote);
    EXPECT_EQ(c.uid, static_cast<uint32_t>(::geteuid()));
    EXPECT_EQ(c.pid, ::getpid());

    plat::SetProcessLocale(0);
    const char* old = std::getenv("LC_ALL");
    std::string saved = old ? old : "";
    ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(plat::ProcessLocale(), plat::LOCALE_RU_RU);
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(plat::ProcessLocale(), plat::LOCALE_EN_US);
    plat::SetProcessLocale(plat::LOCALE_RU_RU);
    EXPECT_EQ(plat::GetCallContext().locale, plat::LOCALE_RU_RU);
    plat::SetProcessLocale(0);
    if (old)
        ::setenv("LC_ALL", saved.c_str(), 1);
    else
        ::unsetenv("LC_ALL");
}

// A container with one point that accepts at most one sink and lets a hook veto.
class Source final : public plat::ComObject<plat::IConnectionPointContainer> {
  public:
    Source()
        : point(this, 1, [this](tlb::INorvaltEvents*, bool connect) {
              if (connect) ++connects;
              return refuse ? plat::E_ACCESSDENIED : S_OK;
          }) {}
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override {
        return plat::EnumConnectionPointsIn({&point}, out);
    }
    HRESULT FindConnectionPoint(const plat::IID& iid, plat::IConnectionPoint** out) override {
        return plat::FindConnectionPointIn(iid, {&point}, out);
    }
    plat::ConnectionPoint<tlb::INorvaltEvents> point;
    int connects = 0;
    bool refuse = false;
};

TEST(ConnectionPoint, LimitHookAndSharedCount) {
    auto src = plat::MakeCom<Source>();
    plat::IConnectionPoint* raw = nullptr;
    ASSERT_EQ(src->FindConnectionPoint(tlb::IID_INorvaltEvents, &raw), S_OK);
    auto point = ComPtr<plat::IConnectionPoint>::Attach(raw);
    EXPECT_EQ(src->RefCount(), 2u) << "the point counts with its container";

    auto a = plat::MakeCom<Sink>();
    auto b = plat::MakeCom<Sink>();
    uint32_t ca = 0, cb = 0;
    src->refuse = true;
    EXPECT_EQ(point->Advise(static_cast<tlb::INorvaltEvents*>(a.Get()), &ca), plat::E_ACCESSDENIED);
    EXPECT_EQ(src->point.Count(), 0u);
    src->refuse = false;
    ASSERT_EQ(point->Advise(static_cast<tlb::INorvaltEvents*>(a.Get()), &ca), S_OK);
    EXPECT_EQ(point->Advise(static_cast<tlb::INorvaltEvents*>(b.Get()), &cb),
              plat::CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(a->RefCount(), 2u);
    EXPECT_EQ(point->Unadvise(ca), S_OK);
    EXPECT_EQ(a->RefCount(), 1u);
    ASSERT_EQ(point->Advise(static_cast<tlb::INorvaltEvents*>(b.Get()), &cb), S_OK);
    EXPECT_NE(cb, ca) << "cookies are not reused";
    point = nullptr;
    src = nullptr;
    EXPECT_EQ(b->RefCount(), 1u) << "the container's end releases its sinks";
}

}  // namespace
