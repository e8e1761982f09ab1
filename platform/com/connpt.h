// Connection points: how a server object finds the client sinks it calls back, and the
// enumerators over a container's points and a point's connections.
#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/object.h"
#include "platform/com/unknown.h"
#include "platform/types/guid.h"

namespace plat {

inline const IID IID_IConnectionPointContainer = GuidOf("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline const IID IID_IConnectionPoint = GuidOf("{B196B286-BAB4-101A-B69C-00AA00341D07}");
inline const IID IID_IEnumConnectionPoints = GuidOf("{B196B285-BAB4-101A-B69C-00AA00341D07}");
inline const IID IID_IEnumConnections = GuidOf("{B196B287-BAB4-101A-B69C-00AA00341D07}");

struct IConnectionPointContainer;
struct IConnectionPoint;

// One connected sink as an enumerator hands it out: pUnk carries a reference for the receiver.
struct CONNECTDATA {
    IUnknown* pUnk = nullptr;
    uint32_t dwCookie = 0;
};

// Next fills the caller's array (room for celt) and sets *fetched, which may be null only when
// celt is 1; S_FALSE when fewer than celt were left. The enumerators are snapshots: they do not
// follow connections made or ended after they were created.
struct IEnumConnections : public virtual IUnknown {
    static const IID& GetIID() { return IID_IEnumConnections; }
    virtual HRESULT Next(uint32_t celt, CONNECTDATA* rgcd, uint32_t* fetched) = 0;
    virtual HRESULT Skip(uint32_t celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnections** out) = 0;
};

struct IEnumConnectionPoints : public virtual IUnknown {
    static const IID& GetIID() { return IID_IEnumConnectionPoints; }
    virtual HRESULT Next(uint32_t celt, IConnectionPoint** rgcp, uint32_t* fetched) = 0;
    virtual HRESULT Skip(uint32_t celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnectionPoints** out) = 0;
};

struct IConnectionPoint : public virtual IUnknown {
    static const IID& GetIID() { return IID_IConnectionPoint; }
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
    // The sink is asked for the point's interface (CONNECT_E_CANNOTCONNECT when it has none).
    virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(uint32_t cookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** out) = 0;
};

struct IConnectionPointContainer : public virtual IUnknown {
    static const IID& GetIID() { return IID_IConnectionPointContainer; }
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) = 0;
    virtual HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** out) = 0;
};

namespace detail {

// An enumerator over a list taken once; clones share the list and copy the position. Hand
// makes the element the caller receives (with its own reference) from a stored item.
template <class Itf, class Item, class Out, Out (*Hand)(const Item&)>
class SnapshotEnum final : public ComObject<Itf> {
  public:
    explicit SnapshotEnum(std::shared_ptr<const std::vector<Item>> items, size_t pos = 0)
        : items_(std::move(items)), pos_(pos) {}

    HRESULT Next(uint32_t celt, Out* rgelt, uint32_t* fetched) override {
        if ((!rgelt && celt) || (!fetched && celt != 1)) return E_POINTER;
        std::lock_guard lk(m_);
        uint32_t n = 0;
        for (; n < celt && pos_ < items_->size(); ++n) rgelt[n] = Hand((*items_)[pos_++]);
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(uint32_t celt) override {
        std::lock_guard lk(m_);
        const size_t left = items_->size() - pos_;
        pos_ += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        std::lock_guard lk(m_);
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(Itf** out) override {
        if (!out) return E_POINTER;
        size_t pos;
        {
            std::lock_guard lk(m_);
            pos = pos_;
        }
        *out = MakeCom<SnapshotEnum>(items_, pos).Detach();
        return S_OK;
    }

  private:
    std::shared_ptr<const std::vector<Item>> items_;
    std::mutex m_;
    size_t pos_;
};

struct SinkEntry {
    ComPtr<IUnknown> unk;
    uint32_t cookie = 0;
};
inline CONNECTDATA HandConnection(const SinkEntry& e) {
    if (e.unk) e.unk->AddRef();
    return CONNECTDATA{e.unk.Get(), e.cookie};
}
inline IConnectionPoint* HandPoint(const ComPtr<IConnectionPoint>& p) {
    if (p) p->AddRef();
    return p.Get();
}
using ConnectionsEnum = SnapshotEnum<IEnumConnections, SinkEntry, CONNECTDATA, &HandConnection>;
using PointsEnum =
    SnapshotEnum<IEnumConnectionPoints, ComPtr<IConnectionPoint>, IConnectionPoint*, &HandPoint>;

}  // namespace detail

// One connection point for sinks of interface Sink, a member of its container. It has its own
// identity but shares the container's count, so a client that holds the point keeps the
// container alive and the point never outlives it.
template <class Sink>
class ConnectionPoint final : public IConnectionPoint {
  public:
    // Called under no lock of the point when a sink connects (true) or disconnects (false);
    // a failing result refuses the connection.
    using Hook = std::function<HRESULT(Sink* sink, bool connect)>;

    ConnectionPoint(IConnectionPointContainer* container, size_t max_connections = SIZE_MAX,
                    Hook hook = {})
        : container_(container), max_(max_connections), hook_(std::move(hook)) {}
    ~ConnectionPoint() { DisconnectAll(); }
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
            *out = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return container_->AddRef(); }
    uint32_t Release() override { return container_->Release(); }

    HRESULT GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = Sink::GetIID();
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        *out = container_;
        container_->AddRef();
        return S_OK;
    }
    HRESULT Advise(IUnknown* sink, uint32_t* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        ComPtr<Sink> typed = QueryAs<Sink>(sink);
        if (!typed) return CONNECT_E_CANNOTCONNECT;
        {
            std::lock_guard lk(m_);
            if (sinks_.size() >= max_) return CONNECT_E_ADVISELIMIT;
        }
        if (hook_) {
            HRESULT hr = hook_(typed.Get(), true);
            if (Failed(hr)) return hr;
        }
        std::lock_guard lk(m_);
        if (sinks_.size() >= max_) return CONNECT_E_ADVISELIMIT;
        *cookie = next_++;
        sinks_.emplace(*cookie, std::move(typed));
        return S_OK;
    }
    HRESULT Unadvise(uint32_t cookie) override {
        ComPtr<Sink> old;
        {
            std::lock_guard lk(m_);
            auto it = sinks_.find(cookie);
            if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
            old = std::move(it->second);
            sinks_.erase(it);
        }
        if (hook_) hook_(old.Get(), false);
        return S_OK;  // `old` is released outside the lock: its Release may be a remote call
    }
    HRESULT EnumConnections(IEnumConnections** out) override {
        if (!out) return E_POINTER;
        auto items = std::make_shared<std::vector<detail::SinkEntry>>();
        {
            std::lock_guard lk(m_);
            items->reserve(sinks_.size());
            for (const auto& [cookie, sink] : sinks_)
                items->push_back({ComPtr<IUnknown>(static_cast<IUnknown*>(sink.Get())), cookie});
        }
        *out = MakeCom<detail::ConnectionsEnum>(std::move(items)).Detach();
        return S_OK;
    }

    // The connected sinks at this moment, in the order they connected.
    std::vector<ComPtr<Sink>> Sinks() const {
        std::lock_guard lk(m_);
        std::vector<ComPtr<Sink>> v;
        v.reserve(sinks_.size());
        for (const auto& e : sinks_) v.push_back(e.second);
        return v;
    }
    size_t Count() const {
        std::lock_guard lk(m_);
        return sinks_.size();
    }
    void DisconnectAll() {
        std::map<uint32_t, ComPtr<Sink>> old;
        {
            std::lock_guard lk(m_);
            old.swap(sinks_);
        }
    }

  private:
    IConnectionPointContainer* container_;
    size_t max_;
    Hook hook_;
    mutable std::mutex m_;
    std::map<uint32_t, ComPtr<Sink>> sinks_;
    uint32_t next_ = 1;
};

// For a container's FindConnectionPoint: the point among `points` whose interface is `iid`.
// decisions PLAT-COM-1
HRESULT FindConnectionPointIn(const IID& iid, std::initializer_list<IConnectionPoint*> points,
                              IConnectionPoint** out);
// For a container's EnumConnectionPoints: an enumerator over `points` (nulls left out).
HRESULT EnumConnectionPointsIn(std::initializer_list<IConnectionPoint*> points,
                               IEnumConnectionPoints** out);

}  // namespace plat
