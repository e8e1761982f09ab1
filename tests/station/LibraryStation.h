// The service in this process with the field-bus library loaded from its built file, its ports
// started from a configuration string: the fixture of the end-to-end tests that drive the
// library's bus threads through the service's item tree.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/variant.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ExternalItems.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/LibraryPorts.h"
#include "service/core/ports/ModbusLibrary.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/TempRoot.h"

namespace station {

// Polls `done` every 10 ms until it holds or `ms` have passed.
inline bool Within(int ms, const std::function<bool()>& done) {
    return testsupport::Eventually(done, ms, std::chrono::milliseconds(10));
}

class LibraryStation : public ::testing::Test {
  protected:
    static constexpr plat::LCID kEnglish = 1033;
    static constexpr plat::LCID kRussian = 1049;

    void SetUp() override {
        testsupport::ProtocolLines::Clear();
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::SetProtocolHook(&testsupport::ProtocolLines::Record);
        drv::InstallLibraryPorts();
        drv::ResetModbusLibraryForTests();
        drv::SetModbusLibraryPath(NORVALT_TEST_MODBUS_LIB);
    }
    void TearDown() override {
        Stop();
        drv::ResetModbusLibraryForTests();
        drv::SetModbusLibraryPath("");
        drv::SetPortFactory(drv::PortKind::Native, nullptr);
        drv::SetProtocolHook(nullptr);
        drv::DoneProtocol();
    }

    // Stores the configuration string, builds the item tree and starts the ports.
    void Start(const std::string& params) {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         params),
                  plat::ERROR_SUCCESS);
        drv::InitNameSpace();
        drv::SetProtocolHook(&testsupport::ProtocolLines::Record);
        drv::InitDriverItems();
        started_ = true;
        drv::StartPorts();
    }
    // Stops the ports (the library destroys its items) and drops the tree.
    void Stop() {
        if (!started_) return;
        drv::StopPorts();
        drv::DoneNameSpace();
        started_ = false;
    }

    // The item's id once it is in the tree, -1 when it did not come within `ms`.
    int32_t WaitItem(const std::string& name, int ms = 20000) {
        int32_t id = -1;
        Within(ms, [&] { return (id = drv::FindItemID(name)) >= 0; });
        return id;
    }
    drv::ComPtr<drv::TLeafItem> Leaf(const std::string& name, int ms = 20000) {
        const int32_t id = WaitItem(name, ms);
        return id < 0 ? drv::ComPtr<drv::TLeafItem>() : drv::GetItemAs<drv::TLeafItem>(id);
    }
    // What a client reads now: value and quality; false when there is no such leaf.
    bool Read(const std::string& name, plat::Variant& value, uint16_t& quality,
              plat::LCID locale = kEnglish) {
        auto leaf = Leaf(name, 0);
        if (!leaf) return false;
        plat::FILETIME when{};
        return leaf->ReadCurrent(plat::VT_EMPTY, locale, value, quality, when) >= 0;
    }
    // Reads until the leaf holds a good value for which `ok` holds.
    bool ReadUntil(const std::string& name, const std::function<bool(const plat::Variant&)>& ok,
                   int ms = 20000, plat::LCID locale = kEnglish) {
        return Within(ms, [&] {
            plat::Variant v;
            uint16_t q = 0;
            return Read(name, v, q, locale) && q == 192 && ok(v);
        });
    }
    // A client's write: the command's result as the command registry reports it, or the
    // write's own refusal when it made no command. `trusted`: a trusted OPC client with
    // privilege, the only one a privileged item takes.
    int32_t Write(const std::string& name, const plat::Variant& value, int wait_ms = 10000,
                  bool trusted = false) {
        auto leaf = Leaf(name, 0);
        if (!leaf) return plat::E_FAIL;
        const plat::HRESULT r = trusted
                                    ? leaf->WriteChecked(value, 1, drv::kFriendClientKind, kEnglish)
                                    : leaf->WriteChecked(value, 0, 2, kEnglish);
        if (!drv::IsCmdID(r)) return r;
        int32_t result = r;
        Within(wait_ms, [&] {
            result = r;
            return !drv::CmdIsPending(result);
        });
        return result;
    }

    // Names in the tree that start with `prefix`.
    static std::vector<std::string> NamesStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& [name, id] : drv::ListItemNames())
            if (name.rfind(prefix, 0) == 0) out.push_back(name);
        return out;
    }

    testsupport::TempRoot root_;

  private:
    bool started_ = false;
};

}  // namespace station
