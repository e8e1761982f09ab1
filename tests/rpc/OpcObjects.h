// Simple objects behind the OPC DA interfaces for the transport tests: every answer is made
// from the call's arguments, so a value that did not travel fails the check.
#pragma once
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/interfaces.h"
#include "service/typelib/OpcDaProxy.h"

namespace rpctest {

using plat::ComPtr;
using plat::HRESULT;

inline const plat::CLSID CLSID_OpcTest = plat::GuidOf("{3F6A1D30-7C55-4E0B-9B0E-6A1F2D3C4B5A}");
inline const plat::IID IID_IEnumProbe = plat::GuidOf("{3F6A1D31-7C55-4E0B-9B0E-6A1F2D3C4B5A}");

inline std::atomic<int> g_live_opc{0};  // OPC test objects alive in this process

inline char16_t* TaskString(const std::u16string& s) {
    auto* p = static_cast<char16_t*>(plat::CoTaskMemAlloc((s.size() + 1) * sizeof(char16_t)));
    std::copy(s.begin(), s.end(), p);
    p[s.size()] = 0;
    return p;
}
inline std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// What an enumerator's Next was last asked: the room it was given and whether the fetched
// count was asked for.
struct NextSeen {
    std::atomic<uint64_t> celt{0};
    std::atomic<uint64_t> most_celt{0};  // the largest celt since the test cleared it
    std::atomic<uint64_t> held{0};       // the process's message memory at the last call
    std::atomic<bool> fetched_null{false};
    std::atomic<int> calls{0};
    void Note(uint32_t celt_in, const uint32_t* fetched) {
        celt = celt_in;
        if (celt_in > most_celt) most_celt = celt_in;
        held = plat::rpc::HeldMessageBytes();
        fetched_null = fetched == nullptr;
        ++calls;
    }
};
inline NextSeen g_next_seen;

template <class Itf, class Item, class Out>
class ListEnum : public plat::ComObject<Itf> {
  public:
    explicit ListEnum(std::vector<Item> items, size_t pos = 0)
        : items_(std::move(items)), pos_(pos) {
        ++g_live_opc;
    }
    ~ListEnum() override { --g_live_opc; }
    HRESULT Next(uint32_t celt, Out* rgelt, uint32_t* fetched) override {
        g_next_seen.Note(celt, fetched);
        if (!fetched && celt != 1) return plat::E_POINTER;
        std::lock_guard lk(m_);
        uint32_t n = 0;
        for (; n < celt && pos_ < items_.size(); ++n) rgelt[n] = Hand(items_[pos_++]);
        if (fetched) *fetched = n;
        return n == celt ? plat::S_OK : plat::S_FALSE;
    }
    HRESULT Skip(uint32_t celt) override {
        std::lock_guard lk(m_);
        const size_t left = items_.size() - pos_;
        pos_ += std::min<size_t>(celt, left);
        return celt <= left ? plat::S_OK : plat::S_FALSE;
    }
    HRESULT Reset() override {
        std::lock_guard lk(m_);
        pos_ = 0;
        return plat::S_OK;
    }
    HRESULT Clone(Itf** out) override {
        std::lock_guard lk(m_);
        *out = plat::MakeCom<ListEnum>(items_, pos_).Detach();
        return plat::S_OK;
    }

  private:
    static char16_t* Hand(const std::u16string& s) { return TaskString(s); }
    static plat::IUnknown* Hand(const ComPtr<plat::IUnknown>& p) {
        p->AddRef();
        return p.Get();
    }
    std::vector<Item> items_;
    std::mutex m_;
    size_t pos_;
};
using StringEnum = ListEnum<opc::IEnumString, std::u16string, char16_t*>;
using UnknownEnum = ListEnum<opc::IEnumUnknown, ComPtr<plat::IUnknown>, plat::IUnknown*>;

// Item attributes i = 0..n-1: "path{i}", "item{i}", a blob of i bytes i, vEUInfo I4 i.
class AttrEnum final : public plat::ComObject<opc::IEnumOPCItemAttributes> {
  public:
    explicit AttrEnum(uint32_t n) : n_(n) { ++g_live_opc; }
    ~AttrEnum() override { --g_live_opc; }
    HRESULT Next(uint32_t celt, opc::OPCITEMATTRIBUTES** out, uint32_t* fetched) override {
        const uint32_t k = std::min(celt, n_ - pos_);
        *fetched = k;
        *out = nullptr;
        if (k) {
            *out = static_cast<opc::OPCITEMATTRIBUTES*>(
                plat::CoTaskMemAlloc(k * sizeof(opc::OPCITEMATTRIBUTES)));
            for (uint32_t j = 0; j < k; ++j) {
                const uint32_t i = pos_ + j;
                auto* a = new (*out + j) opc::OPCITEMATTRIBUTES{};
                a->szAccessPath = TaskString(U16("path" + std::to_string(i)));
                a->szItemID = TaskString(U16("item" + std::to_string(i)));
                a->bActive = static_cast<opc::BOOL>(i % 2);
                a->hClient = 100 + i;
                a->hServer = 200 + i;
                a->dwAccessRights = 3;
                a->dwBlobSize = i;
                a->pBlob = i ? static_cast<uint8_t*>(plat::CoTaskMemAlloc(i)) : nullptr;
                for (uint32_t b = 0; b < i; ++b) a->pBlob[b] = static_cast<uint8_t>(i);
                a->vtRequestedDataType = plat::VT_R8;
                a->vtCanonicalDataType = plat::VT_I4;
                a->dwEUType = opc::OPC_ANALOG;
                a->vEUInfo = plat::Variant::I4(static_cast<int32_t>(i));
            }
        }
        pos_ += k;
        return k == celt ? plat::S_OK : plat::S_FALSE;
    }
    HRESULT Skip(uint32_t celt) override {
        const uint32_t k = std::min(celt, n_ - pos_);
        pos_ += k;
        return k == celt ? plat::S_OK : plat::S_FALSE;
    }
    HRESULT Reset() override {
        pos_ = 0;
        return plat::S_OK;
    }
    HRESULT Clone(opc::IEnumOPCItemAttributes** out) override {
        auto c = plat::MakeCom<AttrEnum>(n_);
        c->pos_ = pos_;
        *out = c.Detach();
        return plat::S_OK;
    }

  private:
    uint32_t n_;
    uint32_t pos_ = 0;
};

// A test-only interface: the server side calls an enumerator the caller hands it.
struct IEnumProbe : public virtual plat::IUnknown {
    static const plat::IID& GetIID() { return IID_IEnumProbe; }
    // e->Next(celt, array, &fetched) into an array with guard slots after celt; the outcome is
    // kept in g_drain.
    virtual HRESULT Drain(opc::IEnumString* e, uint32_t celt) = 0;
};

inline char16_t* const kGuard = reinterpret_cast<char16_t*>(uintptr_t{0x5EED});

struct DrainSeen {
    std::mutex m;
    bool done = false;
    HRESULT hr = plat::S_OK;
    uint32_t fetched = 0;
    std::vector<char16_t*> slots;  // the array after the call (strings freed, pointers kept)
    std::vector<std::u16string> got;
};
inline DrainSeen g_drain;

}  // namespace rpctest

#define RPCTEST_IENUMPROBE(M) M(Drain, 2)
NORVALT_RPC_INTERFACE(rpctest::IEnumProbe, RPCTEST_IENUMPROBE)

namespace rpctest {

// The OPC server stand-in.
class OpcObject final
    : public plat::ComObject<opc::IOPCServer, opc::IOPCCommon, opc::IOPCBrowseServerAddressSpace,
                             opc::IOPCItemProperties, plat::IConnectionPointContainer, IEnumProbe> {
  public:
    OpcObject() : point_(this) { ++g_live_opc; }
    ~OpcObject() override { --g_live_opc; }

    // IOPCCommon
    HRESULT SetLocaleID(plat::LCID lcid) override {
        lcid_ = lcid;
        return plat::S_OK;
    }
    HRESULT GetLocaleID(plat::LCID* lcid) override {
        *lcid = lcid_;
        return plat::S_OK;
    }
    HRESULT QueryAvailableLocaleIDs(uint32_t* n, plat::LCID** ids) override {
        *n = 2;
        *ids = static_cast<plat::LCID*>(plat::CoTaskMemAlloc(2 * sizeof(plat::LCID)));
        (*ids)[0] = 0x409;
        (*ids)[1] = lcid_;
        return plat::S_OK;
    }
    HRESULT GetErrorString(HRESULT e, char16_t** out) override { return GetErrorString(e, 0, out); }
    HRESULT SetClientName(const char16_t* name) override {
        std::lock_guard lk(m_);
        client_name_ = name ? name : u"(null)";
        return plat::S_OK;
    }

    // IOPCServer
    HRESULT AddGroup(const char16_t* name, opc::BOOL active, uint32_t rate, opc::OPCHANDLE client,
                     const int32_t* bias, const float* deadband, plat::LCID lcid,
                     opc::OPCHANDLE* server, uint32_t* revised, const plat::IID& riid,
                     void** unk) override {
        *server = client + (bias ? static_cast<uint32_t>(*bias) : 1000u) + (active ? 1 : 0);
        *revised = rate + (deadband ? static_cast<uint32_t>(*deadband * 10) : 7u) + lcid;
        auto g = plat::MakeCom<StringEnum>(std::vector<std::u16string>{name ? name : u"(null)"});
        return g->QueryInterface(riid, unk);
    }
    HRESULT GetErrorString(HRESULT e, plat::LCID lcid, char16_t** out) override {
        char b[40];
        std::snprintf(b, sizeof b, "E%08X/%u", static_cast<uint32_t>(e), lcid);
        *out = TaskString(U16(b));
        return plat::S_OK;
    }
    HRESULT GetGroupByName(const char16_t* name, const plat::IID& riid, void** unk) override {
        auto g = plat::MakeCom<StringEnum>(std::vector<std::u16string>{name});
        return g->QueryInterface(riid, unk);
    }
    HRESULT GetStatus(opc::OPCSERVERSTATUS** out) override {
        auto* s = new (plat::CoTaskMemAlloc(sizeof(opc::OPCSERVERSTATUS))) opc::OPCSERVERSTATUS{};
        s->ftStartTime = plat::U64ToFileTime(11);
        s->ftCurrentTime = plat::U64ToFileTime(22);
        s->ftLastUpdateTime = plat::U64ToFileTime(33);
        s->dwServerState = opc::OPC_STATUS_SUSPENDED;
        s->dwGroupCount = 4;
        s->dwBandWidth = 0xFFFFFFFF;
        s->wMajorVersion = 2;
        s->wMinorVersion = 5;
        s->wBuildNumber = 77;
        s->szVendorInfo = TaskString(u"Norvalt \u0416");
        *out = s;
        return plat::S_OK;
    }
    HRESULT RemoveGroup(opc::OPCHANDLE, opc::BOOL force) override {
        return force ? plat::S_OK : plat::E_FAIL;
    }
    HRESULT CreateGroupEnumerator(opc::OPCENUMSCOPE scope, const plat::IID& riid,
                                  void** unk) override {
        if (riid == opc::IID_IEnumOPCItemAttributes)
            return plat::MakeCom<AttrEnum>(static_cast<uint32_t>(scope))->QueryInterface(riid, unk);
        if (riid == opc::IID_IEnumUnknown) {
            std::vector<ComPtr<plat::IUnknown>> items;
            for (uint32_t i = 0; i < static_cast<uint32_t>(scope); ++i) {
                auto e = plat::MakeCom<StringEnum>(
                    std::vector<std::u16string>{U16("group" + std::to_string(i))});
                items.emplace_back(static_cast<opc::IEnumString*>(e.Get()));
            }
            return plat::MakeCom<UnknownEnum>(std::move(items))->QueryInterface(riid, unk);
        }
        *unk = nullptr;
        return plat::E_NOINTERFACE;
    }

    // IOPCBrowseServerAddressSpace
    HRESULT QueryOrganization(opc::OPCNAMESPACETYPE* t) override {
        *t = opc::OPC_NS_HIERARCHIAL;
        return plat::S_OK;
    }
    HRESULT ChangeBrowsePosition(opc::OPCBROWSEDIRECTION d, const char16_t* s) override {
        std::lock_guard lk(m_);
        position_ = std::to_string(d) + ":" +
                    (s ? std::string(s, s + std::char_traits<char16_t>::length(s)) : "null");
        return plat::S_OK;
    }
    // dwAccessRightsFilter items "<filter>0", "<filter>1"...
    HRESULT BrowseOPCItemIDs(opc::OPCBROWSETYPE, const char16_t* filter, plat::VARTYPE,
                             uint32_t count, opc::IEnumString** out) override {
        std::vector<std::u16string> items;
        for (uint32_t i = 0; i < count; ++i)
            items.push_back((filter ? std::u16string(filter) : u"") + U16(std::to_string(i)));
        *out = plat::MakeCom<StringEnum>(std::move(items)).Detach();
        return plat::S_OK;
    }
    HRESULT GetItemID(const char16_t* data_id, char16_t** item_id) override {
        *item_id = TaskString(u"root." + std::u16string(data_id));
        return plat::S_OK;
    }
    HRESULT BrowseAccessPaths(const char16_t*, opc::IEnumString** out) override {
        *out = nullptr;
        return plat::E_NOTIMPL;
    }

    // IOPCItemProperties: properties 1..3 of every item; property 0 is unknown.
    HRESULT QueryAvailableProperties(const char16_t* item, uint32_t* n, uint32_t** ids,
                                     char16_t*** descriptions, plat::VARTYPE** types) override {
        *n = 3;
        *ids = static_cast<uint32_t*>(plat::CoTaskMemAlloc(3 * sizeof(uint32_t)));
        *descriptions = static_cast<char16_t**>(plat::CoTaskMemAlloc(3 * sizeof(char16_t*)));
        *types = static_cast<plat::VARTYPE*>(plat::CoTaskMemAlloc(3 * sizeof(plat::VARTYPE)));
        for (uint32_t i = 0; i < 3; ++i) {
            (*ids)[i] = i + 1;
            (*descriptions)[i] =
                TaskString(std::u16string(item) + u"#" + U16(std::to_string(i + 1)));
            (*types)[i] = static_cast<plat::VARTYPE>(plat::VT_I2 + i);
        }
        return plat::S_OK;
    }
    HRESULT GetItemProperties(const char16_t*, uint32_t n, const uint32_t* ids,
                              plat::Variant** data, HRESULT** errors) override {
        *data = static_cast<plat::Variant*>(plat::CoTaskMemAlloc(n * sizeof(plat::Variant)));
        *errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (uint32_t i = 0; i < n; ++i) {
            new (*data + i) plat::Variant(
                ids[i] ? plat::Variant::I4(static_cast<int32_t>(ids[i] * 10)) : plat::Variant());
            (*errors)[i] = ids[i] ? plat::S_OK : plat::E_INVALIDARG;
        }
        return plat::S_FALSE;
    }
    HRESULT LookupItemIDs(const char16_t* item, uint32_t n, const uint32_t* ids, char16_t*** out,
                          HRESULT** errors) override {
        *out = static_cast<char16_t**>(plat::CoTaskMemAlloc(n * sizeof(char16_t*)));
        *errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (uint32_t i = 0; i < n; ++i) {
            (*out)[i] = ids[i]
                            ? TaskString(std::u16string(item) + u"." + U16(std::to_string(ids[i])))
                            : nullptr;
            (*errors)[i] = ids[i] ? plat::S_OK : plat::E_INVALIDARG;
        }
        return plat::S_FALSE;
    }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override {
        return plat::EnumConnectionPointsIn({&point_}, out);
    }
    HRESULT FindConnectionPoint(const plat::IID& iid, plat::IConnectionPoint** out) override {
        return plat::FindConnectionPointIn(iid, {&point_}, out);
    }

    // IEnumProbe
    HRESULT Drain(opc::IEnumString* e, uint32_t celt) override {
        std::vector<char16_t*> slots(size_t{celt} + 4, kGuard);
        uint32_t fetched = 0xFFFF;
        HRESULT hr = e ? e->Next(celt, slots.data(), &fetched) : plat::E_POINTER;
        std::lock_guard lk(g_drain.m);
        g_drain.hr = hr;
        g_drain.fetched = fetched;
        g_drain.got.clear();
        if (plat::Succeeded(hr))
            for (uint32_t i = 0; i < fetched && i < slots.size(); ++i) {
                g_drain.got.emplace_back(slots[i]);
                plat::CoTaskMemFree(std::exchange(slots[i], nullptr));
            }
        g_drain.slots = slots;
        g_drain.done = true;
        return hr;
    }

    std::string Position() {
        std::lock_guard lk(m_);
        return position_;
    }
    std::u16string ClientName() {
        std::lock_guard lk(m_);
        return client_name_;
    }
    plat::ConnectionPoint<opc::IOPCShutdown>& Point() { return point_; }

  private:
    std::atomic<plat::LCID> lcid_{0x419};
    std::mutex m_;
    std::string position_;
    std::u16string client_name_;
    plat::ConnectionPoint<opc::IOPCShutdown> point_;
};

// A client's shutdown sink.
class ShutdownSink final : public plat::ComObject<opc::IOPCShutdown> {
  public:
    ShutdownSink() { ++g_live_opc; }
    ~ShutdownSink() override { --g_live_opc; }
    HRESULT ShutdownRequest(const char16_t* reason) override {
        std::lock_guard lk(m);
        reasons.push_back(reason ? reason : u"(null)");
        return plat::S_OK;
    }
    std::mutex m;
    std::vector<std::u16string> reasons;
};

inline void RegisterOpcTest() {
    opc::RegisterOpcDaInterfaces();
    plat::rpc::RegisterInterfaces<IEnumProbe>();
}

}  // namespace rpctest
