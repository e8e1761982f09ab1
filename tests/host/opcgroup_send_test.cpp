// The OPC group's asynchronous access and its send step: subscription updates, transactions
// and their answers through the data callback.
#include <thread>

#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::E_FAIL;
using plat::S_FALSE;
using plat::S_OK;

class OpcGroupSend : public OpcGroupTest {
  protected:
    opc::IOPCAsyncIO2& Async(drv::TGroup& g) { return g; }

    std::vector<HRESULT> AsyncRead(drv::TGroup& g, const std::vector<opc::OPCHANDLE>& h,
                                   uint32_t trans, HRESULT* call = nullptr) {
        uint32_t cancel = 0;
        HRESULT* e = nullptr;
        HRESULT hr = Async(g).Read(static_cast<uint32_t>(h.size()), h.data(), trans, &cancel, &e);
        if (call) *call = hr;
        return TakeErrors(e, h.size());
    }

    // A sink connected to the group, past the first update (every item).
    ComPtr<DataSink> Subscribed(drv::TGroup& g) {
        auto sink = plat::MakeCom<DataSink>();
        Connect(g, sink.Get());
        Step(g, 0);
        sink->Take();
        return sink;
    }

    // The values of one item's entries in a call.
    static std::vector<int32_t> ValuesOf(const CbCall& c, opc::OPCHANDLE client) {
        std::vector<int32_t> out;
        for (auto& e : c.entries)
            if (e.client == client) out.push_back(e.value);
        return out;
    }
};

TEST_F(OpcGroupSend, AsyncCallsWithoutACallbackAreRefused) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    uint32_t cancel = 0;
    HRESULT* e = nullptr;
    EXPECT_EQ(Async(*g).Refresh2(opc::OPC_DS_CACHE, 1, &cancel), plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async(*g).Read(1, h.data(), 2, &cancel, &e), plat::CONNECT_E_NOCONNECTION)
        << "a read nobody would be told of is not queued";
    const plat::Variant v = plat::Variant::I4(1);
    EXPECT_EQ(Async(*g).Write(1, h.data(), &v, 3, &cancel, &e), plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(g->PendingTransactions(), 0u);

    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());
    opc::BOOL enabled = 0;
    ASSERT_EQ(g->GetEnable(&enabled), S_OK);
    EXPECT_NE(enabled, 0) << "callbacks are on at creation";
    EXPECT_EQ(Async(*g).Cancel2(cancel), E_FAIL);
    const opc::BOOL off = 0;
    ASSERT_EQ(g->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Async(*g).Refresh2(opc::OPC_DS_CACHE, 1, &cancel), E_FAIL)
        << "an inactive group refreshes nothing";
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, RefreshAndReadAnswerWithTheirTransactionIds) {
    MakePosts(1);
    Sample(*leaves_[0], 10);
    Sample(*leaves_[1], 20);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());

    Step(*g, 0);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u) << "the initial values";
    EXPECT_EQ(calls[0].method, "OnDataChange");
    EXPECT_EQ(calls[0].trans, 0u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{10});
    EXPECT_EQ(ValuesOf(calls[0], 101), std::vector<int32_t>{20});

    uint32_t cancel = 0;
    ASSERT_EQ(Async(*g).Refresh2(opc::OPC_DS_CACHE, 55, &cancel), S_OK);
    HRESULT hr = S_OK;
    EXPECT_EQ(AsyncRead(*g, {h[1], 99}, 66, &hr),
              (std::vector<HRESULT>{S_OK, plat::OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(hr, S_FALSE);
    Step(*g, 0);
    Step(*g, 0);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, "OnDataChange");
    EXPECT_EQ(calls[0].trans, 55u);
    EXPECT_EQ(calls[0].entries.size(), 2u);
    EXPECT_EQ(calls[1].method, "OnReadComplete");
    EXPECT_EQ(calls[1].trans, 66u);
    ASSERT_EQ(calls[1].entries.size(), 1u);
    EXPECT_EQ(calls[1].entries[0].client, 101u);
    EXPECT_EQ(calls[1].entries[0].value, 20);
    EXPECT_EQ(g->PendingTransactions(), 0u);
    EXPECT_GE(LinesContaining("OnDataChange MErr=0 MQual=0 Count=2"), 2u);
    EXPECT_EQ(LinesContaining("OnReadComplete MErr=0 MQual=0 Count=1"), 1u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, BufferedItemsGetEverySampleOthersTheNewest) {
    MakePosts(1);
    Sample(*leaves_[0], 0);
    Sample(*leaves_[1], 0);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    const opc::OPCHANDLE first[] = {h[0]};
    const int32_t on[] = {1};
    HRESULT* e = nullptr;
    ASSERT_EQ(g->SetItemBufferEnableAndTimeStampControl(1, first, on, on, &e), S_OK);
    TakeErrors(e, 1);
    auto sink = Subscribed(*g);

    std::vector<int32_t> all;
    for (int32_t v = 1; v <= 20; ++v) {
        Sample(*leaves_[0], v);
        Sample(*leaves_[1], v);
        all.push_back(v);
    }
    Step(*g);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(ValuesOf(calls[0], 100), all) << "every unread sample, in order";
    EXPECT_EQ(ValuesOf(calls[0], 101), std::vector<int32_t>{20}) << "the newest only";
    Step(*g);
    EXPECT_EQ(sink->Count(), 0u) << "each sample once";
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, AClientThatNeverTakesItsUpdatesHoldsABoundedHistory) {
    MakePosts(1);
    Sample(*leaves_[0], 0);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    const int32_t on[] = {1};
    HRESULT* e = nullptr;
    ASSERT_EQ(g->SetItemBufferEnableAndTimeStampControl(1, h.data(), on, on, &e), S_OK);
    TakeErrors(e, 1);
    auto sink = Subscribed(*g);
    sink->result = E_FAIL;
    const int limit = drv::TGroup::kMaxUnsentSamples;
    for (int32_t v = 1; v <= limit; ++v) Sample(*leaves_[0], v);
    fake_->Advance(100);
    EXPECT_THROW(g->CallbackStep(), drv::EClientError);
    EXPECT_EQ(sink->Take().back().entries.size(), static_cast<size_t>(limit))
        << "up to the limit every sample is kept";
    for (int32_t v = limit + 1; v <= limit + 100; ++v) Sample(*leaves_[0], v);
    fake_->Advance(100);
    EXPECT_THROW(g->CallbackStep(), drv::EClientError);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{limit + 100}) << "the newest only";
    EXPECT_EQ(LinesContaining("Buffer overrun Post1.State"), 1u);
    EXPECT_LT(leaves_[0]->SampleSlots(), 64u) << "the leaf lets the old samples go";
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, InactiveItemsAndDisabledCallbacksConsumeSilently) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"}, nullptr, nullptr, false);
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());
    Step(*g, 0);
    Sample(*leaves_[0], 2);
    Step(*g);
    EXPECT_EQ(sink->Count(), 0u);
    HRESULT* e = nullptr;
    ASSERT_EQ(g->SetActiveState(1, h.data(), 1, &e), S_OK);
    TakeErrors(e, 1);
    Step(*g);
    EXPECT_EQ(sink->Count(), 0u) << "what came while inactive is not delivered later";
    Sample(*leaves_[0], 3);
    Step(*g);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{3});

    ASSERT_EQ(g->SetEnable(0), S_OK);
    Sample(*leaves_[0], 4);
    Step(*g);
    Step(*g, 20000);
    EXPECT_EQ(sink->Count(), 0u) << "callbacks disabled: nothing";
    ASSERT_EQ(g->SetEnable(1), S_OK);
    Step(*g);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{4});
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, ACallbackConnectedLaterStartsFromTheCurrentValues) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    Sample(*leaves_[1], 2);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    HRESULT* e = nullptr;
    const opc::OPCHANDLE second[] = {h[1]};
    ASSERT_EQ(g->SetActiveState(1, second, 0, &e), S_OK);
    TakeErrors(e, 1);
    // The advise thread steps before the client has connected its callback.
    Step(*g, 0);
    Sample(*leaves_[0], 3);
    Step(*g);
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());
    Step(*g, 0);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u) << "the initial values reach a callback connected late";
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{3});
    EXPECT_TRUE(ValuesOf(calls[0], 101).empty()) << "inactive items are not sent";
    Step(*g);
    EXPECT_EQ(sink->Count(), 0u);
    Sample(*leaves_[0], 4);
    Step(*g);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{4});
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, ALeafThatLeavesIsReportedOnce) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    auto g = MakeGroup();
    Add(*g, {"Post1.State"});
    auto sink = Subscribed(*g);
    leaves_[0]->RemoveFromNS();
    Step(*g);
    Step(*g);
    Step(*g, 10000);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].entries.size(), 1u);
    EXPECT_EQ(calls[0].entries[0].error, E_FAIL);
    EXPECT_EQ(calls[0].master_error, S_FALSE);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, ALeafThatLeavesMakesTheUpdatesQualityBad) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    Sample(*leaves_[1], 2);
    auto g = MakeGroup();
    Add(*g, {"Post1.State", "Post1.DozeV"});
    auto sink = Subscribed(*g);
    leaves_[0]->RemoveFromNS();
    Sample(*leaves_[1], 3);
    Step(*g);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].entries.size(), 2u);
    EXPECT_EQ(calls[0].entries[0].quality, 0);
    EXPECT_EQ(calls[0].entries[1].quality, drv::OPC_QUALITY_GOOD);
    EXPECT_EQ(calls[0].master_quality, S_FALSE) << "an entry of bad quality makes the whole bad";
    EXPECT_EQ(calls[0].master_error, S_FALSE);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, AFailingCallbackGetsTheSameChangesNextTime) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    auto g = MakeGroup();
    Add(*g, {"Post1.State"});
    auto sink = Subscribed(*g);
    Sample(*leaves_[0], 5);
    sink->result = E_FAIL;
    fake_->Advance(100);
    EXPECT_THROW(g->CallbackStep(), drv::EClientError);
    sink->result = S_OK;
    Step(*g);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{5});
    EXPECT_EQ(ValuesOf(calls[1], 100), std::vector<int32_t>{5}) << "sent again";
    Step(*g);
    EXPECT_EQ(sink->Count(), 0u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, WaitingDeviceReadsAreKeptAndExpireWithAFailure) {
    MakePosts(1);
    Sample(*leaves_[0], 1);
    auto g = MakeGroup(drv::kClientFriend);
    auto h = Add(*g, {"Post1.State"});
    auto sink = Subscribed(*g);

    fake_->Advance(5);
    AsyncRead(*g, h, 7);
    uint32_t cancel = 0;
    ASSERT_EQ(Async(*g).Refresh2(opc::OPC_DS_CACHE, 8, &cancel), S_OK);
    Step(*g, 30);
    Step(*g, 30);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u) << "the cache refresh is answered; the device read waits";
    EXPECT_EQ(calls[0].trans, 8u);
    EXPECT_EQ(g->PendingTransactions(), 1u) << "the waiting read is kept";

    fake_->Advance(5);
    Sample(*leaves_[0], 2);
    Step(*g, 0);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "OnReadComplete");
    EXPECT_EQ(calls[0].trans, 7u);
    EXPECT_EQ(ValuesOf(calls[0], 100), std::vector<int32_t>{2});

    // A device that stays silent: answered with a failure after 100 s.
    AsyncRead(*g, h, 9);
    Step(*g, 99000);
    EXPECT_EQ(sink->Count(), 0u);
    Step(*g, 1001);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "OnReadComplete");
    EXPECT_EQ(calls[0].trans, 9u);
    ASSERT_EQ(calls[0].entries.size(), 1u);
    EXPECT_EQ(calls[0].entries[0].error, E_FAIL);
    EXPECT_EQ(calls[0].master_error, S_FALSE);
    EXPECT_EQ(g->PendingTransactions(), 0u);
    EXPECT_EQ(LinesContaining("Transaction 9 expired"), 1u);
    ExpectNoTaskMemory();
}

// A writable leaf whose command stays pending until the test ends it.
class PendingLeaf : public TestLeaf {
  public:
    explicit PendingLeaf(const std::string& name) : TestLeaf(name, 3) {}
    HRESULT Write(const plat::Variant&, int, int, plat::LCID) override {
        id = drv::CmdNewID();
        return id;
    }
    std::atomic<int32_t> id{0};
};

TEST_F(OpcGroupSend, AsyncWriteIsAnsweredWhenItsCommandEnds) {
    const int32_t post = drv::FindOrCreateBranch(-1, "", "Post1");
    auto leaf = drv::New<PendingLeaf>("State");
    leaf->AddToNS(post);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    auto sink = Subscribed(*g);

    const opc::OPCHANDLE hs[] = {h[0], 5};
    const plat::Variant vs[] = {plat::Variant::I4(1), plat::Variant::I4(1)};
    uint32_t cancel = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(Async(*g).Write(2, hs, vs, 31, &cancel, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 2), (std::vector<HRESULT>{S_OK, plat::OPC_E_INVALIDHANDLE}));
    Step(*g, 0);
    Step(*g, 100);
    EXPECT_EQ(sink->Count(), 0u) << "the command has not ended";
    drv::CmdSetResult(leaf->id.load(), -2);
    Step(*g, 0);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "OnWriteComplete");
    EXPECT_EQ(calls[0].trans, 31u);
    ASSERT_EQ(calls[0].entries.size(), 1u);
    EXPECT_EQ(calls[0].entries[0].client, 100u);
    EXPECT_EQ(calls[0].entries[0].error, -2) << "the outcome, never the command id";
    EXPECT_EQ(calls[0].master_error, S_FALSE);
    EXPECT_EQ(LinesContaining("OnWriteComplete MErr=1 Count=1"), 1u);
    leaf->RemoveFromNS();
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupSend, WaitingTransactionsPerGroupAreBounded) {
    MakePosts(1);
    auto g = MakeGroup(drv::kClientFriend);
    auto h = Add(*g, {"Post1.State"});
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());
    HRESULT hr = S_OK;
    for (size_t i = 0; i < drv::TGroup::kMaxTransactions; ++i) {
        AsyncRead(*g, h, static_cast<uint32_t>(i), &hr);
        ASSERT_EQ(hr, S_OK);
    }
    AsyncRead(*g, h, 999, &hr);
    EXPECT_EQ(hr, plat::E_OUTOFMEMORY);
    EXPECT_EQ(g->PendingTransactions(), drv::TGroup::kMaxTransactions);
    ExpectNoTaskMemory();
}

// --- through a server, on the advise thread -------------------------------------------------

class OpcGroupChurn : public OpcTest {};

TEST_F(OpcGroupChurn, AClientAddsAndRemovesItemsWhileTheGroupSends) {
    MakePosts(4);
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE handle = 0;
    uint32_t revised = 0;
    void* out = nullptr;
    ASSERT_EQ(s->AddGroup(u"G", 1, 50, 1, nullptr, nullptr, plat::LOCALE_EN_US, &handle, &revised,
                          opc::IID_IOPCItemMgt, &out),
              S_OK);
    auto mgt = ComPtr<opc::IOPCItemMgt>::Attach(static_cast<opc::IOPCItemMgt*>(out));
    auto g = ComPtr<drv::TGroup>(dynamic_cast<drv::TGroup*>(mgt.Get()));
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());

    Churn(
        *g,
        [&](std::vector<opc::OPCHANDLE>& h) {
            HRESULT* err = nullptr;
            const int32_t on[8] = {1, 1, 1, 1, 1, 1, 1, 1};
            g->SetItemBufferEnableAndTimeStampControl(8, h.data(), on, on, &err);
            plat::CoTaskMemFree(err);
        },
        [&] { return sink->Count() >= 20; });
    g = nullptr;
    mgt = nullptr;
    s = nullptr;
    ExpectNoTaskMemory();
}

}  // namespace
}  // namespace opctest
