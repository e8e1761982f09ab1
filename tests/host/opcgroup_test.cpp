// The OPC group's state, its items and its synchronous reads and writes.
#include <thread>

#include "service/core/base/ChangeRing.h"
#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::E_FAIL;
using plat::E_INVALIDARG;
using plat::S_FALSE;
using plat::S_OK;

class OpcGroup : public OpcGroupTest {};

// The values the change ring got since `mark`.
std::vector<int32_t> RingSince(uint32_t mark) {
    std::vector<int32_t> out;
    int32_t v = 0;
    while (drv::ChangeRing().Read(mark, v) == drv::TChangeRing::Value) {
        out.push_back(v);
        ++mark;
    }
    return out;
}

TEST_F(OpcGroup, RateFloorsStateAndTheWake) {
    auto g = MakeGroup(drv::kClientOther, true, 20);
    EXPECT_EQ(g->UpdateRate(), 50u) << "created no faster than 50 ms";
    EXPECT_TRUE(g->RateRevised());

    uint32_t mark = drv::ChangeRing().Head();
    const uint32_t rate = 20;
    const opc::BOOL inactive = 0;
    const int32_t bias = 60;
    const float deadband = 2.5f;
    const plat::LCID lcid = plat::LOCALE_RU_RU;
    const opc::OPCHANDLE client = 9;
    uint32_t revised = 0;
    ASSERT_EQ(g->SetState(&rate, &revised, &inactive, &bias, &deadband, &lcid, &client), S_OK);
    EXPECT_EQ(revised, 100u) << "SetState gives no faster than 100 ms";
    EXPECT_EQ(RingSince(mark), std::vector<int32_t>{-10})
        << "a rate change wakes the advise thread";

    uint32_t r = 0;
    opc::BOOL active = 1;
    char16_t* name = nullptr;
    int32_t b = 0;
    float d = 0;
    plat::LCID l = 0;
    opc::OPCHANDLE hc = 0, hs = 0;
    ASSERT_EQ(g->GetState(&r, &active, &name, &b, &d, &l, &hc, &hs), S_OK);
    EXPECT_EQ(TakeString(name), "Group" + std::to_string(g->ServerHandle()));
    EXPECT_EQ(r, 100u);
    EXPECT_EQ(active, 0);
    EXPECT_EQ(b, 60);
    EXPECT_FLOAT_EQ(d, 2.5f);
    EXPECT_EQ(l, plat::LOCALE_RU_RU);
    EXPECT_EQ(hc, 9u);
    EXPECT_EQ(hs, g->ServerHandle());

    // Settings left out stay; without a rate nothing is woken.
    mark = drv::ChangeRing().Head();
    ASSERT_EQ(g->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 100u);
    EXPECT_TRUE(RingSince(mark).empty());
    EXPECT_FALSE(g->Active());

    ASSERT_EQ(g->SetName(u"Renamed"), S_OK);
    EXPECT_EQ(plat::WideToUtf8(g->Name()), "Renamed");

    mark = drv::ChangeRing().Head();
    uint32_t ka = 0;
    ASSERT_EQ(g->SetKeepAlive(3000, &ka), S_OK);
    EXPECT_EQ(ka, 3000u);
    EXPECT_EQ(RingSince(mark), std::vector<int32_t>{-10});
    ASSERT_EQ(g->GetKeepAlive(&ka), S_OK);
    EXPECT_EQ(ka, 3000u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, KeepAliveCallsWithNoItems) {
    auto g = MakeGroup();
    auto sink = plat::MakeCom<DataSink>();
    Connect(*g, sink.Get());
    uint32_t ka = 0;
    ASSERT_EQ(g->SetKeepAlive(1000, &ka), S_OK);
    Step(*g, 0);
    Step(*g, 500);
    EXPECT_EQ(sink->Count(), 0u) << "nothing changed and the keep-alive is not due";
    Step(*g, 600);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "OnDataChange");
    EXPECT_TRUE(calls[0].entries.empty());
    EXPECT_EQ(calls[0].group, 77u);
    Step(*g, 200);
    EXPECT_EQ(sink->Count(), 0u) << "the next keep-alive counts from the last call";
    Step(*g, 900);
    EXPECT_EQ(sink->Count(), 1u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, AKeepAliveWithoutACallbackDoesNotSpin) {
    auto g = MakeGroup();
    uint32_t ka = 0;
    ASSERT_EQ(g->SetKeepAlive(1000, &ka), S_OK);
    fake_->Advance(1000);
    g->CallbackStep();  // the keep-alive falls due, nobody takes it
    const uint32_t now = plat::GetTickCount();
    const uint32_t due = g->CallbackStep();
    EXPECT_GT(static_cast<int32_t>(due - now), 0) << "not due again at once";
}

TEST_F(OpcGroup, AddAndValidateItems) {
    MakePosts(1);
    const int32_t sys = drv::FindItemID("System");
    AddLeaf(sys, "Secret", 1, true);
    auto g = MakeGroup(drv::kClientOther);
    HRESULT hr = S_OK;
    std::vector<HRESULT> errors;
    auto h =
        Add(*g, {"Post1.State", "Nope", "System.Secret", "Post1.DozeV", "Post1"}, &hr, &errors);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(errors,
              (std::vector<HRESULT>{S_OK, plat::OPC_E_UNKNOWNITEMID, plat::OPC_E_UNKNOWNITEMID,
                                    S_OK, plat::OPC_E_UNKNOWNITEMID}))
        << "an item refusing the client is unknown to it; a branch is no item";
    EXPECT_EQ(h[0], 0u);
    EXPECT_EQ(h[3], 1u) << "the server handle is the place in the item array";

    // A friend sees the hidden item.
    auto f = MakeGroup(drv::kClientFriend);
    errors.clear();
    Add(*f, {"System.Secret"}, &hr, &errors);
    EXPECT_EQ(hr, S_OK);

    // Validation resolves but adds nothing.
    std::u16string id = u"Post1.DozeV";
    opc::OPCITEMDEF def;
    def.szItemID = id.data();
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(g->ValidateItems(1, &def, 0, &res, &err), S_OK);
    EXPECT_EQ(res[0].vtCanonicalDataType, plat::VT_I4);
    EXPECT_EQ(res[0].dwAccessRights, 3u);
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);
    EXPECT_GE(LinesContaining("ValidOK"), 1u);
    EXPECT_EQ(Add(*g, {"Post1.DozeV"}), std::vector<opc::OPCHANDLE>{2u})
        << "validation took no handle";

    opc::OPCITEMRESULT* r2 = nullptr;
    EXPECT_EQ(g->AddItems(0, &def, &r2, &err), E_INVALIDARG);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, BadHandlesGetTheirErrorAndNeverReachPastTheArray) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    HRESULT* e = nullptr;
    const opc::OPCHANDLE removed[] = {h[1]};
    ASSERT_EQ(g->RemoveItems(1, removed, &e), S_OK);
    TakeErrors(e, 1);

    const opc::OPCHANDLE handles[] = {h[0], h[1], 2, 0xFFFFFFFFu};
    const std::vector<HRESULT> want{S_OK, plat::OPC_E_INVALIDHANDLE, plat::OPC_E_INVALIDHANDLE,
                                    plat::OPC_E_INVALIDHANDLE};
    ASSERT_EQ(g->SetActiveState(4, handles, 1, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 4), want);
    const opc::OPCHANDLE clients[] = {5, 6, 7, 8};
    ASSERT_EQ(g->SetClientHandles(4, handles, clients, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 4), want);
    const plat::VARTYPE types[] = {plat::VT_R8, plat::VT_R8, plat::VT_R8, plat::VT_R8};
    ASSERT_EQ(g->SetDatatypes(4, handles, types, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 4), want);
    const int32_t on[] = {1, 1, 1, 1};
    ASSERT_EQ(g->SetItemBufferEnableAndTimeStampControl(4, handles, on, on, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 4), want);
    EXPECT_EQ(g->SetItemBufferEnableAndTimeStampControl(0, handles, on, on, &e), E_INVALIDARG);
    ASSERT_EQ(g->RemoveItems(4, handles, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 4), want);
    EXPECT_GE(LinesContaining("Server handle ok but GItem = nil"), 1u);
    EXPECT_GE(LinesContaining("Server handle BAD"), 1u);

    // Every handle is gone now; a sync read answers each with its own error.
    HRESULT hr = S_OK;
    auto states = SyncRead(*g, opc::OPC_DS_CACHE, {h[0], 0xFFFFFFFFu}, &hr);
    EXPECT_EQ(hr, S_FALSE);
    ASSERT_EQ(states.size(), 2u);
    for (auto& s : states) {
        EXPECT_EQ(s.error, plat::OPC_E_INVALIDITEMID);
        EXPECT_EQ(s.quality, drv::OPC_QUALITY_OUT_OF_SERVICE);
    }
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, EnumeratorListsTheLiveItems) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    HRESULT* e = nullptr;
    const opc::OPCHANDLE first[] = {h[0]};
    ASSERT_EQ(g->RemoveItems(1, first, &e), S_OK);
    TakeErrors(e, 1);

    void* out = nullptr;
    EXPECT_EQ(g->CreateEnumerator(opc::IID_IEnumString, &out), E_INVALIDARG);
    ASSERT_EQ(g->CreateEnumerator(opc::IID_IEnumOPCItemAttributes, &out), S_OK);
    auto en =
        ComPtr<opc::IEnumOPCItemAttributes>::Attach(static_cast<opc::IEnumOPCItemAttributes*>(out));
    opc::OPCITEMATTRIBUTES* attrs = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(en->Next(5, &attrs, &n), S_FALSE);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(plat::WideToUtf8(attrs[0].szItemID), "Post1.DozeV");
    EXPECT_EQ(attrs[0].hServer, h[1]);
    EXPECT_EQ(attrs[0].hClient, 101u);
    EXPECT_EQ(attrs[0].dwAccessRights, 3u);
    EXPECT_EQ(attrs[0].vtCanonicalDataType, plat::VT_I4);
    for (uint32_t i = 0; i < n; ++i) opc::FreeItemAttributes(attrs[i]);
    for (uint32_t i = 0; i < n; ++i) attrs[i].~OPCITEMATTRIBUTES();
    plat::CoTaskMemFree(attrs);
    en = nullptr;
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, ItemHandlesPerGroupAreBounded) {
    MakePosts(1);
    auto g = MakeGroup();
    std::u16string id = u"Post1.State";
    std::vector<opc::OPCITEMDEF> defs(drv::TGroup::kMaxItemSlots);
    for (auto& d : defs) d.szItemID = id.data();
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(g->AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err), S_OK);
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);
    // Removing does not give handles back: they are never reused.
    HRESULT* e = nullptr;
    const opc::OPCHANDLE h0[] = {0};
    ASSERT_EQ(g->RemoveItems(1, h0, &e), S_OK);
    TakeErrors(e, 1);
    std::vector<HRESULT> errors;
    HRESULT hr = S_OK;
    Add(*g, {"Post1.State"}, &hr, &errors);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(errors, std::vector<HRESULT>{plat::E_OUTOFMEMORY});
    ExpectNoTaskMemory();
}

// --- sync reads ----------------------------------------------------------------------------

// Counts refresh requests; answers one at once when told to, and time moves on afterwards.
class RefreshLeaf : public TestLeaf {
  public:
    RefreshLeaf(const std::string& name) : TestLeaf(name, 3) {}
    void RequestRefresh() override {
        refreshes.fetch_add(1);
        drv::TLeafItem::RequestRefresh();
        if (answer_at_once) {
            plat::Sleep(1);
            SetLastTimestamp(plat::NowLocal());
            plat::Sleep(1);
        }
    }
    std::atomic<int> refreshes{0};
    bool answer_at_once = false;
};

TEST_F(OpcGroup, CacheReadsAndActiveState) {
    MakePosts(1);
    Sample(*leaves_[0], 5);
    Sample(*leaves_[1], 6);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    HRESULT* e = nullptr;
    const opc::OPCHANDLE second[] = {h[1]};
    ASSERT_EQ(g->SetActiveState(1, second, 0, &e), S_OK);
    TakeErrors(e, 1);

    HRESULT hr = S_OK;
    auto s = SyncRead(*g, opc::OPC_DS_CACHE, h, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(s[0].error, S_OK);
    EXPECT_EQ(s[0].value, 5);
    EXPECT_EQ(s[0].quality, drv::OPC_QUALITY_GOOD);
    EXPECT_EQ(s[0].client, 100u);
    EXPECT_EQ(s[1].error, E_FAIL) << "an inactive item's cache read fails";
    EXPECT_EQ(s[1].quality, drv::OPC_QUALITY_OUT_OF_SERVICE);

    // From the device the item's state does not matter.
    s = SyncRead(*g, opc::OPC_DS_DEVICE, h, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(s[1].value, 6);

    const opc::BOOL off = 0;
    ASSERT_EQ(g->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    s = SyncRead(*g, opc::OPC_DS_CACHE, {h[0]}, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(s[0].error, E_FAIL) << "an inactive group's cache read fails";

    opc::OPCITEMSTATE* st = nullptr;
    EXPECT_EQ(static_cast<opc::IOPCSyncIO&>(*g).Read(opc::OPC_DS_CACHE, 0, h.data(), &st, &e),
              E_INVALIDARG);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroup, DeviceReads) {
    const int32_t post = drv::FindOrCreateBranch(-1, "", "Post1");
    auto leaf = drv::New<RefreshLeaf>("State");
    leaf->AddToNS(post);
    Sample(*leaf, 3);

    // Not a friend: at once, from the cache, the devices not asked.
    auto other = MakeGroup(drv::kClientOther);
    auto h = Add(*other, {"Post1.State"});
    uint32_t t0 = plat::GetTickCount();
    auto s = SyncRead(*other, opc::OPC_DS_DEVICE, h);
    EXPECT_EQ(plat::GetTickCount() - t0, 0u);
    EXPECT_EQ(leaf->refreshes.load(), 0);
    EXPECT_EQ(s[0].value, 3);

    // A friend whose device is silent: after 10 s, with the old value.
    auto fr = MakeGroup(drv::kClientFriend);
    h = Add(*fr, {"Post1.State"});
    t0 = plat::GetTickCount();
    s = SyncRead(*fr, opc::OPC_DS_DEVICE, h);
    const uint32_t waited = plat::GetTickCount() - t0;
    EXPECT_GE(waited, drv::TGroup::kDeviceReadLimitMs);
    EXPECT_LT(waited, drv::TGroup::kDeviceReadLimitMs + 100);
    EXPECT_EQ(leaf->refreshes.load(), 1);
    EXPECT_EQ(s[0].value, 3);
    EXPECT_EQ(s[0].error, S_OK);

    // A device that answers at once ends the wait at once.
    leaf->answer_at_once = true;
    t0 = plat::GetTickCount();
    s = SyncRead(*fr, opc::OPC_DS_DEVICE, h);
    EXPECT_LT(plat::GetTickCount() - t0, 1000u) << "an answer that came at once counts as new";
    leaf->RemoveFromNS();
    ExpectNoTaskMemory();
}

// --- sync writes ---------------------------------------------------------------------------

// A post's state: 0, 1, 7 and 80 queue a command, which ends at once (7 with -2: the state
// changed meanwhile); anything else is out of range. Records what the write was told.
class StateLeaf : public TestLeaf {
  public:
    explicit StateLeaf(const std::string& name) : TestLeaf(name, 3) {}
    HRESULT Write(const plat::Variant& v, int privilege, int flag, plat::LCID lcid) override {
        seen_privilege = privilege;
        seen_flag = flag;
        seen_lcid = lcid;
        const int32_t x = v.lVal;
        if (x != 0 && x != 1 && x != 7 && x != 80) return plat::OPC_E_RANGE;
        const drv::TCmdID id = drv::CmdNewID();
        drv::CmdSetResult(id, x == 7 ? -2 : 0);
        return id;
    }
    int seen_privilege = -1, seen_flag = -1;
    plat::LCID seen_lcid = 0;
};

TEST_F(OpcGroup, SyncWriteAnswersTheOutcomeNeverTheId) {
    const int32_t post = drv::FindOrCreateBranch(-1, "", "Post1");
    auto leaf = drv::New<StateLeaf>("State");
    leaf->AddToNS(post);
    drv::TGroupArgs a;
    a.requested_rate = 100;
    a.client_kind = drv::kClientFriend;
    a.privilege = 1;
    a.lcid = plat::LOCALE_RU_RU;
    auto g = drv::New<drv::TGroup>(std::weak_ptr<drv::TServerCore>(), a);
    auto h = Add(*g, {"Post1.State"});
    const opc::OPCHANDLE hs[] = {h[0], h[0], h[0], h[0], 42};
    plat::Variant date;
    date.vt = plat::VT_DATE;
    date.date = 1.0;
    const plat::Variant values[] = {plat::Variant::I4(1), plat::Variant::I4(99),
                                    plat::Variant::I4(7), date, plat::Variant::I4(1)};
    HRESULT* e = nullptr;
    ASSERT_EQ(static_cast<opc::IOPCSyncIO&>(*g).Write(5, hs, values, &e), S_FALSE);
    auto errors = TakeErrors(e, 5);
    EXPECT_EQ(errors, (std::vector<HRESULT>{0, plat::OPC_E_RANGE, -2, plat::DISP_E_TYPEMISMATCH,
                                            plat::OPC_E_INVALIDHANDLE}));
    for (HRESULT r : errors) EXPECT_FALSE(drv::IsCmdID(r));
    EXPECT_EQ(leaf->seen_privilege, 1);
    EXPECT_EQ(leaf->seen_flag, drv::kClientFriend);
    EXPECT_EQ(leaf->seen_lcid, plat::LOCALE_RU_RU);
    EXPECT_GE(LinesContaining("ItemSyncWrite result "), 5u);

    const plat::Variant one = plat::Variant::I4(1);
    ASSERT_EQ(static_cast<opc::IOPCSyncIO&>(*g).Write(1, hs, &one, &e), S_OK);
    EXPECT_EQ(TakeErrors(e, 1), std::vector<HRESULT>{0});
    leaf->RemoveFromNS();
    ExpectNoTaskMemory();
}

// --- through a server ---------------------------------------------------------------------

class OpcGroupServer : public OpcTest {};

void Put(drv::TLeafItem& leaf, int32_t v) {
    leaf.NewSample(plat::Variant::I4(v), drv::OPC_QUALITY_GOOD, plat::NowLocal());
}

ComPtr<drv::TGroup> AddTo(drv::TOPCServer& s, const char16_t* name, HRESULT* hr = nullptr) {
    opc::OPCHANDLE handle = 0;
    uint32_t revised = 0;
    void* out = nullptr;
    HRESULT r = s.AddGroup(name, 1, 20, 7, nullptr, nullptr, plat::LOCALE_EN_US, &handle, &revised,
                           opc::IID_IOPCItemMgt, &out);
    if (hr) *hr = r;
    auto unk = ComPtr<opc::IOPCItemMgt>::Attach(static_cast<opc::IOPCItemMgt*>(out));
    return ComPtr<drv::TGroup>(dynamic_cast<drv::TGroup*>(unk.Get()));
}

TEST_F(OpcGroupServer, ClonesGetTheirOwnCursors) {
    MakePosts(1);
    Put(*leaves_[0], 1);
    auto s = drv::TOPCServer::Create();
    HRESULT hr = S_OK;
    auto g = AddTo(*s, u"A", &hr);
    EXPECT_EQ(hr, plat::OPC_S_UNSUPPORTEDRATE);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->UpdateRate(), 50u);
    std::u16string id = u"Post1.State";
    opc::OPCITEMDEF def;
    def.szItemID = id.data();
    def.bActive = 1;
    def.hClient = 5;
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(g->AddItems(1, &def, &res, &err), S_OK);
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);

    void* out = nullptr;
    EXPECT_EQ(g->CloneGroup(u"A", opc::IID_IOPCItemMgt, &out), plat::OPC_E_DUPLICATENAME);
    ASSERT_EQ(g->CloneGroup(u"B", opc::IID_IOPCSyncIO, &out), S_OK);
    auto clone_io = ComPtr<opc::IOPCSyncIO>::Attach(static_cast<opc::IOPCSyncIO*>(out));
    auto clone = ComPtr<drv::TGroup>(dynamic_cast<drv::TGroup*>(clone_io.Get()));
    ASSERT_TRUE(clone);
    EXPECT_EQ(s->GroupCount(), 2u);
    EXPECT_EQ(plat::WideToUtf8(clone->Name()), "B");

    auto a_sink = plat::MakeCom<DataSink>();
    auto b_sink = plat::MakeCom<DataSink>();
    Connect(*g, a_sink.Get());
    auto last_value = [](DataSink& sink) {
        auto calls = sink.Calls();
        return calls.empty() || calls.back().entries.empty() ? -1
                                                             : calls.back().entries.back().value;
    };
    ASSERT_TRUE(hosttest::Eventually([&] { return last_value(*a_sink) == 1; }));
    Put(*leaves_[0], 2);
    ASSERT_TRUE(hosttest::Eventually([&] { return last_value(*a_sink) == 2; }));
    // The clone had no callback so far: its own cursor, it still gets the change.
    Connect(*clone, b_sink.Get());
    Put(*leaves_[0], 3);
    ASSERT_TRUE(hosttest::Eventually([&] { return last_value(*b_sink) == 3; }));
    ASSERT_TRUE(hosttest::Eventually([&] { return last_value(*a_sink) == 3; }));
    EXPECT_EQ(b_sink->Calls().front().entries.front().client, 5u);

    clone = nullptr;
    clone_io = nullptr;
    g = nullptr;
    EXPECT_TRUE(hosttest::Eventually([&] { return s->GroupCount() == 0; }));
    s = nullptr;
    ExpectNoTaskMemory();
}

}  // namespace
}  // namespace opctest
