// The OPC DA interfaces over the transport: every parameter shape they use, task memory given
// back on both sides after every call.
#include <gtest/gtest.h>

#include "tests/rpc/ChildProcess.h"
#include "tests/rpc/OpcFixture.h"

using namespace rpctest;
using plat::S_FALSE;
using plat::S_OK;

namespace {

class Opc : public OpcServerFixture {
  protected:
    // Task blocks alive now against the start (client and server share this process).
    void ExpectNoTaskBlocks(const char* after) {
        EXPECT_TRUE(Eventually([&] { return plat::CoTaskMemLiveBlocks() == blocks_at_start; }))
            << after << ": " << plat::CoTaskMemLiveBlocks() - blocks_at_start << " blocks left";
    }
    std::u16string Take(char16_t*& s) {
        std::u16string r = s ? s : u"(null)";
        plat::CoTaskMemFree(std::exchange(s, nullptr));
        return r;
    }
};

TEST_F(Opc, CommonServerAndBrowseCallsRoundTrip) {
    auto common = CreateOpc<opc::IOPCCommon>();
    ASSERT_TRUE(common);
    plat::LCID lcid = 0;
    EXPECT_EQ(common->SetLocaleID(0x407), S_OK);
    EXPECT_EQ(common->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x407u);
    uint32_t n = 0;
    plat::LCID* ids = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&n, &ids), S_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(ids[0], 0x409u);
    EXPECT_EQ(ids[1], 0x407u);
    plat::CoTaskMemFree(ids);
    char16_t* text = nullptr;
    ASSERT_EQ(common->GetErrorString(plat::E_FAIL, &text), S_OK);
    EXPECT_EQ(Take(text), u"E80004005/0");
    EXPECT_EQ(common->SetClientName(u"probe"), S_OK);
    EXPECT_EQ(Made()->ClientName(), u"probe");
    EXPECT_EQ(common->SetClientName(nullptr), S_OK);
    EXPECT_EQ(Made()->ClientName(), u"(null)");
    ExpectNoTaskBlocks("IOPCCommon");

    auto server = plat::QueryAs<opc::IOPCServer>(common.Get());
    ASSERT_TRUE(server);
    ASSERT_EQ(server->GetErrorString(plat::E_INVALIDARG, 1049, &text), S_OK);
    EXPECT_EQ(Take(text), u"E80070057/1049");
    // The optional time bias and deadband travel as given, null included.
    const int32_t bias = 60;
    const float deadband = 2.5f;
    opc::OPCHANDLE h = 0;
    uint32_t revised = 0;
    void* group = nullptr;
    ASSERT_EQ(server->AddGroup(u"g", 1, 100, 5, &bias, &deadband, 3, &h, &revised,
                               opc::IID_IEnumString, &group),
              S_OK);
    EXPECT_EQ(h, 5u + 60u + 1u);
    EXPECT_EQ(revised, 100u + 25u + 3u);
    ASSERT_TRUE(group);
    static_cast<opc::IEnumString*>(group)->Release();
    ASSERT_EQ(server->AddGroup(nullptr, 0, 100, 5, nullptr, nullptr, 0, &h, &revised,
                               opc::IID_IEnumString, &group),
              S_OK);
    EXPECT_EQ(h, 5u + 1000u);
    EXPECT_EQ(revised, 107u);
    auto names = ComPtr<opc::IEnumString>::Attach(static_cast<opc::IEnumString*>(group));
    char16_t* name = nullptr;
    ASSERT_EQ(names->Next(1, &name, nullptr), S_OK);
    EXPECT_EQ(Take(name), u"(null)");
    ASSERT_EQ(server->GetGroupByName(u"pumps", opc::IID_IEnumString, &group), S_OK);
    names = ComPtr<opc::IEnumString>::Attach(static_cast<opc::IEnumString*>(group));
    ASSERT_EQ(names->Next(1, &name, nullptr), S_OK);
    EXPECT_EQ(Take(name), u"pumps");
    EXPECT_EQ(server->RemoveGroup(1, 1), S_OK);
    EXPECT_EQ(server->RemoveGroup(1, 0), plat::E_FAIL);
    EXPECT_EQ(server->CreateGroupEnumerator(opc::OPC_ENUM_ALL, opc::IID_IOPCShutdown, &group),
              plat::E_NOINTERFACE);
    EXPECT_EQ(group, nullptr);

    auto browse = plat::QueryAs<opc::IOPCBrowseServerAddressSpace>(common.Get());
    ASSERT_TRUE(browse);
    opc::OPCNAMESPACETYPE ns{};
    EXPECT_EQ(browse->QueryOrganization(&ns), S_OK);
    EXPECT_EQ(ns, opc::OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse->ChangeBrowsePosition(opc::OPC_BROWSE_TO, u"a.b"), S_OK);
    EXPECT_EQ(Made()->Position(), "3:a.b");
    EXPECT_EQ(browse->ChangeBrowsePosition(opc::OPC_BROWSE_UP, nullptr), S_OK);
    EXPECT_EQ(Made()->Position(), "1:null");
    ASSERT_EQ(browse->GetItemID(u"T1", &text), S_OK);
    EXPECT_EQ(Take(text), u"root.T1");
    opc::IEnumString* paths = reinterpret_cast<opc::IEnumString*>(uintptr_t{1});
    EXPECT_EQ(browse->BrowseAccessPaths(u"T1", &paths), plat::E_NOTIMPL);
    EXPECT_EQ(paths, nullptr);
    names = nullptr;
    ExpectNoTaskBlocks("IOPCServer and IOPCBrowseServerAddressSpace");
}

TEST_F(Opc, StatusArrivesAsOneTaskRecord) {
    auto server = CreateOpc<opc::IOPCServer>();
    ASSERT_TRUE(server);
    EXPECT_EQ(server->GetStatus(nullptr), plat::E_POINTER);
    opc::OPCSERVERSTATUS* st = nullptr;
    ASSERT_EQ(server->GetStatus(&st), S_OK);
    ASSERT_TRUE(st);
    EXPECT_EQ(plat::FileTimeToU64(st->ftStartTime), 11u);
    EXPECT_EQ(plat::FileTimeToU64(st->ftCurrentTime), 22u);
    EXPECT_EQ(plat::FileTimeToU64(st->ftLastUpdateTime), 33u);
    EXPECT_EQ(st->dwServerState, opc::OPC_STATUS_SUSPENDED);
    EXPECT_EQ(st->dwGroupCount, 4u);
    EXPECT_EQ(st->dwBandWidth, 0xFFFFFFFFu);
    EXPECT_EQ(st->wMajorVersion, 2);
    EXPECT_EQ(st->wMinorVersion, 5);
    EXPECT_EQ(st->wBuildNumber, 77);
    ASSERT_TRUE(st->szVendorInfo);
    EXPECT_EQ(std::u16string(st->szVendorInfo), u"Norvalt \u0416");
    opc::FreeServerStatus(*st);
    plat::CoTaskMemFree(st);
    ExpectNoTaskBlocks("GetStatus");
}

TEST_F(Opc, PropertyArraysCarryTaskStringsVariantsAndErrors) {
    auto props = CreateOpc<opc::IOPCItemProperties>();
    ASSERT_TRUE(props);
    uint32_t n = 0;
    uint32_t* ids = nullptr;
    char16_t** descr = nullptr;
    plat::VARTYPE* types = nullptr;
    ASSERT_EQ(props->QueryAvailableProperties(u"P1", &n, &ids, &descr, &types), S_OK);
    ASSERT_EQ(n, 3u);
    ASSERT_TRUE(ids && descr && types);
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(ids[i], i + 1);
        EXPECT_EQ(Take(descr[i]), u"P1#" + U16(std::to_string(i + 1)));
        EXPECT_EQ(types[i], plat::VT_I2 + i);
    }
    plat::CoTaskMemFree(ids);
    plat::CoTaskMemFree(descr);
    plat::CoTaskMemFree(types);

    const uint32_t want[] = {2, 0, 3};
    plat::Variant* values = nullptr;
    plat::HRESULT* errors = nullptr;
    ASSERT_EQ(props->GetItemProperties(u"P1", 3, want, &values, &errors), S_FALSE);
    ASSERT_TRUE(values && errors);
    EXPECT_EQ(values[0].vt, plat::VT_I4);
    EXPECT_EQ(values[0].lVal, 20);
    EXPECT_EQ(values[1].vt, plat::VT_EMPTY);
    EXPECT_EQ(values[2].lVal, 30);
    EXPECT_EQ(errors[1], plat::E_INVALIDARG);
    EXPECT_EQ(errors[2], S_OK);
    std::destroy_n(values, 3);
    plat::CoTaskMemFree(values);
    plat::CoTaskMemFree(errors);

    char16_t** item_ids = nullptr;
    ASSERT_EQ(props->LookupItemIDs(u"P1", 3, want, &item_ids, &errors), S_FALSE);
    ASSERT_TRUE(item_ids && errors);
    EXPECT_EQ(Take(item_ids[0]), u"P1.2");
    EXPECT_EQ(item_ids[1], nullptr) << "a null string in the array stays null";
    EXPECT_EQ(Take(item_ids[2]), u"P1.3");
    EXPECT_EQ(errors[1], plat::E_INVALIDARG);
    plat::CoTaskMemFree(item_ids);
    plat::CoTaskMemFree(errors);
    ExpectNoTaskBlocks("IOPCItemProperties");
}

TEST_F(Opc, EnumStringNextOverNoneOneAndMany) {
    auto browse = CreateOpc<opc::IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(browse);
    opc::IEnumString* raw = nullptr;
    ASSERT_EQ(browse->BrowseOPCItemIDs(opc::OPC_FLAT, u"t", plat::VT_EMPTY, 5, &raw), S_OK);
    auto e = ComPtr<opc::IEnumString>::Attach(raw);
    ASSERT_TRUE(e);

    char16_t* s[6] = {};
    uint32_t got = 99;
    EXPECT_EQ(e->Next(0, s, &got), S_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(s[0], nullptr);

    // celt 1 without a fetched count: the server sees null too.
    ASSERT_EQ(e->Next(1, s, nullptr), S_OK);
    EXPECT_TRUE(g_next_seen.fetched_null);
    EXPECT_EQ(Take(s[0]), u"t0");
    ASSERT_EQ(e->Next(1, s, &got), S_OK);
    EXPECT_FALSE(g_next_seen.fetched_null);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(Take(s[0]), u"t1");

    ASSERT_EQ(e->Next(2, s, &got), S_OK);
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(Take(s[0]), u"t2");
    EXPECT_EQ(Take(s[1]), u"t3");
    ExpectNoTaskBlocks("Next");

    ComPtr<opc::IEnumString> clone;
    {
        opc::IEnumString* c = nullptr;
        ASSERT_EQ(e->Clone(&c), S_OK);
        clone = ComPtr<opc::IEnumString>::Attach(c);
    }
    // Fewer left than asked: S_FALSE, only the fetched elements written.
    s[1] = kGuard;
    ASSERT_EQ(e->Next(6, s, &got), S_FALSE);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(Take(s[0]), u"t4");
    EXPECT_EQ(s[1], kGuard);
    s[0] = kGuard;
    EXPECT_EQ(e->Next(1, s, nullptr), S_FALSE);
    EXPECT_EQ(s[0], kGuard);
    s[0] = nullptr;
    s[1] = nullptr;

    ASSERT_EQ(clone->Next(1, s, nullptr), S_OK);
    EXPECT_EQ(Take(s[0]), u"t4");
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(3), S_OK);
    ASSERT_EQ(e->Next(1, s, nullptr), S_OK);
    EXPECT_EQ(Take(s[0]), u"t3");
    EXPECT_EQ(e->Skip(9), S_FALSE);
    // The enumerator's own argument check still answers.
    EXPECT_EQ(e->Next(2, s, nullptr), plat::E_POINTER);
    ExpectNoTaskBlocks("Next, Clone, Skip");
}

TEST_F(Opc, EnumUnknownHandsOutWorkingReferences) {
    auto server = CreateOpc<opc::IOPCServer>();
    ASSERT_TRUE(server);
    void* raw = nullptr;
    ASSERT_EQ(server->CreateGroupEnumerator(static_cast<opc::OPCENUMSCOPE>(3),
                                            opc::IID_IEnumUnknown, &raw),
              S_OK);
    auto e = ComPtr<opc::IEnumUnknown>::Attach(static_cast<opc::IEnumUnknown*>(raw));
    plat::IUnknown* u[4] = {};
    uint32_t got = 0;
    ASSERT_EQ(e->Next(4, u, &got), S_FALSE);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(u[3], nullptr);
    for (uint32_t i = 0; i < got; ++i) {
        auto names = plat::QueryAs<opc::IEnumString>(u[i]);
        ASSERT_TRUE(names) << i;
        char16_t* s = nullptr;
        ASSERT_EQ(names->Next(1, &s, nullptr), S_OK);
        EXPECT_EQ(Take(s), U16("group" + std::to_string(i)));
        u[i]->Release();
    }
    EXPECT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, u, nullptr), S_OK);
    ASSERT_TRUE(u[0]);
    u[0]->Release();
    e = nullptr;
    server = nullptr;
    EXPECT_TRUE(Eventually([] { return g_live_opc == 1; })) << "only the held server object";
    ExpectNoTaskBlocks("IEnumUnknown");
}

TEST_F(Opc, ItemAttributesArriveWithStringsBlobsAndVariants) {
    auto server = CreateOpc<opc::IOPCServer>();
    ASSERT_TRUE(server);
    void* raw = nullptr;
    ASSERT_EQ(server->CreateGroupEnumerator(static_cast<opc::OPCENUMSCOPE>(4),
                                            opc::IID_IEnumOPCItemAttributes, &raw),
              S_OK);
    auto e =
        ComPtr<opc::IEnumOPCItemAttributes>::Attach(static_cast<opc::IEnumOPCItemAttributes*>(raw));
    opc::OPCITEMATTRIBUTES* a = nullptr;
    uint32_t got = 0;
    ASSERT_EQ(e->Next(10, &a, &got), S_FALSE);
    ASSERT_EQ(got, 4u);
    ASSERT_TRUE(a);
    for (uint32_t i = 0; i < got; ++i) {
        EXPECT_EQ(std::u16string(a[i].szAccessPath), U16("path" + std::to_string(i)));
        EXPECT_EQ(std::u16string(a[i].szItemID), U16("item" + std::to_string(i)));
        EXPECT_EQ(a[i].bActive, static_cast<opc::BOOL>(i % 2));
        EXPECT_EQ(a[i].hClient, 100 + i);
        EXPECT_EQ(a[i].hServer, 200 + i);
        EXPECT_EQ(a[i].dwAccessRights, 3u);
        ASSERT_EQ(a[i].dwBlobSize, i);
        EXPECT_EQ(a[i].pBlob == nullptr, i == 0);
        for (uint32_t b = 0; b < i; ++b) EXPECT_EQ(a[i].pBlob[b], i);
        EXPECT_EQ(a[i].vtRequestedDataType, plat::VT_R8);
        EXPECT_EQ(a[i].vtCanonicalDataType, plat::VT_I4);
        EXPECT_EQ(a[i].dwEUType, opc::OPC_ANALOG);
        EXPECT_EQ(a[i].vEUInfo.vt, plat::VT_I4);
        EXPECT_EQ(a[i].vEUInfo.lVal, static_cast<int32_t>(i));
        opc::FreeItemAttributes(a[i]);
        std::destroy_at(&a[i]);
    }
    plat::CoTaskMemFree(a);
    ASSERT_EQ(e->Next(1, &a, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(a, nullptr);
    ExpectNoTaskBlocks("IEnumOPCItemAttributes");
}

TEST_F(Opc, ConnectionPointsAndConnectionsAreEnumerated) {
    auto container = CreateOpc<plat::IConnectionPointContainer>();
    ASSERT_TRUE(container);
    plat::IEnumConnectionPoints* raw_points = nullptr;
    ASSERT_EQ(container->EnumConnectionPoints(&raw_points), S_OK);
    auto points = ComPtr<plat::IEnumConnectionPoints>::Attach(raw_points);
    plat::IConnectionPoint* p[2] = {};
    uint32_t got = 0;
    ASSERT_EQ(points->Next(2, p, &got), S_FALSE);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(p[1], nullptr);
    auto point = ComPtr<plat::IConnectionPoint>::Attach(p[0]);
    plat::IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, opc::IID_IOPCShutdown);
    EXPECT_EQ(points->Next(1, p, nullptr), S_FALSE);

    auto sink = plat::MakeCom<ShutdownSink>();
    uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<opc::IOPCShutdown*>(sink.Get()), &cookie), S_OK);
    plat::IEnumConnections* raw_conns = nullptr;
    ASSERT_EQ(point->EnumConnections(&raw_conns), S_OK);
    auto conns = ComPtr<plat::IEnumConnections>::Attach(raw_conns);
    plat::CONNECTDATA cd[3];
    ASSERT_EQ(conns->Next(3, cd, &got), S_FALSE);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(cd[0].dwCookie, cookie);
    ASSERT_TRUE(cd[0].pUnk);
    // The sink comes home as itself.
    auto same = plat::QueryAs<opc::IOPCShutdown>(cd[0].pUnk);
    EXPECT_EQ(same.Get(), static_cast<opc::IOPCShutdown*>(sink.Get()));
    cd[0].pUnk->Release();
    EXPECT_EQ(cd[1].pUnk, nullptr);
    // And the server reaches it.
    for (const auto& s : Made()->Point().Sinks()) EXPECT_EQ(s->ShutdownRequest(u"bye"), S_OK);
    ASSERT_EQ(sink->reasons.size(), 1u);
    EXPECT_EQ(sink->reasons[0], u"bye");

    ASSERT_EQ(conns->Reset(), S_OK);
    ASSERT_EQ(conns->Next(1, cd, nullptr), S_OK);
    ASSERT_TRUE(cd[0].pUnk);
    cd[0].pUnk->Release();
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    conns = nullptr;
    ASSERT_EQ(point->EnumConnections(&raw_conns), S_OK);
    conns = ComPtr<plat::IEnumConnections>::Attach(raw_conns);
    EXPECT_EQ(conns->Next(1, cd, nullptr), S_FALSE);
    conns = nullptr;
    points = nullptr;
    point = nullptr;
    same = nullptr;
    sink = nullptr;
    container = nullptr;
    ExpectNoTaskBlocks("connection points");
}

TEST_F(Opc, NextWithAnEnormousCountCostsTheServerOneReplysWorth) {
    auto browse = CreateOpc<opc::IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(browse);
    opc::IEnumString* raw = nullptr;
    ASSERT_EQ(browse->BrowseOPCItemIDs(opc::OPC_FLAT, u"x", plat::VT_EMPTY, 3, &raw), S_OK);
    auto e = ComPtr<opc::IEnumString>::Attach(raw);
    // The caller claims room it does not have; the enumerator holds only three.
    char16_t* s[8] = {};
    uint32_t got = 0;
    ASSERT_EQ(e->Next(0xFFFFFFFFu, s, &got), S_FALSE);
    ASSERT_EQ(got, 3u);
    EXPECT_LE(g_next_seen.celt.load() * sizeof(char16_t*), uint64_t{plat::rpc::kMaxFrame})
        << "the server was given room for " << g_next_seen.celt.load() << " elements";
    EXPECT_GE(g_next_seen.celt.load(), 3u);
    for (uint32_t i = 0; i < got; ++i) EXPECT_EQ(Take(s[i]), U16("x" + std::to_string(i)));
    EXPECT_EQ(s[3], nullptr);
    // The server goes on serving.
    EXPECT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, s, nullptr), S_OK);
    EXPECT_EQ(Take(s[0]), u"x0");
    ExpectNoTaskBlocks("Next(0xFFFFFFFF)");
}

TEST_F(Opc, NextsRoomFollowsWhatTheEnumeratorHandsOutAndIsChargedToTheProcess) {
    auto browse = CreateOpc<opc::IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(browse);
    constexpr uint32_t kNames = 20000;
    opc::IEnumString* raw = nullptr;
    ASSERT_EQ(browse->BrowseOPCItemIDs(opc::OPC_FLAT, u"n", plat::VT_EMPTY, kNames, &raw), S_OK);
    auto e = ComPtr<opc::IEnumString>::Attach(raw);
    std::vector<char16_t*> s(kNames + 1, nullptr);
    uint32_t got = 0;
    g_next_seen.most_celt = 0;
    // The caller claims far more room than the enumerator holds.
    ASSERT_EQ(e->Next(0xFFFFFFFFu, s.data(), &got), S_FALSE);
    ASSERT_EQ(got, kNames) << "the whole rest, as one call asked for it";
    EXPECT_LE(g_next_seen.most_celt.load() * sizeof(char16_t*), plat::rpc::kFillChunkBytes)
        << "the server was given room for " << g_next_seen.most_celt.load() << " elements";
    EXPECT_GE(g_next_seen.held.load(), g_next_seen.celt.load() * sizeof(char16_t*))
        << "the room is not charged to the process's message budget";
    for (uint32_t i = 0; i < got; ++i) EXPECT_EQ(Take(s[i]), U16("n" + std::to_string(i)));
    EXPECT_EQ(s[kNames], nullptr);
    EXPECT_TRUE(Eventually([] { return plat::rpc::HeldMessageBytes() == 0; }));
    ExpectNoTaskBlocks("Next over several rooms");
}

// In one process, without the transport.
TEST(OpcConnectionPoints, EnumeratorsAreSnapshotsWithTheirOwnPosition) {
    auto obj = plat::MakeCom<OpcObject>();
    auto sink = plat::MakeCom<ShutdownSink>();
    uint32_t c1 = 0, c2 = 0;
    ASSERT_EQ(obj->Point().Advise(static_cast<opc::IOPCShutdown*>(sink.Get()), &c1), S_OK);
    ASSERT_EQ(obj->Point().Advise(static_cast<opc::IOPCShutdown*>(sink.Get()), &c2), S_OK);
    plat::IEnumConnections* raw = nullptr;
    ASSERT_EQ(obj->Point().EnumConnections(&raw), S_OK);
    auto conns = ComPtr<plat::IEnumConnections>::Attach(raw);
    ASSERT_EQ(obj->Point().Unadvise(c1), S_OK);  // after the snapshot
    EXPECT_EQ(conns->Skip(1), S_OK);
    plat::IEnumConnections* raw_clone = nullptr;
    ASSERT_EQ(conns->Clone(&raw_clone), S_OK);
    auto clone = ComPtr<plat::IEnumConnections>::Attach(raw_clone);
    plat::CONNECTDATA cd[2];
    uint32_t got = 0;
    ASSERT_EQ(clone->Next(2, cd, &got), S_FALSE);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(cd[0].dwCookie, c2);
    cd[0].pUnk->Release();
    ASSERT_EQ(conns->Reset(), S_OK);
    ASSERT_EQ(conns->Next(2, cd, &got), S_OK);
    EXPECT_EQ(cd[0].dwCookie, c1);
    EXPECT_EQ(cd[1].dwCookie, c2);
    cd[0].pUnk->Release();
    cd[1].pUnk->Release();
    EXPECT_EQ(conns->Next(2, cd, nullptr), plat::E_POINTER);
    EXPECT_EQ(conns->Skip(1), S_FALSE);
    conns = nullptr;
    clone = nullptr;
    EXPECT_EQ(sink->RefCount(), 2u) << "the sink's own reference and its remaining connection";
    sink = nullptr;
    obj = nullptr;
    EXPECT_EQ(g_live_opc, 0);
}

TEST_F(Opc, AnotherProcessUsesEveryShape) {
    const int next_calls = g_next_seen.calls;
    ChildProcess child("opc", {{"NORVALT_ROOT", root.Path()}, {"NORVALT_SOCKET", socket_path}});
    std::string line = child.ReadLine();
    EXPECT_EQ(line, "advised");
    if (line == "advised") {
        auto obj = Made();
        ASSERT_TRUE(obj);
        auto sinks = obj->Point().Sinks();
        ASSERT_EQ(sinks.size(), 1u);
        EXPECT_EQ(sinks[0]->ShutdownRequest(u"stop"), S_OK);
    }
    std::vector<std::string> lines = child.ReadAll();
    std::string all;
    for (auto& l : lines) all += l + "\n";
    EXPECT_EQ(child.Wait(), 0) << line << "\n" << all;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "done"), lines.end()) << all;
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
    EXPECT_EQ(g_next_seen.calls - next_calls, 3) << "the enumerator in this process was not called";
    ExpectNoTaskBlocks("the other process's calls");
}

}  // namespace
