// The console's event sink. Events arrive on the transport's threads; each one is handed to the
// form's thread and nothing else is done here, so the list, the state and the table are only
// ever touched on the GUI thread.
#pragma once
#include <QtGlobal>

#include <functional>
#include <mutex>

#include "platform/com/object.h"
#include "service/typelib/TypeLib.h"

namespace cli {

// What the sink reports to (the form). Deliver is called on the transport's threads; the events
// it carries run on the receiver's thread.
class ITorkEvents {
  public:
    virtual ~ITorkEvents() = default;
    // Any thread: runs fn on the receiver's thread later, unless the binding of `generation`
    // has been released by then.
    virtual void Deliver(quint64 generation, std::function<void(ITorkEvents&)> fn) = 0;

    virtual void OnPostFound(int post) = 0;
    virtual void OnStateChanged(int post, tlb::TState state) = 0;
    virtual void OnVarValueChanged(int post, int variable, tlb::TVariableValue value) = 0;
    virtual void OnPostDeleted(int post) = 0;
};

class TTorkCallback : public plat::ComObject<tlb::INorvaltEvents> {
  public:
    // `generation` is the form's bind count when this sink was made: events queued before a
    // release are dropped when they reach a form that has since let this sink go.
    TTorkCallback(ITorkEvents* form, quint64 generation);

    // The service reference this sink was registered with.
    void Keep(plat::ComPtr<tlb::INorvalt> server);
    // GUI thread, on release: no further events reach the form, and the service is let go.
    void Detach();

    plat::HRESULT PostFound(int8_t Post) override;
    plat::HRESULT StateChanged(int8_t Post, tlb::TState State) override;
    plat::HRESULT VarValueChanged(int8_t Post, tlb::TVariableEnum Variable,
                                  tlb::TVariableValue Value) override;
    plat::HRESULT PostDeleted(int8_t Post) override;

    // Posts never have negative numbers; the events carry them in one byte, so 200 arrives as
    // -56 and is read back as 200.
    static int EventPost(int8_t post) { return static_cast<uint8_t>(post); }

  private:
    template <class F>
    void Queue(F fn);

    std::mutex m_;
    ITorkEvents* form_;
    const quint64 generation_;
    plat::ComPtr<tlb::INorvalt> server_;
};

}  // namespace cli
