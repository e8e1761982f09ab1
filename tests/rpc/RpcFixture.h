// A transport server on a private socket under a temporary system root, serving TestObject.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/server.h"
#include "tests/rpc/TestObjects.h"
#include "tests/support/Eventually.h"
#include "tests/support/TempRoot.h"

namespace rpctest {

// Polls `pred` for up to `ms` (releases travel asynchronously).
template <class Pred>
bool Eventually(Pred pred, int ms = 5000) {
    return testsupport::Eventually(pred, ms, std::chrono::milliseconds(2));
}

class RpcServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAll();
        socket_path = root.Path() + "/run/NorvaltDrv.sock";
        factory = plat::MakeCom<plat::FunctionClassFactory>(
            [this](const IID& iid, void** out) -> HRESULT {
                if (refuse_creation)
                    throw plat::ComError(plat::CO_E_SERVER_STOPPING, "Process is stopping");
                ComPtr<TestObject> obj = plat::MakeCom<TestObject>();
                return obj->QueryInterface(iid, out);
            });
        cookie = plat::RegisterClassObject(CLSID_TestObject, factory.Get());
        ASSERT_NE(cookie, 0u);
        plat::rpc::ServerOptions o = options;
        o.socket_path = socket_path;
        o.socket_activation = false;
        ASSERT_EQ(server.Start(o), plat::S_OK) << plat::GetErrorText();
    }
    void TearDown() override {
        plat::rpc::DisconnectAll();
        server.Stop();
        plat::RevokeClassObject(cookie);
        EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; })) << "server objects leaked";
    }

    template <class I>
    ComPtr<I> Create() {
        void* p = nullptr;
        HRESULT hr = plat::rpc::CreateOnLocalServer(socket_path, CLSID_TestObject, I::GetIID(), &p);
        EXPECT_EQ(hr, plat::S_OK) << plat::GetErrorText();
        return ComPtr<I>::Attach(static_cast<I*>(p));
    }

    // The server's only TestObject (null unless exactly one lives).
    static TestObject* ServerObject() {
        std::lock_guard lk(TestObject::All().m);
        return TestObject::All().objects.size() == 1 ? TestObject::All().objects[0] : nullptr;
    }

    std::shared_ptr<plat::rpc::Connection> ServerSide() {
        auto all = server.Connections();
        return all.size() == 1 ? all[0] : nullptr;
    }

    testsupport::TempRoot root;
    std::string socket_path;
    plat::rpc::ServerOptions options;
    plat::rpc::Server server;
    ComPtr<plat::IClassFactory> factory;
    uint32_t cookie = 0;
    std::atomic<bool> refuse_creation{false};
};

}  // namespace rpctest
