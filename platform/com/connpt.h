// Connection points: how a server object finds the client sinks it calls back.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/types/guid.h"

namespace plat {

inline const IID IID_IConnectionPointContainer = GuidOf("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline const IID IID_IConnectionPoint = GuidOf("{B196B286-BAB4-101A-B69C-00AA00341D07}");

struct IConnectionPointContainer;

// The enumerators of the platform's interfaces are left out: no client of this system uses them.
struct IConnectionPoint : public virtual IUnknown {
    static const IID& GetIID() { return IID_IConnectionPoint; }
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
    // The sink is asked for the point's interface (CONNECT_E_CANNOTCONNECT when it has none).
    virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(uint32_t cookie) = 0;
};

struct IConnectionPointContainer : public virtual IUnknown {
    static const IID& GetIID() { return IID_IConnectionPointContainer; }
    virtual HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** out) = 0;
};

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
HRESULT FindConnectionPointIn(const IID& iid, std::initializer_list<IConnectionPoint*> points,
                              IConnectionPoint** out);

}  // namespace plat
