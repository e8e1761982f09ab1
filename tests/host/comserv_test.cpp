// The COM server object: start mode from the switches, registration and unregistration in a
// private registry, the type library file, class objects, and the last release.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "service/host/ComServ.h"
#include "service/host/TRKSrv.h"
#include "service/typelib/TypeLib.h"
#include "tests/support/TempRoot.h"

namespace {

namespace fs = std::filesystem;
namespace reg = plat::reg;
using drv::TComServer;

const std::string kClsidKey = "CLSID\\" + plat::FormatGuid(tlb::CLSID_TORK);
const std::string kLibKey = "TypeLib\\" + plat::FormatGuid(tlb::LIBID_NorvaltDrv);

// A private registry and the current folder inside it (the library file lands there).
class ComServ : public ::testing::Test {
  protected:
    void SetUp() override {
        old_cwd_ = fs::current_path();
        fs::current_path(root_.Path());
    }
    void TearDown() override { fs::current_path(old_cwd_); }

    TComServer::Hooks Hooks(bool admin = true) {
        return {[admin] { return admin; },
                [this](std::string_view text) { messages_.emplace_back(text); }, nullptr};
    }
    std::string TlbFile() const { return root_.Path() + "/NorvaltDrv.TLB"; }
    static bool ClassKeys() {
        return reg::KeyExists(reg::Hive::ClassesRoot, kClsidKey) ||
               reg::KeyExists(reg::Hive::ClassesRoot, "NorvaltDrv.TORK");
    }
    static std::string LibPath() {
        std::string v;
        reg::ReadString(reg::Hive::ClassesRoot, kLibKey + "\\1.0\\0\\linux64", "", v);
        return v;
    }

    testsupport::TempRoot root_;
    fs::path old_cwd_;
    std::vector<std::string> messages_;
};

TEST_F(ComServ, SwitchesGiveTheStartMode) {
    struct Case {
        std::vector<std::string> args;
        drv::TStartMode mode;
        bool remote;
    };
    const Case cases[] = {
        {{}, drv::smStandalone, false},
        {{"/INSTALL"}, drv::smRegServer, false},
        {{"-install"}, drv::smRegServer, false},
        {{"/Install"}, drv::smRegServer, false},
        {{"-INSTALLREMOTE"}, drv::smRegServer, true},
        {{"/uninstallremote"}, drv::smUnregServer, false},
        {{"/UNINSTALL", "SILENT"}, drv::smUnregServer, false},
        {{"-Automation"}, drv::smAutomation, false},
        {{"/EMBEDDING"}, drv::smAutomation, false},
        // Whole words with a prefix only.
        {{"INSTALL"}, drv::smStandalone, false},
        {{"/INSTALLX"}, drv::smStandalone, false},
        {{"/INST"}, drv::smStandalone, false},
        {{"--install"}, drv::smStandalone, false},
        {{"/"}, drv::smStandalone, false},
        // The table's order decides, not the command line's.
        {{"/UNINSTALL", "/AUTOMATION"}, drv::smAutomation, false},
        {{"/uninstall", "/install"}, drv::smRegServer, false},
        {{"/UNINSTALLREMOTE", "/INSTALLREMOTE"}, drv::smRegServer, true},
    };
    for (const Case& c : cases) {
        TComServer server(c.args, Hooks());
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        EXPECT_EQ(server.StartMode(), c.mode) << line;
        EXPECT_EQ(server.RemoteInstall(), c.remote) << line;
    }
    EXPECT_FALSE(fs::exists(TlbFile())) << "no file without EXTRACTTYPELIB";
}

TEST_F(ComServ, ExtractTypeLibWithAutomationWritesTheFile) {
    TComServer server({"/EXTRACTTYPELIB", "-automation"}, Hooks());
    EXPECT_EQ(server.StartMode(), drv::smAutomation);
    const std::string text = testsupport::ReadFile(TlbFile());
    const auto embedded = tlb::file::EmbeddedTypeLib();
    ASSERT_EQ(text.size(), embedded.size());
    EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(),
                           reinterpret_cast<const uint8_t*>(text.data())));
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, kLibKey)) << "extracting registers nothing";
}

TEST_F(ComServ, InstallRegistersTheLibraryFromTheExecutableAndTheClasses) {
    TComServer server({"/INSTALL"}, Hooks());
    server.Initialize();
    EXPECT_TRUE(server.LastRegisterFlag());
    EXPECT_TRUE(messages_.empty());
    const std::string exe = server.GetServerFileName();
    EXPECT_EQ(LibPath(), exe);
    EXPECT_FALSE(fs::exists(TlbFile()));
    std::string v;
    reg::ReadString(reg::Hive::ClassesRoot, kClsidKey + "\\" + server.GetServerKey(), "", v);
    EXPECT_EQ(v, exe);
    reg::ReadString(reg::Hive::ClassesRoot, kClsidKey + "\\ProgID", "", v);
    EXPECT_EQ(v, "NorvaltDrv.TORK");
    reg::ReadString(reg::Hive::ClassesRoot, kClsidKey, "", v);
    EXPECT_EQ(v, tlb::kHelpTORK);
    EXPECT_TRUE(plat::GetClassObject(tlb::CLSID_TORK)) << "class objects follow registration";

    TComServer undo({"-UNINSTALL"}, Hooks());
    undo.Initialize();
    EXPECT_FALSE(undo.LastRegisterFlag());
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, kLibKey));
    EXPECT_FALSE(ClassKeys());
    EXPECT_NO_THROW(undo.UpdateRegistry(false)) << "removing what is gone is no error";
}

TEST_F(ComServ, InstallRemoteRegistersOnlyTheLibraryFromItsFile) {
    TComServer server({"/INSTALLREMOTE"}, Hooks());
    server.Initialize();
    ASSERT_TRUE(fs::exists(TlbFile()));
    EXPECT_EQ(testsupport::ReadFile(TlbFile()).size(), tlb::file::EmbeddedTypeLib().size());
    EXPECT_EQ(LibPath(), TlbFile());
    std::string dir;
    reg::ReadString(reg::Hive::ClassesRoot, kLibKey + "\\1.0\\HELPDIR", "", dir);
    EXPECT_EQ(dir, root_.Path());
    EXPECT_TRUE(reg::KeyExists(reg::Hive::ClassesRoot,
                               "Interface\\" + plat::FormatGuid(tlb::IID_INorvalt)));
    EXPECT_FALSE(ClassKeys()) << "no CLSID or ProgID records";
}

TEST_F(ComServ, UninstallRemoteRemovesLibraryAndClasses) {
    {
        TComServer server({"/INSTALL"}, Hooks());
        server.UpdateRegistry(true);
    }
    ASSERT_TRUE(ClassKeys());
    ASSERT_TRUE(reg::KeyExists(reg::Hive::ClassesRoot, kLibKey));
    TComServer server({"/UNINSTALLREMOTE"}, Hooks());
    EXPECT_FALSE(server.RemoteInstall());
    server.Initialize();
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, kLibKey));
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot,
                                "Interface\\" + plat::FormatGuid(tlb::IID_INorvalt)));
    EXPECT_FALSE(ClassKeys());
    EXPECT_FALSE(fs::exists(TlbFile()));
}

TEST_F(ComServ, NonAdministratorIsToldAndRegistrationStillRuns) {
    TComServer server({"/INSTALL"}, Hooks(false));
    server.Initialize();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], drv::kAdminRightsMessage);
    EXPECT_TRUE(ClassKeys());
    EXPECT_EQ(LibPath(), server.GetServerFileName());

    TComServer plain({}, Hooks(false));
    plain.Initialize();
    EXPECT_EQ(messages_.size(), 1u) << "no registration, no question of rights";
}

TEST_F(ComServ, StandaloneRegistersClassObjectsOnlyAndRevokesThem) {
    {
        TComServer server({}, Hooks());
        server.Initialize();
        EXPECT_TRUE(plat::GetClassObject(tlb::CLSID_TORK));
        EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, kLibKey));
        EXPECT_FALSE(ClassKeys());
        // A second server finds the class taken: ignored, and it must not revoke the first's.
        {
            TComServer second({}, Hooks());
            EXPECT_NO_THROW(second.Initialize());
        }
        EXPECT_TRUE(plat::GetClassObject(tlb::CLSID_TORK));
    }
    EXPECT_FALSE(plat::GetClassObject(tlb::CLSID_TORK));
}

TEST_F(ComServ, FailingFactoryDoesNotStopTheOthers) {
    static const drv::TComClass classes[] = {
        {tlb::CLSID_DA2, "NorvaltDrv.DA2", tlb::kHelpDA2, false,
         []() -> plat::ComPtr<plat::IClassFactory> { throw std::runtime_error("not now"); }},
        {tlb::CLSID_TORK, "NorvaltDrv.TORK", tlb::kHelpTORK, false, &drv::MakeStationFactory},
    };
    TComServer server({}, Hooks(), classes);
    EXPECT_NO_THROW(server.Initialize());
    EXPECT_FALSE(plat::GetClassObject(tlb::CLSID_DA2));
    EXPECT_TRUE(plat::GetClassObject(tlb::CLSID_TORK));
}

TEST_F(ComServ, InternalClassesAreNotRegistered) {
    static const drv::TComClass classes[] = {
        {tlb::CLSID_DA2, "NorvaltDrv.DA2", tlb::kHelpDA2, true, nullptr},
        {tlb::CLSID_TORK, "NorvaltDrv.TORK", tlb::kHelpTORK, false, nullptr},
    };
    TComServer server({"/INSTALL"}, Hooks(), classes);
    server.Initialize();
    EXPECT_TRUE(ClassKeys());
    EXPECT_FALSE(reg::KeyExists(reg::Hive::ClassesRoot, "NorvaltDrv.DA2"));
    EXPECT_FALSE(
        reg::KeyExists(reg::Hive::ClassesRoot, "CLSID\\" + plat::FormatGuid(tlb::CLSID_DA2)));
}

TEST_F(ComServ, NamesAndKeys) {
    TComServer server({}, Hooks());
    EXPECT_EQ(drv::ComServer(), &server);
    EXPECT_EQ(server.GetServerKey(), "LocalServer32");
    const std::string exe = server.GetServerFileName();
    EXPECT_TRUE(fs::path(exe).is_absolute()) << exe;
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
    EXPECT_EQ(server.GetServerName(), "NorvaltDrv") << "the type library's name";
    server.SetServerName("Other");
    EXPECT_EQ(server.GetServerName(), "Other");
    ASSERT_NE(server.GetTypeLib(), nullptr);
    EXPECT_EQ(server.GetTypeLib(), server.GetTypeLib()) << "loaded once";
    EXPECT_FALSE(server.GetStartSuspended());
    server.SetHelpFileName("help.txt");
    EXPECT_EQ(server.GetHelpFileName(), "help.txt");
    {
        TComServer second({}, Hooks());
        EXPECT_EQ(drv::ComServer(), &server) << "the first one stays the process's server";
    }
    EXPECT_EQ(drv::ComServer(), &server);
}

struct QuitCount {
    int quits = 0;
    TComServer::Hooks Hooks() {
        return {[] { return true; }, [](std::string_view) {}, [this] { ++quits; }};
    }
};

TEST_F(ComServ, LastReleaseEndsOnlyAnAutomationRun) {
    QuitCount automation;
    TComServer a({"/AUTOMATION"}, automation.Hooks());
    EXPECT_EQ(a.CountObject(true), 1);
    EXPECT_EQ(a.CountObject(true), 2);
    EXPECT_EQ(a.CountObject(false), 1);
    EXPECT_EQ(automation.quits, 0);
    EXPECT_EQ(a.CountObject(false), 0);
    EXPECT_EQ(automation.quits, 1);

    QuitCount service;
    TComServer s({}, service.Hooks());
    s.CountObject(true);
    s.CountObject(false);
    EXPECT_EQ(service.quits, 0) << "the service run goes on without objects";

    // The handler may change the verdict either way.
    s.OnLastRelease = [](TComServer&, bool& shutdown) { shutdown = true; };
    s.CountObject(true);
    s.CountObject(false);
    EXPECT_EQ(service.quits, 1);
    a.OnLastRelease = [](TComServer&, bool& shutdown) { shutdown = false; };
    a.CountObject(true);
    a.CountObject(false);
    EXPECT_EQ(automation.quits, 1);

    EXPECT_EQ(a.CountFactory(true), 1);
    EXPECT_EQ(a.CountFactory(false), 0);
    EXPECT_EQ(automation.quits, 1) << "factories do not end the run";
    EXPECT_TRUE(a.AutomationTerminateProc());
}

TEST_F(ComServ, CountsFromManyThreads) {
    QuitCount q;
    TComServer server({"-embedding"}, q.Hooks());
    server.CountObject(true);  // held throughout, so the count never reaches 0 meanwhile
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                server.CountObject(true);
                server.CountFactory(true);
                server.CountObject(false);
                server.CountFactory(false);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(server.ObjectCount(), 1);
    EXPECT_EQ(server.FactoryCount(), 0);
    EXPECT_EQ(q.quits, 0);
    EXPECT_EQ(server.CountObject(false), 0);
    EXPECT_EQ(q.quits, 1);
}

}  // namespace
