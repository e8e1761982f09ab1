#include "client/TorkCallback.h"

namespace cli {

TTorkCallback::TTorkCallback(ITorkEvents* form, quint64 generation)
    : form_(form), generation_(generation) {}

void TTorkCallback::Keep(plat::ComPtr<tlb::INorvalt> server) {
    std::lock_guard lk(m_);
    server_ = std::move(server);
}

void TTorkCallback::Detach() {
    plat::ComPtr<tlb::INorvalt> server;
    {
        std::lock_guard lk(m_);
        form_ = nullptr;
        server = std::move(server_);
    }
}

// Under the lock so that Detach, once returned, lets nothing more through; the form's
// destructor detaches first.
template <class F>
void TTorkCallback::Queue(F fn) {
    std::lock_guard lk(m_);
    if (form_) form_->Deliver(generation_, std::move(fn));
}

plat::HRESULT TTorkCallback::PostFound(int8_t Post) {
    const int post = EventPost(Post);
    Queue([post](ITorkEvents& f) { f.OnPostFound(post); });
    return plat::S_OK;
}

plat::HRESULT TTorkCallback::StateChanged(int8_t Post, tlb::TState State) {
    const int post = EventPost(Post);
    Queue([post, State](ITorkEvents& f) { f.OnStateChanged(post, State); });
    return plat::S_OK;
}

plat::HRESULT TTorkCallback::VarValueChanged(int8_t Post, tlb::TVariableEnum Variable,
                                             tlb::TVariableValue Value) {
    const int post = EventPost(Post);
    const int var = Variable;
    Queue([post, var, Value](ITorkEvents& f) { f.OnVarValueChanged(post, var, Value); });
    return plat::S_OK;
}

plat::HRESULT TTorkCallback::PostDeleted(int8_t Post) {
    const int post = EventPost(Post);
    Queue([post](ITorkEvents& f) { f.OnPostDeleted(post); });
    return plat::S_OK;
}

}  // namespace cli
