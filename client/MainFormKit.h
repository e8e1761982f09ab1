// What the window's sources that call the service share (MainFormCalls.cpp, MainFormPost.cpp):
// the job a call thread runs and the member templates that make the calls. Private to the window.
#pragma once
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "client/MainForm.h"

namespace cli {

struct TForm1::CallJob {
    std::function<void()> run;  // on the call thread
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    QObject* wake = nullptr;  // posted to when done, while the GUI thread waits
    plat::HRESULT hr = plat::S_OK;
    std::string text;
};

template <class F>
void TForm1::Guarded(F fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        display_(QString::fromStdString(e.what()));
    }
}

template <class T, class F>
plat::HRESULT TForm1::Call(T& out, F fn, bool pump) {
    if (!service_) throw std::runtime_error("Объект не создан...");
    // The job owns what it works on: a call given up may still return later.
    auto result = std::make_shared<T>(out);
    auto job = std::make_shared<CallJob>();
    job->run = [service = service_, fn = std::move(fn), result, j = job.get()] {
        j->hr = fn(*service, *result);
    };
    const plat::HRESULT hr = Await(job, pump);
    bool done;
    {
        std::lock_guard lk(job->m);
        done = job->done;
    }
    if (done) out = *result;
    return hr;
}

template <class F>
plat::HRESULT TForm1::CallOnly(F fn, bool pump) {
    int none = 0;
    return Call(
        none, [fn = std::move(fn)](tlb::INorvalt& s, int&) { return fn(s); }, pump);
}

}  // namespace cli
