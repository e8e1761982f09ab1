// A stand-in for an OPC group behind the transport, and a client's sinks. Every answer is made
// from the call's arguments, so a value that did not travel fails the check.
#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/rpc/OpcObjects.h"

namespace rpctest {

inline const plat::CLSID CLSID_OpcGroupTest =
    plat::GuidOf("{3F6A1D32-7C55-4E0B-9B0E-6A1F2D3C4B5A}");

template <class T>
T* TaskArrayOf(uint32_t n) {
    auto* p = static_cast<T*>(plat::CoTaskMemAlloc(size_t{n} * sizeof(T)));
    for (uint32_t i = 0; i < n; ++i) new (p + i) T{};
    return p;
}

inline uint8_t* TaskBlob(const uint8_t* p, uint32_t n) {
    if (!n) return nullptr;
    auto* b = static_cast<uint8_t*>(plat::CoTaskMemAlloc(n));
    std::copy(p, p + n, b);
    return b;
}

// What the group saw of its calls' in parameters.
struct GroupSeen {
    std::mutex m;
    std::vector<std::u16string> item_ids, access_paths;  // "(null)" for null
    std::vector<std::vector<uint8_t>> blobs;
    std::string set_state;  // which SetState pointers were given, and their values
    std::vector<plat::Variant> written;
    std::optional<opc::FORMATETC> format;
    std::optional<opc::STGMEDIUM> medium;
    void Clear() {
        std::lock_guard lk(m);
        item_ids.clear();
        access_paths.clear();
        blobs.clear();
        set_state.clear();
        written.clear();
        format.reset();
        medium.reset();
    }
};
inline GroupSeen g_group_seen;

class GroupObject final
    : public plat::ComObject<opc::IOPCItemMgt, opc::IOPCGroupStateMgt2, opc::IOPCGroupStateMgt,
                             opc::IOPCSyncIO, opc::IOPCAsyncIO, opc::IOPCAsyncIO2, opc::IDataObject,
                             tlb::IOPCItemSamplingMgtExt, plat::IConnectionPointContainer> {
  public:
    GroupObject() : point_(this) { ++g_live_opc; }
    ~GroupObject() override { --g_live_opc; }

    // IOPCItemMgt: server handle = client handle + 1000; canonical type = requested; access
    // rights = active flag; the blob comes back reversed; an empty item ID is unknown.
    HRESULT AddItems(uint32_t n, const opc::OPCITEMDEF* defs, opc::OPCITEMRESULT** results,
                     HRESULT** errors) override {
        return Resolve(n, defs, true, results, errors);
    }
    HRESULT ValidateItems(uint32_t n, const opc::OPCITEMDEF* defs, opc::BOOL blob_update,
                          opc::OPCITEMRESULT** results, HRESULT** errors) override {
        return Resolve(n, defs, blob_update != 0, results, errors);
    }
    // Errors: the handle itself, so each entry shows it travelled.
    HRESULT RemoveItems(uint32_t n, const opc::OPCHANDLE* h, HRESULT** errors) override {
        return PerHandle(n, errors, [&](uint32_t i) { return static_cast<HRESULT>(h[i]); });
    }
    HRESULT SetActiveState(uint32_t n, const opc::OPCHANDLE* h, opc::BOOL active,
                           HRESULT** errors) override {
        return PerHandle(n, errors,
                         [&](uint32_t i) { return static_cast<HRESULT>(h[i] * 10 + active); });
    }
    HRESULT SetClientHandles(uint32_t n, const opc::OPCHANDLE* h, const opc::OPCHANDLE* c,
                             HRESULT** errors) override {
        return PerHandle(n, errors, [&](uint32_t i) { return static_cast<HRESULT>(h[i] + c[i]); });
    }
    HRESULT SetDatatypes(uint32_t n, const opc::OPCHANDLE* h, const plat::VARTYPE* vt,
                         HRESULT** errors) override {
        return PerHandle(n, errors,
                         [&](uint32_t i) { return static_cast<HRESULT>(h[i] * 100 + vt[i]); });
    }
    HRESULT CreateEnumerator(const plat::IID& riid, void** unk) override {
        if (riid != opc::IID_IEnumOPCItemAttributes) {
            *unk = nullptr;
            return plat::E_INVALIDARG;
        }
        return plat::MakeCom<AttrEnum>(2u)->QueryInterface(riid, unk);
    }

    // IOPCGroupStateMgt(2)
    HRESULT GetState(uint32_t* rate, opc::BOOL* active, char16_t** name, int32_t* bias,
                     float* deadband, plat::LCID* lcid, opc::OPCHANDLE* client,
                     opc::OPCHANDLE* server) override {
        std::lock_guard lk(m_);
        *rate = rate_;
        *active = active_;
        *name = TaskString(name_);
        *bias = bias_;
        *deadband = deadband_;
        *lcid = lcid_;
        *client = client_;
        *server = 77;
        return plat::S_OK;
    }
    HRESULT SetState(const uint32_t* rate, uint32_t* revised, const opc::BOOL* active,
                     const int32_t* bias, const float* deadband, const plat::LCID* lcid,
                     const opc::OPCHANDLE* client) override {
        std::lock_guard lk(m_);
        std::string seen;
        auto note = [&](const char* what, auto* p) {
            seen += p ? std::string(what) + "=" + std::to_string(*p) + " " : "";
        };
        note("rate", rate);
        note("active", active);
        note("bias", bias);
        note("deadband", deadband);
        note("lcid", lcid);
        note("client", client);
        {
            std::lock_guard g(g_group_seen.m);
            g_group_seen.set_state = seen;
        }
        if (rate) rate_ = *rate < 100 ? 100 : *rate;
        if (active) active_ = *active;
        if (bias) bias_ = *bias;
        if (deadband) deadband_ = *deadband;
        if (lcid) lcid_ = *lcid;
        if (client) client_ = *client;
        *revised = rate_;
        return rate && *rate < 100 ? static_cast<HRESULT>(0x0004000D) : plat::S_OK;
    }
    HRESULT SetName(const char16_t* name) override {
        std::lock_guard lk(m_);
        name_ = name ? name : u"(null)";
        return plat::S_OK;
    }
    HRESULT CloneGroup(const char16_t* name, const plat::IID& riid, void** unk) override {
        auto g = plat::MakeCom<GroupObject>();
        g->name_ = name ? name : u"(null)";
        return g->QueryInterface(riid, unk);
    }
    HRESULT SetKeepAlive(uint32_t ms, uint32_t* revised) override {
        std::lock_guard lk(m_);
        keep_alive_ = ms;
        *revised = ms + 1;
        return plat::S_OK;
    }
    HRESULT GetKeepAlive(uint32_t* ms) override {
        std::lock_guard lk(m_);
        *ms = keep_alive_;
        return plat::S_OK;
    }

    // IOPCSyncIO: item h answers client handle 2h, time stamp h, quality 0xC0 + source and a
    // value by h % 3: I4 h, BSTR "v<h>", R8 h / 4; handle 0 is invalid.
    HRESULT Read(opc::OPCDATASOURCE source, uint32_t n, const opc::OPCHANDLE* h,
                 opc::OPCITEMSTATE** states, HRESULT** errors) override {
        if (n == 0) return plat::E_INVALIDARG;
        *states = TaskArrayOf<opc::OPCITEMSTATE>(n);
        *errors = TaskArrayOf<HRESULT>(n);
        bool any_bad = false;
        for (uint32_t i = 0; i < n; ++i) {
            opc::OPCITEMSTATE& s = (*states)[i];
            if (h[i] == 0) {
                (*errors)[i] = static_cast<HRESULT>(0xC0040001);
                s.wQuality = 0x1C;
                any_bad = true;
                continue;
            }
            s.hClient = h[i] * 2;
            s.ftTimeStamp = plat::U64ToFileTime(h[i]);
            s.wQuality = static_cast<uint16_t>(0xC0 + source);
            s.wReserved = 0;
            switch (h[i] % 3) {
                case 0:
                    s.vDataValue = plat::Variant::I4(static_cast<int32_t>(h[i]));
                    break;
                case 1:
                    s.vDataValue = plat::Variant::Str(u"v" + U16(std::to_string(h[i])));
                    break;
                default:
                    s.vDataValue = plat::Variant::R8(h[i] / 4.0);
                    break;
            }
        }
        return any_bad ? plat::S_FALSE : plat::S_OK;
    }
    // Errors: the handle plus the value's type, so both arrays show they travelled.
    HRESULT Write(uint32_t n, const opc::OPCHANDLE* h, const plat::Variant* v,
                  HRESULT** errors) override {
        if (n == 0) return plat::E_INVALIDARG;
        Written(n, v);
        return PerHandle(n, errors,
                         [&](uint32_t i) { return static_cast<HRESULT>(h[i] + v[i].vt); });
    }

    // IOPCAsyncIO: transaction id = connection + count (+ source for Read); errors the handles.
    HRESULT Read(uint32_t conn, opc::OPCDATASOURCE source, uint32_t n, const opc::OPCHANDLE* h,
                 uint32_t* tid, HRESULT** errors) override {
        *tid = conn + n + source;
        return PerHandle(n, errors, [&](uint32_t i) { return static_cast<HRESULT>(h[i]); });
    }
    HRESULT Write(uint32_t conn, uint32_t n, const opc::OPCHANDLE* h, const plat::Variant* v,
                  uint32_t* tid, HRESULT** errors) override {
        *tid = conn + n;
        Written(n, v);
        return PerHandle(n, errors,
                         [&](uint32_t i) { return static_cast<HRESULT>(h[i] + v[i].vt); });
    }
    HRESULT Refresh(uint32_t conn, opc::OPCDATASOURCE source, uint32_t* tid) override {
        *tid = conn * 10 + source;
        return plat::S_OK;
    }
    HRESULT Cancel(uint32_t) override { return plat::E_FAIL; }

    // IOPCAsyncIO2: cancel id = transaction id + count.
    HRESULT Read(uint32_t n, const opc::OPCHANDLE* h, uint32_t tid, uint32_t* cancel,
                 HRESULT** errors) override {
        *cancel = tid + n;
        return PerHandle(n, errors, [&](uint32_t i) { return static_cast<HRESULT>(h[i] + 1); });
    }
    HRESULT Write(uint32_t n, const opc::OPCHANDLE* h, const plat::Variant* v, uint32_t tid,
                  uint32_t* cancel, HRESULT** errors) override {
        *cancel = tid + n;
        Written(n, v);
        return PerHandle(n, errors,
                         [&](uint32_t i) { return static_cast<HRESULT>(h[i] + v[i].vt); });
    }
    HRESULT Refresh2(opc::OPCDATASOURCE source, uint32_t tid, uint32_t* cancel) override {
        *cancel = tid * 10 + source;
        return plat::S_OK;
    }
    HRESULT Cancel2(uint32_t) override { return plat::E_FAIL; }
    HRESULT SetEnable(opc::BOOL on) override {
        enable_ = on;
        return plat::S_OK;
    }
    HRESULT GetEnable(opc::BOOL* on) override {
        *on = enable_;
        return plat::S_OK;
    }

    // IDataObject: one sink, its connection the format number; GetData answers the format's
    // number as four bytes.
    HRESULT GetData(const opc::FORMATETC* f, opc::STGMEDIUM* m) override {
        if (!f) return plat::E_POINTER;
        m->tymed = opc::TYMED_HGLOBAL;
        m->hGlobal = {static_cast<uint8_t>(f->cfFormat), static_cast<uint8_t>(f->cfFormat >> 8),
                      static_cast<uint8_t>(f->dwAspect), static_cast<uint8_t>(f->lindex)};
        return plat::S_OK;
    }
    HRESULT GetDataHere(const opc::FORMATETC*, opc::STGMEDIUM*) override { return plat::E_NOTIMPL; }
    HRESULT QueryGetData(const opc::FORMATETC* f) override {
        return f ? plat::S_OK : plat::S_FALSE;
    }
    HRESULT GetCanonicalFormatEtc(const opc::FORMATETC* in, opc::FORMATETC* out) override {
        if (!in) return plat::E_POINTER;
        *out = *in;
        out->lindex = 5;
        return plat::S_OK;
    }
    HRESULT SetData(const opc::FORMATETC* f, const opc::STGMEDIUM* m, opc::BOOL) override {
        std::lock_guard lk(g_group_seen.m);
        if (f) g_group_seen.format = *f;
        if (m) g_group_seen.medium = *m;
        return plat::S_OK;
    }
    HRESULT EnumFormatEtc(uint32_t, plat::IUnknown** e) override {
        *e = nullptr;
        return plat::E_NOTIMPL;
    }
    HRESULT DAdvise(const opc::FORMATETC* f, uint32_t, opc::IAdviseSink* sink,
                    uint32_t* conn) override {
        if (!f || !sink) return plat::E_INVALIDARG;
        std::lock_guard lk(m_);
        if (sink_) return plat::CONNECT_E_ADVISELIMIT;
        sink_ = ComPtr<opc::IAdviseSink>(sink);
        *conn = f->cfFormat;
        return plat::S_OK;
    }
    HRESULT DUnadvise(uint32_t) override {
        std::lock_guard lk(m_);
        if (!sink_) return plat::OLE_E_NOCONNECTION;
        sink_ = nullptr;
        return plat::S_OK;
    }
    HRESULT EnumDAdvise(plat::IUnknown** e) override {
        *e = nullptr;
        return plat::E_NOTIMPL;
    }

    // IOPCItemSamplingMgtExt: errors h * 4 + enable * 2 + early.
    HRESULT SetItemBufferEnableAndTimeStampControl(uint32_t n, const uint32_t* h, const int32_t* en,
                                                   const int32_t* early,
                                                   HRESULT** errors) override {
        if (n == 0) return plat::E_INVALIDARG;
        return PerHandle(n, errors, [&](uint32_t i) {
            return static_cast<HRESULT>(h[i] * 4 + (en[i] ? 2 : 0) + (early[i] ? 1 : 0));
        });
    }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override {
        return plat::EnumConnectionPointsIn({&point_}, out);
    }
    HRESULT FindConnectionPoint(const plat::IID& iid, plat::IConnectionPoint** out) override {
        return plat::FindConnectionPointIn(iid, {&point_}, out);
    }

    plat::ConnectionPoint<opc::IOPCDataCallback>& Point() { return point_; }
    ComPtr<opc::IAdviseSink> AdviseSink() {
        std::lock_guard lk(m_);
        return sink_;
    }

  private:
    template <class F>
    static HRESULT PerHandle(uint32_t n, HRESULT** errors, F f) {
        *errors = TaskArrayOf<HRESULT>(n);
        for (uint32_t i = 0; i < n; ++i) (*errors)[i] = f(i);
        return plat::S_OK;
    }
    static void Written(uint32_t n, const plat::Variant* v) {
        std::lock_guard lk(g_group_seen.m);
        g_group_seen.written.assign(v, v + n);
    }
    HRESULT Resolve(uint32_t n, const opc::OPCITEMDEF* defs, bool blobs,
                    opc::OPCITEMRESULT** results, HRESULT** errors) {
        if (n == 0) return plat::E_INVALIDARG;
        *results = TaskArrayOf<opc::OPCITEMRESULT>(n);
        *errors = TaskArrayOf<HRESULT>(n);
        bool any_bad = false;
        std::lock_guard lk(g_group_seen.m);
        for (uint32_t i = 0; i < n; ++i) {
            const opc::OPCITEMDEF& d = defs[i];
            g_group_seen.item_ids.push_back(d.szItemID ? d.szItemID : u"(null)");
            g_group_seen.access_paths.push_back(d.szAccessPath ? d.szAccessPath : u"(null)");
            g_group_seen.blobs.emplace_back(d.pBlob, d.pBlob + (d.pBlob ? d.dwBlobSize : 0));
            if (!d.szItemID || !*d.szItemID) {
                (*errors)[i] = static_cast<HRESULT>(0xC0040007);
                any_bad = true;
                continue;
            }
            opc::OPCITEMRESULT& r = (*results)[i];
            r.hServer = d.hClient + 1000;
            r.vtCanonicalDataType = d.vtRequestedDataType;
            r.dwAccessRights = static_cast<uint32_t>(d.bActive);
            if (blobs && d.pBlob && d.dwBlobSize) {
                std::vector<uint8_t> rev(d.pBlob, d.pBlob + d.dwBlobSize);
                std::reverse(rev.begin(), rev.end());
                r.pBlob = TaskBlob(rev.data(), d.dwBlobSize);
                r.dwBlobSize = d.dwBlobSize;
            }
        }
        return any_bad ? plat::S_FALSE : plat::S_OK;
    }

    std::mutex m_;
    uint32_t rate_ = 1000;
    opc::BOOL active_ = 1;
    std::u16string name_ = u"G";
    int32_t bias_ = 0;
    float deadband_ = 0;
    plat::LCID lcid_ = 0x409;
    opc::OPCHANDLE client_ = 5;
    uint32_t keep_alive_ = 0;
    std::atomic<opc::BOOL> enable_{1};
    ComPtr<opc::IAdviseSink> sink_;
    plat::ConnectionPoint<opc::IOPCDataCallback> point_;
};

// A client's data sink (DA 2.0) and advise sink (DA 1.0): keeps what it was given.
class ClientSinks final : public plat::ComObject<opc::IOPCDataCallback, opc::IAdviseSink> {
  public:
    struct Data {
        std::string kind;
        uint32_t tid = 0;
        opc::OPCHANDLE group = 0;
        HRESULT quality = 0, error = 0;
        std::vector<opc::OPCHANDLE> handles;
        std::vector<plat::Variant> values;
        std::vector<uint16_t> qualities;
        std::vector<plat::FILETIME> times;
        std::vector<HRESULT> errors;
    };
    ClientSinks() { ++g_live_opc; }
    ~ClientSinks() override { --g_live_opc; }

    HRESULT OnDataChange(uint32_t tid, opc::OPCHANDLE g, HRESULT q, HRESULT e, uint32_t n,
                         const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* qs,
                         const plat::FILETIME* ts, const HRESULT* es) override {
        return Keep("data", tid, g, q, e, n, h, v, qs, ts, es);
    }
    HRESULT OnReadComplete(uint32_t tid, opc::OPCHANDLE g, HRESULT q, HRESULT e, uint32_t n,
                           const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* qs,
                           const plat::FILETIME* ts, const HRESULT* es) override {
        return Keep("read", tid, g, q, e, n, h, v, qs, ts, es);
    }
    HRESULT OnWriteComplete(uint32_t tid, opc::OPCHANDLE g, HRESULT e, uint32_t n,
                            const opc::OPCHANDLE* h, const HRESULT* es) override {
        return Keep("write", tid, g, 0, e, n, h, nullptr, nullptr, nullptr, es);
    }
    HRESULT OnCancelComplete(uint32_t tid, opc::OPCHANDLE g) override {
        return Keep("cancel", tid, g, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    // A failure the server must see.
    std::atomic<HRESULT> answer{plat::S_OK};

    HRESULT OnDataChange(const opc::FORMATETC* f, const opc::STGMEDIUM* m) override {
        std::lock_guard lk(mu);
        if (f) formats.push_back(*f);
        if (m) media.push_back(*m);
        return answer.load();
    }
    HRESULT OnViewChange(uint32_t aspect, int32_t index) override {
        std::lock_guard lk(mu);
        views.push_back(std::to_string(aspect) + "/" + std::to_string(index));
        return plat::S_OK;
    }
    HRESULT OnRename(plat::IUnknown* moniker) override {
        std::lock_guard lk(mu);
        views.push_back(moniker ? "rename" : "rename-null");
        return plat::S_OK;
    }
    HRESULT OnSave() override {
        std::lock_guard lk(mu);
        views.push_back("save");
        return plat::S_OK;
    }
    HRESULT OnClose() override {
        std::lock_guard lk(mu);
        views.push_back("close");
        return plat::S_OK;
    }

    std::mutex mu;
    std::vector<Data> data;
    std::vector<opc::FORMATETC> formats;
    std::vector<opc::STGMEDIUM> media;
    std::vector<std::string> views;

  private:
    HRESULT Keep(const char* kind, uint32_t tid, opc::OPCHANDLE g, HRESULT q, HRESULT e, uint32_t n,
                 const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* qs,
                 const plat::FILETIME* ts, const HRESULT* es) {
        Data d;
        d.kind = kind;
        d.tid = tid;
        d.group = g;
        d.quality = q;
        d.error = e;
        if (h) d.handles.assign(h, h + n);
        if (v) d.values.assign(v, v + n);
        if (qs) d.qualities.assign(qs, qs + n);
        if (ts) d.times.assign(ts, ts + n);
        if (es) d.errors.assign(es, es + n);
        std::lock_guard lk(mu);
        data.push_back(std::move(d));
        return answer.load();
    }
};

}  // namespace rpctest
