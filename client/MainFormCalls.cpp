// The window's service calls: the call thread and the wait for it, the recheck after a command
// given up, and the binding to the service and its release.
#include "client/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <string_view>
#include <thread>

#include "client/MainFormKit.h"
#include "client/TorkCallback.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/rpc/wire.h"

namespace cli {

namespace {

constexpr int kFirstPost = 1;
constexpr int kLastPost = 100;  // posts the console asks about when it binds
// Call threads left in a call that was given up; beyond this many, calls fail at once.
constexpr int kMaxStuckCalls = 4;
std::atomic<int> g_stuck_calls{0};
// Held while a call thread posts its wake-up to the window, and by the wake-up's handler.
std::mutex g_wake_m;

std::string CallTimeoutText() {
    // decisions CLI-10
    return "Служба не ответила вовремя";
}

// The window's texts for the failures the platform itself reports (the transport and the
// server's stop), in place of the platform's English ones. An object's own texts stay as they
// came.
const char* PlatformText(plat::HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
        case static_cast<uint32_t>(plat::RPC_E_DISCONNECTED):
            return "Связь с процессом службы разорвана";
        case static_cast<uint32_t>(plat::rpc::RPC_E_TIMEOUT):
            return "Служба не ответила вовремя";
        case static_cast<uint32_t>(plat::RPC_E_INVALID_DATA):
            return "Ответ службы искажён";
        case static_cast<uint32_t>(plat::rpc::RPC_S_SERVER_UNAVAILABLE):
            return "Компьютер недоступен";
        case static_cast<uint32_t>(plat::rpc::RPC_S_SERVER_TOO_BUSY):
            return "Служба перегружена";
        case static_cast<uint32_t>(plat::rpc::CO_E_SERVER_EXEC_FAILURE):
            return "Служба не запущена";
        // decisions CLI-11
        case static_cast<uint32_t>(plat::CO_E_SERVER_STOPPING):
            return "Служба останавливается";
        default:
            return nullptr;
    }
}

QString ErrorText(plat::HRESULT hr, const std::string& text) {
    if (const char* own = PlatformText(hr)) return QString::fromUtf8(own);
    // The transport's refusal of a socket name the system cannot take.
    // decisions CLI-18
    constexpr std::string_view kLongSocket = "Socket path too long: ";
    if (hr == plat::E_INVALIDARG && text.rfind(kLongSocket, 0) == 0)
        return QStringLiteral("Путь к сокету службы слишком длинный: %1")
            .arg(QString::fromStdString(text.substr(kLongSocket.size())));
    if (!text.empty()) return QString::fromStdString(text);
    char b[32];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<uint32_t>(hr));
    return QStringLiteral("Ошибка %1").arg(QLatin1String(b));
}

}  // namespace

void OleCheck(plat::HRESULT hr) {
    if (plat::Failed(hr)) throw OleError(hr, ErrorText(hr, plat::GetErrorText()).toStdString());
}

// The thread that makes the form's service calls, one at a time in the order given. Given up
// when a call outlasts its wait: it then ends by itself once that call returns.
class CallThread {
  public:
    CallThread() : thread_([s = s_] { Loop(*s); }) {}
    ~CallThread() { Abandon(); }
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    void Run(std::shared_ptr<TForm1::CallJob> job) {
        std::lock_guard lk(s_->m);
        s_->jobs.push_back(std::move(job));
        s_->cv.notify_one();
    }
    // Idle: joined. In a call: left to end by itself, counted as stuck until it does.
    void Abandon() {
        if (!thread_.joinable()) return;
        bool idle;
        {
            std::lock_guard lk(s_->m);
            s_->stop = true;
            idle = !s_->running && s_->jobs.empty();
            if (!idle) s_->stuck = true;
            s_->cv.notify_one();
        }
        if (idle) {
            thread_.join();
        } else {
            g_stuck_calls.fetch_add(1);
            thread_.detach();
        }
    }

  private:
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::shared_ptr<TForm1::CallJob>> jobs;
        bool running = false;
        bool stop = false;
        bool stuck = false;
    };
    static void Loop(Shared& s) {
        for (;;) {
            std::shared_ptr<TForm1::CallJob> job;
            {
                std::unique_lock lk(s.m);
                s.cv.wait(lk, [&] { return s.stop || !s.jobs.empty(); });
                // Given up: the jobs still queued are dropped with the thread (their waiters
                // have gone).
                if (s.stop) {
                    if (s.stuck) g_stuck_calls.fetch_sub(1);
                    return;
                }
                job = std::move(s.jobs.front());
                s.jobs.pop_front();
                s.running = true;
            }
            plat::ClearErrorText();
            job->run();
            {
                std::lock_guard lk(job->m);
                job->text = plat::GetErrorText();
                job->done = true;
                job->cv.notify_all();
                // An event, not only a wake-up: the GUI thread's wait returns once one has run.
                // Posted under our own lock, which the event's handler takes, so the event is
                // published to the GUI thread by that lock as well and not only by the toolkit.
                if (job->wake) {
                    std::lock_guard wl(g_wake_m);
                    QMetaObject::invokeMethod(job->wake, "CallEnded", Qt::QueuedConnection);
                }
            }
            std::lock_guard lk(s.m);
            s.running = false;
        }
    }

    std::shared_ptr<Shared> s_ = std::make_shared<Shared>();
    std::thread thread_;
};

// --- Calls -----------------------------------------------------------------------------------

plat::HRESULT TForm1::Await(const std::shared_ptr<CallJob>& job, bool pump) {
    if (g_stuck_calls.load() >= kMaxStuckCalls) {
        plat::SetErrorText(CallTimeoutText());
        return plat::rpc::RPC_E_TIMEOUT;
    }
    if (!caller_) caller_ = std::make_shared<CallThread>();
    const std::shared_ptr<CallThread> caller = caller_;
    {
        std::lock_guard lk(job->m);
        job->wake = pump ? this : nullptr;  // alive while it waits; cleared when it gives up
    }
    caller->Run(job);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(call_wait_ms_);
    bool done = false;
    if (pump) {
        if (calls_++ == 0) ShowBusy(true);
        // A table being refilled is not drawn until the refill has ended.
        const bool hold_grid = Memory->controlsDisabled();
        if (hold_grid) DBGrid1->viewport()->setUpdatesEnabled(false);
        QTimer alarm;  // wakes the loop to look at the clock
        alarm.setTimerType(Qt::PreciseTimer);
        alarm.start(static_cast<int>(std::min<uint32_t>(call_wait_ms_, 100)));
        for (;;) {
            {
                std::lock_guard lk(job->m);
                done = job->done;
            }
            if (done || std::chrono::steady_clock::now() >= deadline) break;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        if (hold_grid) DBGrid1->viewport()->setUpdatesEnabled(true);
        if (--calls_ == 0) ShowBusy(false);
    } else {
        std::unique_lock lk(job->m);
        done = job->cv.wait_until(lk, deadline, [&] { return job->done; });
    }
    if (!done) {
        std::lock_guard lk(job->m);
        done = job->done;
        job->wake = nullptr;
    }
    plat::HRESULT hr;
    if (done) {
        plat::SetErrorText(job->text);
        hr = job->hr;
    } else {
        if (caller_ == caller) caller_ = nullptr;
        caller->Abandon();
        plat::SetErrorText(CallTimeoutText());
        hr = plat::rpc::RPC_E_TIMEOUT;
    }
    if (pump && calls_ == 0) ScheduleAfterCalls();
    return hr;
}

bool TForm1::RefuseWhileBusy() {
    if (!busy()) return false;
    // decisions CLI-9
    QApplication::beep();
    return true;
}

void TForm1::CallEnded() {
    { std::lock_guard lk(g_wake_m); }
    CheckProbe();
}

void TForm1::ShowBusy(bool busy) {
    // decisions CLI-18
    for (QWidget* b :
         std::initializer_list<QWidget*>{Button2, Button3, Work, Stop, Pause, NavPost, NavCancel})
        b->setEnabled(!busy);
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

// --- After a command given up ----------------------------------------------------------------

// decisions CLI-16
void TForm1::StartRecheck() {
    if (!recheck_.isActive()) recheck_.start(kRecheckMs);
}

void TForm1::StopRecheck() {
    recheck_.stop();
    if (probe_) {
        std::lock_guard lk(probe_->m);
        probe_->wake = nullptr;
    }
    probe_ = nullptr;
    prober_ = nullptr;  // a question still out ends by itself, within the connection's bound
}

void TForm1::RecheckTick() {
    GuiOnly();
    if (!service_) {
        StopRecheck();
        return;
    }
    if (probe_) {
        CheckProbe();
        return;
    }
    if (busy()) return;  // asked on the next tick
    // The question runs on a thread of its own and the window does not wait for it: a service
    // still stopped holds it until the connection gives it up.
    auto job = std::make_shared<CallJob>();
    job->wake = this;
    job->run = [service = service_, post = current_post_, j = job.get()] {
        tlb::TState st{};
        j->hr = service->GetState(post, &st);
    };
    if (!prober_) prober_ = std::make_shared<CallThread>();
    probe_ = job;
    prober_->Run(job);
}

void TForm1::CheckProbe() {
    if (!probe_ || busy()) return;
    bool done;
    plat::HRESULT hr;
    {
        std::lock_guard lk(probe_->m);
        done = probe_->done;
        hr = probe_->hr;
    }
    if (!done) return;
    probe_ = nullptr;
    if (plat::Failed(hr)) return;  // asked again on the next tick
    StopRecheck();
    // The service answers again: the window shows what it now holds.
    const MemTable::State st = Memory->state();
    if (st == MemTable::State::Edit || st == MemTable::State::Insert) {
        // The operator's pending edit stays; its end reads the table again.
        Guarded([&] {
            tlb::TState state{};
            OleCheck(Call(state, [post = current_post_](tlb::INorvalt& s, tlb::TState& out) {
                return s.GetState(post, &out);
            }));
            ShowState(state.Value);
        });
    } else if (current_post_ != 0) {
        NumberChange();
    }
}

void TForm1::ScheduleAfterCalls() {
    if (after_scheduled_) return;
    bool mail;
    {
        // decisions CLI-4
        std::lock_guard lk(mail_m_);
        mail = !mail_.empty();
    }
    if (!pending_number_ && !pending_close_ && !pending_leave_ && !mail) return;
    after_scheduled_ = true;
    QMetaObject::invokeMethod(this, "AfterCalls", Qt::QueuedConnection);
}

void TForm1::AfterCalls() {
    GuiOnly();
    after_scheduled_ = false;
    if (busy()) return;  // scheduled again when that call has ended
    if (pending_close_) {
        pending_close_ = pending_number_ = false;
        close();
        return;
    }
    if (pending_number_) {
        pending_number_ = false;
        NumberChange();
    }
    if (pending_leave_) {
        pending_leave_ = false;
        LeaveEditedRow();
    }
    DrainEvents();
}

// --- Binding ---------------------------------------------------------------------------------

void TForm1::Button2Click() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    Guarded([&] {
        PostsList->clear();
        const QString comp = CompEdit->text();
        uint32_t clsctx = plat::CLSCTX_INPROC_SERVER | plat::CLSCTX_LOCAL_SERVER;  // 5
        if (!comp.isEmpty())
            clsctx = comp.compare(QString::fromStdString(plat::LocalComputerName()),
                                  Qt::CaseInsensitive) == 0
                         ? plat::CLSCTX_SERVER          // 21
                         : plat::CLSCTX_REMOTE_SERVER;  // 16
        if (service_) Release();                        // a second bind replaces the first
        // Creation and the query reach the server: they run on the call thread as well.
        struct Made {
            bool object = false;
            plat::ComPtr<tlb::INorvalt> service;
        };
        auto made = std::make_shared<Made>();
        auto job = std::make_shared<CallJob>();
        job->run = [creator = creator_, computer = comp.toStdString(), clsctx, made,
                    j = job.get()] {
            plat::ComPtr<plat::IUnknown> unk;
            j->hr = creator(computer, clsctx, unk);
            if (plat::Succeeded(j->hr) && unk) {
                made->object = true;
                made->service = plat::QueryAs<tlb::INorvalt>(unk.Get());
            }
        };
        const plat::HRESULT hr = Await(job, true);
        if (plat::Failed(hr)) {
            display_(QStringLiteral("%1: %2").arg(hr).arg(ErrorText(hr, plat::GetErrorText())));
            return;
        }
        if (made->object) {
            service_ = std::move(made->service);
            // decisions CLI-6
            if (!service_) throw std::runtime_error("Интерфейс не поддерживается");
        }
        if (service_) {
            callback_ = plat::MakeCom<TTorkCallback>(this, ++bind_generation_);
            Connect();
        } else {
            display_(QStringLiteral("Объект не создан..."));
        }
    });
}

void TForm1::Connect() {
    GuiOnly();
    OleCheck(CallOnly(
        [sink = callback_](tlb::INorvalt& s) { return s.RegisterSinkInterface(sink.Get()); }));
    callback_->Keep(service_);
    for (int post = kFirstPost; post <= kLastPost; ++post) {
        tlb::TState st{};
        OleCheck(Call(st, [post](tlb::INorvalt& s, tlb::TState& out) {
            return s.GetState(static_cast<int16_t>(post), &out);
        }));
        // decisions CLI-2
        if (st.Value != tlb::csNone) OnPostFound(post);
    }
}

void TForm1::Button3Click() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    Guarded([&] { Release(); });
}

void TForm1::Release(bool pump) {
    StopRecheck();
    if (service_) {
        // decisions CLI-5
        CallOnly([](tlb::INorvalt& s) { return s.UnRegisterSinkInterface(); }, pump);
        // Also when that failed: a proxy's release never reaches a server that is gone.
        service_ = nullptr;
    }
    if (callback_) {
        callback_->Detach();
        callback_ = nullptr;
    }
    PostsList->clear();
    Memory->close();
    Work->hide();
    Pause->hide();
    Stop->hide();
}

void TForm1::closeEvent(QCloseEvent* e) {
    GuiOnly();
    if (busy()) {  // closed once the outstanding call has ended, within its bound
        pending_close_ = true;
        e->ignore();
        return;
    }
    Guarded([&] { Release(); });
    QWidget::closeEvent(e);
}

}  // namespace cli
