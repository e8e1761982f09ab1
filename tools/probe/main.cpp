// norvalt_probe: a client of a running service. Binds TORK over the transport's socket
// ($NORVALT_SOCKET, else the default), waits until the post is found and prints its state.
// Exit 0 when the post was found in time, 1 otherwise.
//
//   norvalt_probe [--post N] [--seconds S]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "service/typelib/TypeLib.h"
#include "service/typelib/TypeLibProxy.h"

namespace {

class PostSink : public plat::ComObject<tlb::INorvaltEventsEx, tlb::INorvaltEvents> {
  public:
    plat::HRESULT PostFound(int8_t post) override {
        std::lock_guard lk(m_);
        posts_.insert(post);
        return plat::S_OK;
    }
    plat::HRESULT StateChanged(int8_t, tlb::TState) override { return plat::S_OK; }
    plat::HRESULT VarValueChanged(int8_t, tlb::TVariableEnum, tlb::TVariableValue) override {
        return plat::S_OK;
    }
    plat::HRESULT PostDeleted(int8_t post) override {
        std::lock_guard lk(m_);
        posts_.erase(post);
        return plat::S_OK;
    }
    plat::HRESULT PostWithoutChanges(int8_t, plat::DATE) override { return plat::S_OK; }
    bool Has(int post) {
        std::lock_guard lk(m_);
        return posts_.count(post) != 0;
    }

  private:
    std::mutex m_;
    std::set<int> posts_;
};

}  // namespace

int main(int argc, char** argv) {
    int post = 1, seconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--post") {
            post = std::atoi(argv[i + 1]);
        } else if (a == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: norvalt_probe [--post N] [--seconds S]\n");
            return 2;
        }
    }
    tlb::RegisterTypeLibInterfaces();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int rc = 1;
    {
        plat::ComPtr<tlb::INorvalt> n;
        while (!plat::Succeeded(plat::CreateInstance(tlb::CLSID_TORK, n)) &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (!n) {
            std::printf("probe: cannot bind TORK on %s: %s\n",
                        plat::rpc::DefaultSocketPath().c_str(), plat::GetErrorText().c_str());
            return 1;
        }
        std::printf("probe: bound TORK on %s\n", plat::rpc::DefaultSocketPath().c_str());
        auto sink = plat::MakeCom<PostSink>();
        n->RegisterSinkInterfaceEx(sink.Get());
        while (!sink->Has(post) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tlb::TState st{};
        if (sink->Has(post) && plat::Succeeded(n->GetState(static_cast<int16_t>(post), &st))) {
            std::printf("probe: Post%d found, state %d\n", post, static_cast<int>(st.Value));
            rc = 0;
        } else {
            std::printf("probe: Post%d not found\n", post);
        }
        n->UnRegisterSinkInterface();
    }
    plat::rpc::DisconnectAll();
    std::fflush(stdout);
    return rc;
}
