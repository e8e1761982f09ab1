// The OPC group interfaces over the transport: records holding strings and blobs in and out,
// arrays of VARIANTs, optional in values, formats by name and global memory, callbacks to the
// client, task memory given back on both sides after every call.
#include <gtest/gtest.h>

#include "platform/com/clipboard.h"
#include "tests/rpc/OpcFixture.h"
#include "tests/rpc/OpcGroupObjects.h"
#include "tests/support/TempRoot.h"

using namespace rpctest;
using plat::S_FALSE;
using plat::S_OK;

namespace {

class OpcGroup : public OpcServerFixture {
  protected:
    void SetUp() override {
        g_group_seen.Clear();
        OpcServerFixture::SetUp();
        if (HasFatalFailure()) return;
        group_factory = plat::MakeCom<plat::FunctionClassFactory>(
            [this](const IID& iid, void** out) -> HRESULT {
                auto obj = plat::MakeCom<GroupObject>();
                {
                    std::lock_guard lk(made_m);
                    made_group = obj;
                }
                return obj->QueryInterface(iid, out);
            });
        group_cookie = plat::RegisterClassObject(CLSID_OpcGroupTest, group_factory.Get());
        ASSERT_NE(group_cookie, 0u);
    }
    void TearDown() override {
        {
            std::lock_guard lk(made_m);
            made_group = nullptr;
        }
        plat::RevokeClassObject(group_cookie);
        g_group_seen.Clear();  // its variants and media hold no task memory, but be tidy
        OpcServerFixture::TearDown();
    }
    template <class I>
    ComPtr<I> CreateGroup() {
        void* p = nullptr;
        HRESULT hr =
            plat::rpc::CreateOnLocalServer(socket_path, CLSID_OpcGroupTest, I::GetIID(), &p);
        EXPECT_EQ(hr, S_OK) << plat::GetErrorText();
        return ComPtr<I>::Attach(static_cast<I*>(p));
    }
    ComPtr<GroupObject> Group() {
        std::lock_guard lk(made_m);
        return made_group;
    }
    void ExpectNoTaskBlocks(const char* after) {
        EXPECT_TRUE(Eventually([&] { return plat::CoTaskMemLiveBlocks() == blocks_at_start; }))
            << after << ": " << plat::CoTaskMemLiveBlocks() - blocks_at_start << " blocks left";
    }
    static std::u16string Take(char16_t*& s) {
        std::u16string r = s ? s : u"(null)";
        plat::CoTaskMemFree(std::exchange(s, nullptr));
        return r;
    }

    ComPtr<plat::IClassFactory> group_factory;
    uint32_t group_cookie = 0;
    ComPtr<GroupObject> made_group;
};

TEST_F(OpcGroup, ItemDefinitionsTravelWithStringsAndBlobsAndResultsComeBack) {
    auto items = CreateGroup<opc::IOPCItemMgt>();
    ASSERT_TRUE(items);
    std::u16string id0 = u"Post1.State", id2 = u"Post2.\u0416";
    std::u16string path0 = u"";
    uint8_t blob0[] = {1, 2, 3};
    opc::OPCITEMDEF defs[3] = {};
    defs[0].szAccessPath = path0.data();
    defs[0].szItemID = id0.data();
    defs[0].bActive = 1;
    defs[0].hClient = 7;
    defs[0].dwBlobSize = 3;
    defs[0].pBlob = blob0;
    defs[0].vtRequestedDataType = plat::VT_I4;
    defs[1].szItemID = nullptr;  // unknown item
    defs[1].hClient = 8;
    defs[1].dwBlobSize = 99;  // no blob: the size alone does not travel
    defs[2].szItemID = id2.data();
    defs[2].hClient = 9;
    defs[2].vtRequestedDataType = plat::VT_BSTR;

    opc::OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(3, defs, &results, &errors), S_FALSE);
    ASSERT_TRUE(results && errors);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], static_cast<HRESULT>(0xC0040007));
    EXPECT_EQ(errors[2], S_OK);
    EXPECT_EQ(results[0].hServer, 1007u);
    EXPECT_EQ(results[0].vtCanonicalDataType, plat::VT_I4);
    EXPECT_EQ(results[0].dwAccessRights, 1u);
    ASSERT_EQ(results[0].dwBlobSize, 3u);
    ASSERT_TRUE(results[0].pBlob);
    EXPECT_EQ(std::vector<uint8_t>(results[0].pBlob, results[0].pBlob + 3),
              (std::vector<uint8_t>{3, 2, 1}));
    EXPECT_EQ(results[1].pBlob, nullptr);
    EXPECT_EQ(results[2].hServer, 1009u);
    EXPECT_EQ(results[2].vtCanonicalDataType, plat::VT_BSTR);
    EXPECT_EQ(results[2].pBlob, nullptr);
    for (int i = 0; i < 3; ++i) opc::FreeItemResult(results[i]);
    plat::CoTaskMemFree(results);
    plat::CoTaskMemFree(errors);
    {
        std::lock_guard lk(g_group_seen.m);
        EXPECT_EQ(g_group_seen.item_ids,
                  (std::vector<std::u16string>{u"Post1.State", u"(null)", u"Post2.\u0416"}));
        EXPECT_EQ(g_group_seen.access_paths,
                  (std::vector<std::u16string>{u"", u"(null)", u"(null)"}));
        ASSERT_EQ(g_group_seen.blobs.size(), 3u);
        EXPECT_EQ(g_group_seen.blobs[0], (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_TRUE(g_group_seen.blobs[1].empty());
    }
    ExpectNoTaskBlocks("AddItems");

    // ValidateItems: the blob comes back only when asked for.
    ASSERT_EQ(items->ValidateItems(1, defs, 0, &results, &errors), S_OK);
    ASSERT_TRUE(results && errors);
    EXPECT_EQ(results[0].hServer, 1007u);
    EXPECT_EQ(results[0].pBlob, nullptr);
    plat::CoTaskMemFree(results);
    plat::CoTaskMemFree(errors);
    // A refused call hands out nothing.
    results = reinterpret_cast<opc::OPCITEMRESULT*>(1);
    ASSERT_EQ(items->AddItems(0, nullptr, &results, &errors), plat::E_INVALIDARG);
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(errors, nullptr);
    ExpectNoTaskBlocks("ValidateItems");
}

TEST_F(OpcGroup, HandleArraysReachTheGroupAndErrorsComeBack) {
    auto items = CreateGroup<opc::IOPCItemMgt>();
    ASSERT_TRUE(items);
    const opc::OPCHANDLE h[] = {3, 0, 0xFFFFFFFF};
    const opc::OPCHANDLE c[] = {10, 20, 1};
    const plat::VARTYPE vt[] = {plat::VT_R8, plat::VT_BSTR, plat::VT_I2};
    HRESULT* e = nullptr;
    ASSERT_EQ(items->RemoveItems(3, h, &e), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 3), (std::vector<HRESULT>{3, 0, -1}));
    plat::CoTaskMemFree(e);
    ASSERT_EQ(items->SetActiveState(2, h, 1, &e), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2), (std::vector<HRESULT>{31, 1}));
    plat::CoTaskMemFree(e);
    ASSERT_EQ(items->SetClientHandles(3, h, c, &e), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 3), (std::vector<HRESULT>{13, 20, 0}));
    plat::CoTaskMemFree(e);
    ASSERT_EQ(items->SetDatatypes(2, h, vt, &e), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2), (std::vector<HRESULT>{305, plat::VT_BSTR}));
    plat::CoTaskMemFree(e);

    void* raw = nullptr;
    EXPECT_EQ(items->CreateEnumerator(opc::IID_IEnumString, &raw), plat::E_INVALIDARG);
    EXPECT_EQ(raw, nullptr);
    ASSERT_EQ(items->CreateEnumerator(opc::IID_IEnumOPCItemAttributes, &raw), S_OK);
    auto attrs =
        ComPtr<opc::IEnumOPCItemAttributes>::Attach(static_cast<opc::IEnumOPCItemAttributes*>(raw));
    opc::OPCITEMATTRIBUTES* a = nullptr;
    uint32_t got = 0;
    ASSERT_EQ(attrs->Next(5, &a, &got), S_FALSE);
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(std::u16string(a[1].szItemID), u"item1");
    for (uint32_t i = 0; i < got; ++i) opc::FreeItemAttributes(a[i]);
    std::destroy_n(a, got);
    plat::CoTaskMemFree(a);
    attrs = nullptr;

    auto sampling = plat::QueryAs<tlb::IOPCItemSamplingMgtExt>(items.Get());
    ASSERT_TRUE(sampling);
    const uint32_t sh[] = {1, 2};
    const int32_t en[] = {1, 0}, early[] = {0, -1};
    ASSERT_EQ(sampling->SetItemBufferEnableAndTimeStampControl(2, sh, en, early, &e), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2), (std::vector<HRESULT>{6, 9}));
    plat::CoTaskMemFree(e);
    ExpectNoTaskBlocks("item management");
}

TEST_F(OpcGroup, StateWithOptionalInValuesNameCloneAndKeepAlive) {
    auto state = CreateGroup<opc::IOPCGroupStateMgt2>();
    ASSERT_TRUE(state);
    const uint32_t rate = 20;
    const float deadband = 2.5f;
    const plat::LCID lcid = 0x419;
    uint32_t revised = 0;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, &deadband, &lcid, nullptr),
              static_cast<HRESULT>(0x0004000D));
    EXPECT_EQ(revised, 100u);
    {
        std::lock_guard lk(g_group_seen.m);
        EXPECT_EQ(g_group_seen.set_state, "rate=20 deadband=2.500000 lcid=1049 ");
    }
    const opc::BOOL inactive = 0;
    const int32_t bias = -60;
    const opc::OPCHANDLE client = 44;
    ASSERT_EQ(state->SetState(nullptr, &revised, &inactive, &bias, nullptr, nullptr, &client),
              S_OK);
    {
        std::lock_guard lk(g_group_seen.m);
        EXPECT_EQ(g_group_seen.set_state, "active=0 bias=-60 client=44 ");
    }
    EXPECT_EQ(state->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              plat::E_POINTER);
    ASSERT_EQ(state->SetName(u"Pumps \u0416"), S_OK);

    uint32_t r = 0;
    opc::BOOL active = 1;
    char16_t* name = nullptr;
    int32_t b = 0;
    float d = 0;
    plat::LCID l = 0;
    opc::OPCHANDLE hc = 0, hs = 0;
    ASSERT_EQ(state->GetState(&r, &active, &name, &b, &d, &l, &hc, &hs), S_OK);
    EXPECT_EQ(r, 100u);
    EXPECT_EQ(active, 0);
    EXPECT_EQ(Take(name), u"Pumps \u0416");
    EXPECT_EQ(b, -60);
    EXPECT_EQ(d, 2.5f);
    EXPECT_EQ(l, 0x419u);
    EXPECT_EQ(hc, 44u);
    EXPECT_EQ(hs, 77u);

    uint32_t ka = 0;
    ASSERT_EQ(state->SetKeepAlive(500, &ka), S_OK);
    EXPECT_EQ(ka, 501u);
    ASSERT_EQ(state->GetKeepAlive(&ka), S_OK);
    EXPECT_EQ(ka, 500u);

    // The base interface of the same object, and a clone asked for by IID.
    auto base = plat::QueryAs<opc::IOPCGroupStateMgt>(state.Get());
    ASSERT_TRUE(base);
    void* raw = nullptr;
    ASSERT_EQ(base->CloneGroup(u"Copy", opc::IID_IOPCGroupStateMgt2, &raw), S_OK);
    auto clone =
        ComPtr<opc::IOPCGroupStateMgt2>::Attach(static_cast<opc::IOPCGroupStateMgt2*>(raw));
    ASSERT_TRUE(clone);
    ASSERT_EQ(clone->GetState(&r, &active, &name, &b, &d, &l, &hc, &hs), S_OK);
    EXPECT_EQ(Take(name), u"Copy");
    clone = nullptr;
    base = nullptr;
    ExpectNoTaskBlocks("group state");
}

TEST_F(OpcGroup, SyncReadAndWriteCarryItemStatesAndVariantArrays) {
    auto io = CreateGroup<opc::IOPCSyncIO>();
    ASSERT_TRUE(io);
    const opc::OPCHANDLE h[] = {3, 4, 0, 5};
    opc::OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(io->Read(opc::OPC_DS_DEVICE, 4, h, &states, &errors), S_FALSE);
    ASSERT_TRUE(states && errors);
    EXPECT_EQ(states[0].hClient, 6u);
    EXPECT_EQ(states[0].vDataValue.vt, plat::VT_I4);
    EXPECT_EQ(states[0].vDataValue.lVal, 3);
    EXPECT_EQ(plat::FileTimeToU64(states[0].ftTimeStamp), 3u);
    EXPECT_EQ(states[0].wQuality, 0xC2);
    EXPECT_EQ(states[1].vDataValue.vt, plat::VT_BSTR);
    EXPECT_EQ(states[1].vDataValue.bstrVal, u"v4");
    EXPECT_EQ(errors[2], static_cast<HRESULT>(0xC0040001));
    EXPECT_EQ(states[2].wQuality, 0x1C);
    EXPECT_EQ(states[3].vDataValue.vt, plat::VT_R8);
    EXPECT_EQ(states[3].vDataValue.dblVal, 1.25);
    std::destroy_n(states, 4);
    plat::CoTaskMemFree(states);
    plat::CoTaskMemFree(errors);
    states = reinterpret_cast<opc::OPCITEMSTATE*>(1);
    EXPECT_EQ(io->Read(opc::OPC_DS_CACHE, 0, nullptr, &states, &errors), plat::E_INVALIDARG);
    EXPECT_EQ(states, nullptr);

    const plat::Variant values[] = {plat::Variant::I4(-7), plat::Variant::R8(0.5),
                                    plat::Variant::Bool(true), plat::Variant::Cy({12345}),
                                    plat::Variant::Str(u"dose \u0416")};
    const opc::OPCHANDLE wh[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(io->Write(5, wh, values, &errors), S_OK);
    EXPECT_EQ(std::vector<HRESULT>(errors, errors + 5),
              (std::vector<HRESULT>{1 + plat::VT_I4, 2 + plat::VT_R8, 3 + plat::VT_BOOL,
                                    4 + plat::VT_CY, 5 + plat::VT_BSTR}));
    plat::CoTaskMemFree(errors);
    {
        std::lock_guard lk(g_group_seen.m);
        ASSERT_EQ(g_group_seen.written.size(), 5u);
        EXPECT_EQ(g_group_seen.written[0].lVal, -7);
        EXPECT_EQ(g_group_seen.written[2].boolVal, plat::VARIANT_TRUE);
        EXPECT_EQ(g_group_seen.written[3].cyVal, 12345);
        EXPECT_EQ(g_group_seen.written[4].bstrVal, u"dose \u0416");
    }
    ExpectNoTaskBlocks("sync IO");
}

TEST_F(OpcGroup, AsyncCallsOfBothGenerations) {
    auto io1 = CreateGroup<opc::IOPCAsyncIO>();
    ASSERT_TRUE(io1);
    const opc::OPCHANDLE h[] = {9, 8};
    uint32_t tid = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(io1->Read(100, opc::OPC_DS_DEVICE, 2, h, &tid, &e), S_OK);
    EXPECT_EQ(tid, 104u);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2), (std::vector<HRESULT>{9, 8}));
    plat::CoTaskMemFree(e);
    const plat::Variant v[] = {plat::Variant::Str(u"x"), plat::Variant::I2(3)};
    ASSERT_EQ(io1->Write(200, 2, h, v, &tid, &e), S_OK);
    EXPECT_EQ(tid, 202u);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2),
              (std::vector<HRESULT>{9 + plat::VT_BSTR, 8 + plat::VT_I2}));
    plat::CoTaskMemFree(e);
    ASSERT_EQ(io1->Refresh(3, opc::OPC_DS_CACHE, &tid), S_OK);
    EXPECT_EQ(tid, 31u);
    EXPECT_EQ(io1->Cancel(tid), plat::E_FAIL);

    auto io2 = plat::QueryAs<opc::IOPCAsyncIO2>(io1.Get());
    ASSERT_TRUE(io2);
    uint32_t cancel = 0;
    ASSERT_EQ(io2->Read(2, h, 50, &cancel, &e), S_OK);
    EXPECT_EQ(cancel, 52u);
    EXPECT_EQ(std::vector<HRESULT>(e, e + 2), (std::vector<HRESULT>{10, 9}));
    plat::CoTaskMemFree(e);
    ASSERT_EQ(io2->Write(1, h, v + 1, 60, &cancel, &e), S_OK);
    EXPECT_EQ(cancel, 61u);
    EXPECT_EQ(e[0], 9 + plat::VT_I2);
    plat::CoTaskMemFree(e);
    ASSERT_EQ(io2->Refresh2(opc::OPC_DS_DEVICE, 7, &cancel), S_OK);
    EXPECT_EQ(cancel, 72u);
    EXPECT_EQ(io2->Cancel2(cancel), plat::E_FAIL);
    opc::BOOL on = 1;
    ASSERT_EQ(io2->SetEnable(0), S_OK);
    ASSERT_EQ(io2->GetEnable(&on), S_OK);
    EXPECT_EQ(on, 0);
    ExpectNoTaskBlocks("async IO");
}

TEST_F(OpcGroup, DataCallbacksReachTheClientWithEveryArray) {
    auto container = CreateGroup<plat::IConnectionPointContainer>();
    ASSERT_TRUE(container);
    plat::IConnectionPoint* raw = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(opc::IID_IOPCDataCallback, &raw), S_OK);
    auto point = ComPtr<plat::IConnectionPoint>::Attach(raw);
    auto sinks = plat::MakeCom<ClientSinks>();
    uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<opc::IOPCDataCallback*>(sinks.Get()), &cookie), S_OK);

    auto all = Group()->Point().Sinks();
    ASSERT_EQ(all.size(), 1u);
    opc::IOPCDataCallback* cb = all[0].Get();
    const opc::OPCHANDLE hc[] = {11, 12, 13};
    const plat::Variant vals[] = {plat::Variant::I4(1), plat::Variant::Str(u"AllParameters"),
                                  plat::Variant::R8(2.5)};
    const uint16_t q[] = {0xC0, 0xC0, 0x1C};
    const plat::FILETIME ts[] = {plat::U64ToFileTime(1), plat::U64ToFileTime(2),
                                 plat::U64ToFileTime(3)};
    const HRESULT es[] = {S_OK, S_OK, plat::E_FAIL};
    ASSERT_EQ(cb->OnDataChange(0, 5, S_FALSE, S_FALSE, 3, hc, vals, q, ts, es), S_OK);
    ASSERT_EQ(cb->OnReadComplete(42, 5, S_OK, S_OK, 1, hc + 1, vals + 1, q + 1, ts + 1, es + 1),
              S_OK);
    ASSERT_EQ(cb->OnWriteComplete(43, 5, S_FALSE, 2, hc + 1, es + 1), S_OK);
    ASSERT_EQ(cb->OnCancelComplete(44, 5), S_OK);
    // Keep-alive: nothing to report.
    ASSERT_EQ(cb->OnDataChange(0, 5, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
              S_OK);
    sinks->answer = plat::E_FAIL;  // a failing client is seen as failing
    EXPECT_EQ(cb->OnDataChange(0, 5, S_OK, S_OK, 1, hc, vals, q, ts, es), plat::E_FAIL);
    {
        std::lock_guard lk(sinks->mu);
        ASSERT_EQ(sinks->data.size(), 6u);
        const auto& d = sinks->data[0];
        EXPECT_EQ(d.kind, "data");
        EXPECT_EQ(d.group, 5u);
        EXPECT_EQ(d.quality, S_FALSE);
        EXPECT_EQ(d.handles, (std::vector<opc::OPCHANDLE>{11, 12, 13}));
        ASSERT_EQ(d.values.size(), 3u);
        EXPECT_EQ(d.values[1].bstrVal, u"AllParameters");
        EXPECT_EQ(d.values[2].dblVal, 2.5);
        EXPECT_EQ(d.qualities, (std::vector<uint16_t>{0xC0, 0xC0, 0x1C}));
        EXPECT_EQ(plat::FileTimeToU64(d.times[2]), 3u);
        EXPECT_EQ(d.errors[2], plat::E_FAIL);
        EXPECT_EQ(sinks->data[1].kind, "read");
        EXPECT_EQ(sinks->data[1].tid, 42u);
        EXPECT_EQ(sinks->data[1].values[0].bstrVal, u"AllParameters");
        EXPECT_EQ(sinks->data[2].kind, "write");
        EXPECT_EQ(sinks->data[2].handles, (std::vector<opc::OPCHANDLE>{12, 13}));
        EXPECT_EQ(sinks->data[2].errors, (std::vector<HRESULT>{S_OK, plat::E_FAIL}));
        EXPECT_EQ(sinks->data[3].kind, "cancel");
        EXPECT_EQ(sinks->data[3].tid, 44u);
        EXPECT_TRUE(sinks->data[4].handles.empty());
    }
    all.clear();
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    point = nullptr;
    container = nullptr;
    sinks = nullptr;
    ExpectNoTaskBlocks("data callbacks");
}

TEST_F(OpcGroup, DataObjectAdviseSinkAndGlobalMemory) {
    const uint16_t cf_data = plat::RegisterClipboardFormat(u"OPCSTMFORMATDATA");
    ASSERT_GE(cf_data, plat::kFirstRegisteredFormat);
    auto data = CreateGroup<opc::IDataObject>();
    ASSERT_TRUE(data);
    auto sinks = plat::MakeCom<ClientSinks>();
    opc::FORMATETC f;
    f.cfFormat = cf_data;
    uint32_t conn = 0;
    ASSERT_EQ(data->DAdvise(&f, 0, static_cast<opc::IAdviseSink*>(sinks.Get()), &conn), S_OK);
    EXPECT_EQ(conn, cf_data);
    EXPECT_EQ(data->DAdvise(&f, 0, static_cast<opc::IAdviseSink*>(sinks.Get()), &conn),
              plat::CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(data->DAdvise(nullptr, 0, nullptr, &conn), plat::E_INVALIDARG);

    // The group calls the client back with a block.
    auto sink = Group()->AdviseSink();
    ASSERT_TRUE(sink);
    opc::STGMEDIUM m;
    m.hGlobal = {20, 0, 0, 0, 0xFF, 0, 0x80};
    opc::FORMATETC back;
    back.cfFormat = cf_data;
    back.lindex = -1;
    ASSERT_EQ(sink->OnDataChange(&back, &m), S_OK);
    ASSERT_EQ(sink->OnViewChange(1, -1), S_OK);
    ASSERT_EQ(sink->OnRename(nullptr), S_OK);
    ASSERT_EQ(sink->OnSave(), S_OK);
    ASSERT_EQ(sink->OnClose(), S_OK);
    // A medium other than global memory cannot travel.
    opc::STGMEDIUM file;
    file.tymed = 2;
    EXPECT_EQ(sink->OnDataChange(&back, &file), static_cast<HRESULT>(0x80040069));
    {
        std::lock_guard lk(sinks->mu);
        ASSERT_EQ(sinks->formats.size(), 1u);
        EXPECT_EQ(sinks->formats[0].cfFormat, cf_data);
        EXPECT_EQ(sinks->formats[0].dwAspect, opc::DVASPECT_CONTENT);
        EXPECT_EQ(sinks->formats[0].lindex, -1);
        EXPECT_EQ(sinks->formats[0].tymed, opc::TYMED_HGLOBAL);
        EXPECT_EQ(sinks->formats[0].ptd, nullptr);
        ASSERT_EQ(sinks->media.size(), 1u);
        EXPECT_EQ(sinks->media[0].tymed, opc::TYMED_HGLOBAL);
        EXPECT_EQ(sinks->media[0].hGlobal, m.hGlobal);
        EXPECT_EQ(sinks->views, (std::vector<std::string>{"1/-1", "rename-null", "save", "close"}));
    }
    sink = nullptr;

    // Media and formats the other way, and predefined formats by number.
    opc::STGMEDIUM got;
    f.dwAspect = 4;
    f.lindex = 3;
    ASSERT_EQ(data->GetData(&f, &got), S_OK);
    EXPECT_EQ(got.hGlobal, (std::vector<uint8_t>{static_cast<uint8_t>(cf_data),
                                                 static_cast<uint8_t>(cf_data >> 8), 4, 3}));
    opc::FORMATETC text;
    text.cfFormat = 13;
    opc::FORMATETC canon;
    ASSERT_EQ(data->GetCanonicalFormatEtc(&text, &canon), S_OK);
    EXPECT_EQ(canon.cfFormat, 13);
    EXPECT_EQ(canon.lindex, 5);
    opc::STGMEDIUM empty;
    empty.tymed = 0;
    ASSERT_EQ(data->SetData(&text, &empty, 1), S_OK);
    {
        std::lock_guard lk(g_group_seen.m);
        ASSERT_TRUE(g_group_seen.format && g_group_seen.medium);
        EXPECT_EQ(g_group_seen.format->cfFormat, 13);
        EXPECT_EQ(g_group_seen.medium->tymed, 0u);
    }
    EXPECT_EQ(data->QueryGetData(nullptr), S_FALSE);
    EXPECT_EQ(data->GetDataHere(&f, &got), plat::E_NOTIMPL);
    plat::IUnknown* e = reinterpret_cast<plat::IUnknown*>(1);
    EXPECT_EQ(data->EnumFormatEtc(1, &e), plat::E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(data->EnumDAdvise(&e), plat::E_NOTIMPL);
    ASSERT_EQ(data->DUnadvise(conn), S_OK);
    EXPECT_EQ(data->DUnadvise(conn), plat::OLE_E_NOCONNECTION);
    data = nullptr;
    sinks = nullptr;
    ExpectNoTaskBlocks("data object");
}

// The format's number is the sender's; the name is what arrives, and the receiver puts its own
// number for it.
TEST(OpcFormatOnTheWire, ARegisteredFormatTravelsByNameAndArrivesAsTheReceiversNumber) {
    plat::rpc::Writer w;
    {
        testsupport::TempRoot sender;
        opc::FORMATETC f;
        f.cfFormat = plat::RegisterClipboardFormat(u"OPCSTMFORMATDATATIME");
        ASSERT_EQ(f.cfFormat, 0xC000);
        f.lindex = -1;
        plat::rpc::Codec<opc::FORMATETC>::Write(w, f);
    }
    const std::vector<uint8_t>& b = w.Bytes();
    const std::u16string name = u"OPCSTMFORMATDATATIME";
    ASSERT_EQ(b.size(), 1 + 4 + name.size() * 2 + 12);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(b.data() + 5), name.size()), name);

    testsupport::TempRoot receiver;
    ASSERT_EQ(plat::RegisterClipboardFormat(u"Something else"), 0xC000);
    ASSERT_EQ(plat::RegisterClipboardFormat(u"opcstmformatdatatime"), 0xC001);
    opc::FORMATETC got;
    got.ptd = &got;
    plat::rpc::Reader r(b);
    ASSERT_TRUE(plat::rpc::Codec<opc::FORMATETC>::Read(r, got));
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(got.cfFormat, 0xC001);
    EXPECT_EQ(got.ptd, nullptr);
    EXPECT_EQ(got.lindex, -1);

    // A name the receiver never registered matches nothing and registers nothing.
    plat::rpc::Writer u;
    u.U8(1);
    plat::rpc::Codec<plat::WideString>::Write(u, u"Unheard of");
    u.U32(1);
    u.I32(-1);
    u.U32(1);
    plat::rpc::Reader ur(u.Bytes());
    ASSERT_TRUE(plat::rpc::Codec<opc::FORMATETC>::Read(ur, got));
    EXPECT_EQ(got.cfFormat, 0);
    EXPECT_EQ(plat::FindClipboardFormat(u"Unheard of"), 0);
}

}  // namespace
