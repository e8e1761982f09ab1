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

}  // namespace plat
