// The process-wide table of transportable interfaces.
#include <mutex>
#include <unordered_map>

#include "platform/rpc/interfaces.h"
#include "platform/rpc/internal.h"

namespace plat::rpc {

// --- Interface table ---------------------------------------------------------------------------

namespace {

struct InterfaceTable {
    std::mutex m;
    std::unordered_map<IID, const InterfaceInfo*> by_iid;
};

InterfaceTable& Interfaces() {
    static auto* t = new InterfaceTable;
    return *t;
}

}  // namespace

void RegisterBuiltins() {
    static const bool done = [] {
        RegisterInterfaces<IUnknown, IConnectionPoint, IConnectionPointContainer, IEnumConnections,
                           IEnumConnectionPoints>();
        return true;
    }();
    (void)done;
}

void RegisterInterface(const InterfaceInfo& info) {
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    t.by_iid.emplace(info.iid, &info);
}

const InterfaceInfo* FindInterface(const IID& iid) {
    RegisterBuiltins();
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    auto it = t.by_iid.find(iid);
    return it == t.by_iid.end() ? nullptr : it->second;
}

std::vector<const InterfaceInfo*> RegisteredInterfaces() {
    RegisterBuiltins();
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    std::vector<const InterfaceInfo*> v;
    for (auto& e : t.by_iid) v.push_back(e.second);
    return v;
}

// IUnknown needs no proxy class: the proxy manager is the object's IUnknown.
template <>
const InterfaceInfo& InterfaceInfoOf<IUnknown>() {
    static const InterfaceInfo info = [] {
        InterfaceInfo i;
        i.iid = IID_IUnknown;
        i.name = "IUnknown";
        i.methods = nullptr;
        i.method_count = 0;
        i.make_proxy = nullptr;
        i.to_unknown = [](void* p) { return static_cast<IUnknown*>(p); };
        return i;
    }();
    static const bool registered = (RegisterInterface(info), true);
    (void)registered;
    return info;
}

}  // namespace plat::rpc
