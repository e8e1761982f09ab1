// The OPC group's DA 1.0 face: advise slots, IOPCAsyncIO and the stream blocks its sinks get.
#include <thread>

#include "platform/com/clipboard.h"
#include "platform/types/datetime.h"
#include "service/core/ports/SystemItems.h"
#include "service/host/Da1Stream.h"
#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::E_FAIL;
using plat::S_FALSE;
using plat::S_OK;
using Bytes = std::vector<uint8_t>;

struct SinkCall {
    opc::FORMATETC format;
    uint32_t tymed = 0;
    Bytes block;
};

// Records every stream block; answers `result`.
class AdviseRec : public plat::ComObject<opc::IAdviseSink> {
  public:
    HRESULT OnDataChange(const opc::FORMATETC* f, const opc::STGMEDIUM* m) override {
        SinkCall c;
        if (f) c.format = *f;
        if (m) {
            c.tymed = m->tymed;
            c.block = m->hGlobal;
        }
        std::lock_guard lk(m_);
        calls_.push_back(std::move(c));
        return result.load();
    }
    HRESULT OnViewChange(uint32_t, int32_t) override { return S_OK; }
    HRESULT OnRename(plat::IUnknown*) override { return S_OK; }
    HRESULT OnSave() override { return S_OK; }
    HRESULT OnClose() override { return S_OK; }

    std::vector<SinkCall> Take() {
        std::lock_guard lk(m_);
        return std::exchange(calls_, {});
    }
    size_t Count() {
        std::lock_guard lk(m_);
        return calls_.size();
    }
    std::atomic<HRESULT> result{S_OK};

  private:
    std::mutex m_;
    std::vector<SinkCall> calls_;
};

// A read-only leaf of any type.
class AnyLeaf : public drv::TSoftLeafItem {
  public:
    using TSoftLeafItem::TSoftLeafItem;
    uint8_t AccessRights() override { return 1; }
};

// A leaf that takes every write at once.
class WritableLeaf : public drv::TSoftLeafItem {
  public:
    WritableLeaf(const std::string& name) : TSoftLeafItem(name, plat::VT_I4) {}
    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const plat::Variant&, int, int, plat::LCID) override { return S_OK; }
};

uint32_t U32(const Bytes& b, size_t at) {
    if (at + 4 > b.size()) return 0xDEADBEEF;
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Little-endian bytes of a golden block.
void Le(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class OpcGroupDa1 : public OpcGroupTest {
  protected:
    opc::IDataObject& Data(drv::TGroup& g) { return g; }
    opc::IOPCAsyncIO& Async1(drv::TGroup& g) { return g; }

    uint32_t Advise(drv::TGroup& g, opc::CLIPFORMAT format, AdviseRec* sink,
                    HRESULT* call = nullptr) {
        opc::FORMATETC f;
        f.cfFormat = format;
        uint32_t conn = 0;
        const HRESULT hr = Data(g).DAdvise(&f, 0, sink, &conn);
        if (call)
            *call = hr;
        else
            EXPECT_EQ(hr, S_OK);
        return conn;
    }

    // A leaf of the given type under Tst, with one sample at `date`.
    ComPtr<AnyLeaf> TypedLeaf(const std::string& name, plat::VARTYPE vt, const plat::Variant& v,
                              plat::DATE date) {
        const int32_t branch = drv::FindOrCreateBranch(-1, "", "Tst");
        auto leaf = drv::New<AnyLeaf>(name, vt);
        leaf->AddToNS(branch);
        leaf->NewSample(v, drv::OPC_QUALITY_GOOD, date);
        typed_.push_back(leaf);
        return leaf;
    }

    void TearDown() override {
        for (auto& l : typed_) l->RemoveFromNS();
        for (auto& l : system_) l->RemoveFromNS();
        typed_.clear();
        system_.clear();
        OpcGroupTest::TearDown();
    }

    // I4, R8, BOOL, CY and a string (System.AllParameters), client handles 100..104.
    std::vector<opc::OPCHANDLE> FiveTypes(drv::TGroup& g) {
        TypedLeaf("I4", plat::VT_I4, plat::Variant::I4(0x12345678), kDate);
        TypedLeaf("R8", plat::VT_R8, plat::Variant::R8(1.5), kDate + 1);
        TypedLeaf("Bool", plat::VT_BOOL, plat::Variant::Bool(true), kDate + 2);
        TypedLeaf("Cy", plat::VT_CY, plat::Variant::Cy({125000}), kDate + 3);
        // The tree's own string leaf, as the service adds it.
        auto all = drv::New<drv::TSysParStrItem>();
        all->AddToNS(drv::FindItemID("System"));
        system_.push_back(all);
        all->NewSample(plat::Variant::Str(u"Ab"), drv::OPC_QUALITY_GOOD, kDate + 4);
        return Add(g, {"Tst.I4", "Tst.R8", "Tst.Bool", "Tst.Cy", "System.AllParameters"});
    }

    // The block the five items make, by hand: header, item headers, 16-byte values, the
    // string's count, text and NUL last.
    static Bytes Golden(bool with_time, uint32_t trans) {
        const size_t header = with_time ? 20 : 12;
        const uint32_t values_at = static_cast<uint32_t>(20 + 5 * header);
        Bytes b;
        Le(b, values_at + 5 * 16 + 10, 4);  // dwSize
        Le(b, 5, 4);                        // dwItemCount
        Le(b, 77, 4);                       // hClientGroup
        Le(b, trans, 4);                    // dwTransactionID
        Le(b, 0, 4);                        // hrStatus
        for (uint32_t i = 0; i < 5; ++i) {
            Le(b, 100 + i, 4);
            Le(b, values_at + 16 * i, 4);
            Le(b, drv::OPC_QUALITY_GOOD, 2);
            Le(b, 0, 2);
            if (with_time) {
                plat::FILETIME ft{};
                EXPECT_TRUE(plat::LocalDateToFileTime(kDate + i, ft));
                Le(b, plat::FileTimeToU64(ft), 8);
            }
        }
        Le(b, plat::VT_I4, 8), Le(b, 0x12345678, 8);
        Le(b, plat::VT_R8, 8), Le(b, 0x3FF8000000000000ull, 8);
        Le(b, plat::VT_BOOL, 8), Le(b, 0xFFFF, 8);
        Le(b, plat::VT_CY, 8), Le(b, 125000, 8);
        Le(b, plat::VT_BSTR, 8), Le(b, 0, 8);
        Le(b, 4, 4), Le(b, 'A', 2), Le(b, 'b', 2), Le(b, 0, 2);
        return b;
    }

    static constexpr plat::DATE kDate = 46000.25;
    std::vector<ComPtr<AnyLeaf>> typed_;
    std::vector<ComPtr<drv::TSysParStrItem>> system_;
};

TEST_F(OpcGroupDa1, AGroupRegistersTheStreamFormatsItServes) {
    EXPECT_EQ(plat::FindClipboardFormat(opc::kFormatData), 0u) << "a fresh store";
    auto g = MakeGroup();
    const opc::Da1Formats& f = g->Formats();
    EXPECT_EQ(f.data, plat::FindClipboardFormat(u"opcstmformatdata"));
    EXPECT_EQ(f.data_time, plat::FindClipboardFormat(opc::kFormatDataTime));
    EXPECT_EQ(f.write_complete, plat::FindClipboardFormat(opc::kFormatWriteComplete));
    EXPECT_GE(f.data, plat::kFirstRegisteredFormat);
    EXPECT_NE(f.data, f.data_time);
    EXPECT_NE(f.data_time, f.write_complete);
    EXPECT_EQ(MakeGroup()->Formats().data, f.data) << "the same numbers for every group";
}

TEST_F(OpcGroupDa1, OneAdviseSinkPerStreamFormat) {
    auto g = MakeGroup();
    const auto f = g->Formats();
    auto a = plat::MakeCom<AdviseRec>();
    auto b = plat::MakeCom<AdviseRec>();
    void* p = nullptr;
    ASSERT_EQ(g->QueryInterface(opc::IID_IDataObject, &p), S_OK);
    static_cast<opc::IDataObject*>(p)->Release();
    ASSERT_EQ(g->QueryInterface(opc::IID_IOPCAsyncIO, &p), S_OK);
    static_cast<opc::IOPCAsyncIO*>(p)->Release();

    const uint32_t c1 = Advise(*g, f.data, a.Get());
    const uint32_t c2 = Advise(*g, f.data_time, a.Get());
    const uint32_t c3 = Advise(*g, f.write_complete, b.Get());
    EXPECT_NE(c1, 0u);
    EXPECT_NE(c1, c2);
    EXPECT_NE(c2, c3);
    HRESULT hr = S_OK;
    for (opc::CLIPFORMAT again : {f.data, f.data_time, f.write_complete}) {
        EXPECT_EQ(Advise(*g, again, b.Get(), &hr), 0u);
        EXPECT_EQ(hr, plat::CONNECT_E_ADVISELIMIT);
    }
    Advise(*g, 1, b.Get(), &hr);
    EXPECT_EQ(hr, plat::DV_E_FORMATETC) << "not a stream format";
    Advise(*g, 0, b.Get(), &hr);
    EXPECT_EQ(hr, plat::DV_E_FORMATETC);

    EXPECT_EQ(Data(*g).DUnadvise(c3 + 100), plat::OLE_E_NOCONNECTION);
    EXPECT_EQ(Data(*g).DUnadvise(0), plat::OLE_E_NOCONNECTION);
    EXPECT_EQ(Data(*g).DUnadvise(c1), S_OK);
    EXPECT_EQ(Data(*g).DUnadvise(c1), plat::OLE_E_NOCONNECTION) << "already gone";
    const uint32_t c4 = Advise(*g, f.data, b.Get());
    EXPECT_NE(c4, c1) << "a stale connection never names the new sink";
    EXPECT_EQ(Data(*g).DUnadvise(c1), plat::OLE_E_NOCONNECTION);

    opc::FORMATETC fe;
    opc::STGMEDIUM m;
    plat::IUnknown* e = reinterpret_cast<plat::IUnknown*>(&fe);
    EXPECT_EQ(Data(*g).GetData(&fe, &m), plat::E_NOTIMPL);
    EXPECT_EQ(Data(*g).GetDataHere(&fe, &m), plat::E_NOTIMPL);
    EXPECT_EQ(Data(*g).QueryGetData(&fe), plat::E_NOTIMPL);
    EXPECT_EQ(Data(*g).GetCanonicalFormatEtc(&fe, &fe), plat::E_NOTIMPL);
    EXPECT_EQ(Data(*g).SetData(&fe, &m, 0), plat::E_NOTIMPL);
    EXPECT_EQ(Data(*g).EnumFormatEtc(1, &e), plat::E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    e = reinterpret_cast<plat::IUnknown*>(&fe);
    EXPECT_EQ(Data(*g).EnumDAdvise(&e), plat::E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, CallsWithoutTheirAdviseConnectionAreRefused) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    const plat::Variant v = plat::Variant::I4(1);
    uint32_t trans = 7;
    HRESULT* e = nullptr;
    EXPECT_EQ(Async1(*g).Read(0, opc::OPC_DS_CACHE, 1, h.data(), &trans, &e),
              plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(Async1(*g).Refresh(0, opc::OPC_DS_CACHE, &trans), plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async1(*g).Write(0, 1, &h[1], &v, &trans, &e), plat::CONNECT_E_NOCONNECTION);

    // A data connection takes no write results, the write-complete one no values.
    auto sink = plat::MakeCom<AdviseRec>();
    const uint32_t wc = Advise(*g, g->Formats().write_complete, sink.Get());
    EXPECT_EQ(Async1(*g).Read(wc, opc::OPC_DS_CACHE, 1, h.data(), &trans, &e),
              plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async1(*g).Refresh(wc, opc::OPC_DS_CACHE, &trans), plat::CONNECT_E_NOCONNECTION);
    const uint32_t dc = Advise(*g, g->Formats().data, sink.Get());
    EXPECT_EQ(Async1(*g).Write(dc, 1, &h[1], &v, &trans, &e), plat::CONNECT_E_NOCONNECTION);
    EXPECT_EQ(trans, 0u);
    EXPECT_EQ(g->PendingTransactions(), 0u);
    EXPECT_EQ(Async1(*g).Read(dc, opc::OPC_DS_CACHE, 0, h.data(), &trans, &e), plat::E_INVALIDARG);
    EXPECT_EQ(Async1(*g).Cancel(1), E_FAIL);

    // Nor does a DA 1.0 connection stand in for the data callback.
    uint32_t cancel = 0;
    EXPECT_EQ(static_cast<opc::IOPCAsyncIO2&>(*g).Refresh2(opc::OPC_DS_CACHE, 1, &cancel),
              plat::CONNECT_E_NOCONNECTION);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, GoldenBlocksReachTheAdvisedSink) {
    auto g = MakeGroup();
    auto h = FiveTypes(*g);
    ASSERT_EQ(h.size(), 5u);
    auto sink = plat::MakeCom<AdviseRec>();
    const uint32_t conn = Advise(*g, g->Formats().data, sink.Get());

    // A newly advised data sink starts from the current values.
    Step(*g, 0);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].format.cfFormat, g->Formats().data);
    EXPECT_EQ(calls[0].format.dwAspect, opc::DVASPECT_CONTENT);
    EXPECT_EQ(calls[0].format.lindex, -1);
    EXPECT_EQ(calls[0].format.tymed, opc::TYMED_HGLOBAL);
    EXPECT_EQ(calls[0].tymed, opc::TYMED_HGLOBAL);
    EXPECT_EQ(calls[0].block, Golden(false, 0));
    EXPECT_EQ(LinesContaining("OnDataChange1"), 1u);

    // A refresh through the time format's connection: its transaction id, the time stamps.
    ASSERT_EQ(Data(*g).DUnadvise(conn), S_OK);
    const uint32_t tconn = Advise(*g, g->Formats().data_time, sink.Get());
    Step(*g, 0);
    sink->Take();
    uint32_t trans = 0;
    ASSERT_EQ(Async1(*g).Refresh(tconn, opc::OPC_DS_CACHE, &trans), S_OK);
    EXPECT_NE(trans, 0u);
    Step(*g, 0);
    calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].format.cfFormat, g->Formats().data_time);
    EXPECT_EQ(calls[0].block, Golden(true, trans));
    EXPECT_EQ(g->PendingTransactions(), 0u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, ReadCompleteCarriesItsTransactionAndStatus) {
    MakePosts(1);
    Sample(*leaves_[0], 10);
    Sample(*leaves_[1], 20);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State", "Post1.DozeV"});
    auto sink = plat::MakeCom<AdviseRec>();
    const uint32_t conn = Advise(*g, g->Formats().data, sink.Get());
    Step(*g, 0);
    sink->Take();

    const opc::OPCHANDLE hs[] = {h[1], 42};
    uint32_t t1 = 0, t2 = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(Async1(*g).Read(conn, opc::OPC_DS_CACHE, 2, hs, &t1, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 2), (std::vector<HRESULT>{S_OK, plat::OPC_E_INVALIDHANDLE}));
    ASSERT_EQ(Async1(*g).Read(conn, opc::OPC_DS_DEVICE, 1, hs, &t2, &e), S_OK);
    plat::CoTaskMemFree(e);
    EXPECT_NE(t1, 0u);
    EXPECT_NE(t1, t2) << "each call its own transaction";
    Step(*g, 0);
    Step(*g, 0);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const Bytes& b = calls[i].block;
        EXPECT_EQ(U32(b, 0), b.size());
        EXPECT_EQ(U32(b, 4), 1u) << "the invalid handle is not answered";
        EXPECT_EQ(U32(b, 8), 77u);
        EXPECT_EQ(U32(b, 12), i == 0 ? t1 : t2);
        EXPECT_EQ(U32(b, 16), static_cast<uint32_t>(S_OK));
        EXPECT_EQ(U32(b, 20), 101u);
        EXPECT_EQ(U32(b, 20 + 12 + 8), 20u) << "the value";
    }
    EXPECT_EQ(g->PendingTransactions(), 0u);

    // A transaction whose connection went away is answered to nobody, and not to the new sink.
    ASSERT_EQ(Async1(*g).Read(conn, opc::OPC_DS_CACHE, 1, hs, &t1, &e), S_OK);
    plat::CoTaskMemFree(e);
    ASSERT_EQ(Data(*g).DUnadvise(conn), S_OK);
    Advise(*g, g->Formats().data, sink.Get());
    Step(*g, 0);
    sink->Take();  // the new sink's current values
    Step(*g, 0);
    EXPECT_EQ(sink->Count(), 0u);
    EXPECT_EQ(g->PendingTransactions(), 0u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, AsyncWriteIsAnsweredWithTheWriteCompleteBlock) {
    const int32_t post = drv::FindOrCreateBranch(-1, "", "Post1");
    auto doze = drv::New<WritableLeaf>("DozeV");
    doze->AddToNS(post);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.DozeV", "Post1.DozeV"});
    auto data = plat::MakeCom<AdviseRec>();
    auto done = plat::MakeCom<AdviseRec>();
    Advise(*g, g->Formats().data, data.Get());
    const uint32_t wc = Advise(*g, g->Formats().write_complete, done.Get());
    Step(*g, 0);
    data->Take();

    // DozeV is writable; a date is not a type a client may write; 9 names no item.
    const opc::OPCHANDLE hs[] = {h[1], h[1], 9};
    const plat::Variant vs[] = {plat::Variant::I4(5), plat::Variant::Date(1.0),
                                plat::Variant::I4(1)};
    uint32_t trans = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(Async1(*g).Write(wc, 3, hs, vs, &trans, &e), S_FALSE);
    EXPECT_EQ(TakeErrors(e, 3), (std::vector<HRESULT>{S_OK, S_OK, plat::OPC_E_INVALIDHANDLE}));
    EXPECT_NE(trans, 0u);
    Step(*g, 0);
    Step(*g, 0);
    auto calls = done->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].format.cfFormat, g->Formats().write_complete);
    Bytes golden;
    Le(golden, 2, 4);
    Le(golden, 77, 4);
    Le(golden, trans, 4);
    Le(golden, static_cast<uint32_t>(S_FALSE), 4);
    Le(golden, 101, 4), Le(golden, 0, 4);
    Le(golden, 101, 4), Le(golden, static_cast<uint32_t>(plat::DISP_E_TYPEMISMATCH), 4);
    EXPECT_EQ(calls[0].block, golden);
    EXPECT_EQ(LinesContaining("OnWriteComplete MErr=1 Count=2"), 1u);
    for (auto& c : data->Take())
        EXPECT_NE(c.format.cfFormat, g->Formats().write_complete) << "only the written value";
    doze->RemoveFromNS();
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, SubscriptionGoesToTheTimeFormatBeforeTheCallback) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    auto cb = plat::MakeCom<DataSink>();
    Connect(*g, cb.Get());
    auto plain = plat::MakeCom<AdviseRec>();
    auto timed = plat::MakeCom<AdviseRec>();
    Advise(*g, g->Formats().data, plain.Get());
    const uint32_t tconn = Advise(*g, g->Formats().data_time, timed.Get());
    Step(*g, 0);
    timed->Take();
    Sample(*leaves_[0], 31);
    Step(*g, 100);
    auto calls = timed->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(U32(calls[0].block, 4), 1u);
    EXPECT_EQ(U32(calls[0].block, 20 + 20 + 8), 31u);
    EXPECT_EQ(plain->Count(), 0u);
    EXPECT_EQ(cb->Count(), 0u);

    // Without the time format the plain one serves; without either, the callback.
    ASSERT_EQ(Data(*g).DUnadvise(tconn), S_OK);
    Sample(*leaves_[0], 32);
    Step(*g, 100);
    calls = plain->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(U32(calls[0].block, 20 + 12 + 8), 32u);
    EXPECT_EQ(cb->Count(), 0u);
    EXPECT_EQ(h.size(), 1u);
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, AFailingSinkGetsTheSameChangesNextTime) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    ASSERT_EQ(h.size(), 1u);
    auto sink = plat::MakeCom<AdviseRec>();
    Advise(*g, g->Formats().data, sink.Get());
    Step(*g, 0);
    sink->Take();
    Sample(*leaves_[0], 5);
    sink->result = plat::RPC_E_DISCONNECTED;
    fake_->Advance(100);
    EXPECT_THROW(g->CallbackStep(), drv::EClientError);
    sink->result = S_OK;
    Step(*g, 100);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].block, calls[1].block);
    EXPECT_EQ(U32(calls[1].block, 20 + 12 + 8), 5u);
    Step(*g, 100);
    EXPECT_EQ(sink->Count(), 0u) << "committed once taken";
    ExpectNoTaskMemory();
}

TEST_F(OpcGroupDa1, KeepAliveWithNoItemsIsTheHeaderAlone) {
    auto g = MakeGroup();
    auto sink = plat::MakeCom<AdviseRec>();
    Advise(*g, g->Formats().data, sink.Get());
    uint32_t revised = 0;
    ASSERT_EQ(g->SetKeepAlive(1000, &revised), S_OK);
    Step(*g, 1000);
    auto calls = sink->Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].block.size(), 20u);
    EXPECT_EQ(U32(calls[0].block, 4), 0u);
    ExpectNoTaskMemory();
}

// Concurrent callers each get their own transaction.
TEST_F(OpcGroupDa1, ConcurrentCallsGetDistinctTransactionIds) {
    MakePosts(1);
    auto g = MakeGroup();
    auto h = Add(*g, {"Post1.State"});
    auto sink = plat::MakeCom<AdviseRec>();
    const uint32_t conn = Advise(*g, g->Formats().data, sink.Get());
    constexpr int kThreads = 4, kCalls = 40;
    std::vector<std::vector<uint32_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                uint32_t id = 0;
                HRESULT* e = nullptr;
                if (Async1(*g).Read(conn, opc::OPC_DS_CACHE, 1, h.data(), &id, &e) == S_OK)
                    ids[t].push_back(id);
                plat::CoTaskMemFree(e);
            }
        });
    for (auto& t : threads) t.join();
    std::vector<uint32_t> all;
    for (auto& v : ids) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.size(), size_t{kThreads * kCalls});
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    ExpectNoTaskMemory();
}

// --- through a server, on the advise thread -------------------------------------------------

class OpcGroupDa1Churn : public OpcTest {};

TEST_F(OpcGroupDa1Churn, AClientAddsAndRemovesItemsWhileTheSinkGetsBlocks) {
    MakePosts(4);
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE handle = 0;
    uint32_t revised = 0;
    void* out = nullptr;
    ASSERT_EQ(s->AddGroup(u"G", 1, 50, 1, nullptr, nullptr, plat::LOCALE_EN_US, &handle, &revised,
                          opc::IID_IDataObject, &out),
              S_OK);
    auto data = ComPtr<opc::IDataObject>::Attach(static_cast<opc::IDataObject*>(out));
    auto g = ComPtr<drv::TGroup>(dynamic_cast<drv::TGroup*>(data.Get()));
    ASSERT_TRUE(g);
    auto sink = plat::MakeCom<AdviseRec>();
    opc::FORMATETC f;
    f.cfFormat = g->Formats().data_time;
    uint32_t conn = 0;
    ASSERT_EQ(data->DAdvise(&f, 0, sink.Get(), &conn), S_OK);

    Churn(
        *g,
        [&](std::vector<opc::OPCHANDLE>&) {
            uint32_t trans = 0;
            g->Refresh(conn, opc::OPC_DS_CACHE, &trans);
        },
        [&] { return sink->Count() >= 20; });
    for (auto& c : sink->Take()) {
        EXPECT_EQ(U32(c.block, 0), c.block.size());
        EXPECT_EQ(c.block.size(), 20 + U32(c.block, 4) * 36) << "whole blocks only";
    }
    EXPECT_EQ(data->DUnadvise(conn), S_OK);
    g = nullptr;
    data = nullptr;
    s = nullptr;
    ExpectNoTaskMemory();
}

}  // namespace
}  // namespace opctest
