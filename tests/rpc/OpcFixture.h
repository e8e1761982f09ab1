// The transport server of RpcFixture.h serving the OPC test object as well.
#pragma once
#include "tests/rpc/OpcObjects.h"
#include "tests/rpc/RpcFixture.h"

namespace rpctest {

class OpcServerFixture : public RpcServerFixture {
  protected:
    void SetUp() override {
        RegisterOpcTest();
        RpcServerFixture::SetUp();
        if (HasFatalFailure()) return;
        opc_factory = plat::MakeCom<plat::FunctionClassFactory>(
            [this](const IID& iid, void** out) -> HRESULT {
                auto obj = plat::MakeCom<OpcObject>();
                {
                    std::lock_guard lk(made_m);
                    made = obj;
                }
                return obj->QueryInterface(iid, out);
            });
        opc_cookie = plat::RegisterClassObject(CLSID_OpcTest, opc_factory.Get());
        ASSERT_NE(opc_cookie, 0u);
        blocks_at_start = plat::CoTaskMemLiveBlocks();
    }
    void TearDown() override {
        {
            std::lock_guard lk(made_m);
            made = nullptr;
        }
        plat::RevokeClassObject(opc_cookie);
        RpcServerFixture::TearDown();
        EXPECT_TRUE(Eventually([] { return g_live_opc == 0; })) << "OPC objects leaked";
        EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks_at_start) << "task memory leaked";
    }

    template <class I>
    ComPtr<I> CreateOpc() {
        void* p = nullptr;
        HRESULT hr = plat::rpc::CreateOnLocalServer(socket_path, CLSID_OpcTest, I::GetIID(), &p);
        EXPECT_EQ(hr, plat::S_OK) << plat::GetErrorText();
        return ComPtr<I>::Attach(static_cast<I*>(p));
    }
    // The server's OPC object made last.
    ComPtr<OpcObject> Made() {
        std::lock_guard lk(made_m);
        return made;
    }

    ComPtr<plat::IClassFactory> opc_factory;
    uint32_t opc_cookie = 0;
    size_t blocks_at_start = 0;
    std::mutex made_m;
    ComPtr<OpcObject> made;
};

}  // namespace rpctest
