#include "platform/com/connpt.h"

namespace plat {

HRESULT FindConnectionPointIn(const IID& iid, std::initializer_list<IConnectionPoint*> points,
                              IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (IConnectionPoint* p : points) {
        IID have{};
        if (p && Succeeded(p->GetConnectionInterface(&have)) && have == iid) {
            p->AddRef();
            *out = p;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT EnumConnectionPointsIn(std::initializer_list<IConnectionPoint*> points,
                               IEnumConnectionPoints** out) {
    if (!out) return E_POINTER;
    auto items = std::make_shared<std::vector<ComPtr<IConnectionPoint>>>();
    for (IConnectionPoint* p : points)
        if (p) items->emplace_back(p);
    *out = MakeCom<detail::PointsEnum>(std::move(items)).Detach();
    return S_OK;
}

}  // namespace plat
