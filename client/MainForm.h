// The console's one window: binds to the service's TORK object, lists the posts, shows one
// post's state and variables in an editable table, writes an edited row back and sends the
// three state commands.
#pragma once
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "client/MemTable.h"
#include "client/TorkCallback.h"
#include "platform/com/unknown.h"
#include "service/typelib/TypeLib.h"

namespace cli {

class CallThread;

// A failing service call: the HRESULT and the error text that came with it.
class OleError : public std::runtime_error {
  public:
    OleError(plat::HRESULT hr, const std::string& text) : std::runtime_error(text), hr_(hr) {}
    plat::HRESULT Code() const { return hr_; }

  private:
    plat::HRESULT hr_;
};

// Throws OleError for a failing HRESULT.
void OleCheck(plat::HRESULT hr);

// Installs Qt's own texts (message-box buttons, edit menus) in the window's language; the
// translator removes itself when freed. Null when Qt's translations are not installed.
std::unique_ptr<QTranslator> InstallQtTranslations();

class TForm1 : public QWidget, public ITorkEvents {
    Q_OBJECT
  public:
    // Makes the TORK object on `computer` ("" = this computer) with the class context given,
    // answering IUnknown.
    using Creator = std::function<plat::HRESULT(const std::string& computer, uint32_t clsctx,
                                                plat::ComPtr<plat::IUnknown>& out)>;
    // Shows a message or an error to the operator (a modal box in the program).
    using Display = std::function<void(const QString& text)>;

    // The program's creator: plat::CreateInstance of the TORK class.
    static Creator DefaultCreator();
    static Display DefaultDisplay(QWidget* parent);

    // The bound of one service call (ms). The transport gives a call up after it (the console
    // sets its client connections so); the window waits kCallGraceMs longer before it gives the
    // call up itself, for an object that is not behind the transport or a thread that is stuck.
    // The longest call the console makes, GetResult, waits for a command's 20 s time-out.
    static constexpr uint32_t kCallTimeoutMs = 30000;
    static constexpr uint32_t kCallGraceMs = 1000;
    // After a command given up, how often the window asks whether the service answers again.
    static constexpr int kRecheckMs = 1000;
    // The smallest window in which every control stays reachable.
    static constexpr int kMinWidth = 420;
    static constexpr int kMinHeight = 300;

    explicit TForm1(Creator creator = {}, Display display = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // How long the window waits for one call (tests shorten it).
    void setCallWait(uint32_t ms) { call_wait_ms_ = ms; }
    // A service call is outstanding; the window keeps running its events meanwhile.
    bool busy() const { return calls_ > 0; }

    // Components, named as the form names them.
    QTableView* DBGrid1;
    QWidget* Panel1;
    QLabel* PostList;
    QLabel* Label2;
    QLabel* Label1;
    QLabel* StateEdit;
    QPushButton* Pause;
    QPushButton* Button2;
    QPushButton* Button3;
    QLineEdit* CompEdit;
    QLineEdit* Number;
    QWidget* DBNavigator;
    QToolButton* NavPost;
    QToolButton* NavCancel;
    QPushButton* Work;
    QPushButton* Stop;
    QListWidget* PostsList;
    MemTable* Memory;

    static QString StateText(int state);

    bool bound() const { return static_cast<bool>(service_); }
    int16_t currentPost() const { return current_post_; }
    quint64 bindGeneration() const { return bind_generation_; }
    // Handler entries that were not on the GUI thread (none, or it is a fault).
    int offThreadCalls() const { return off_thread_.load(); }

  public slots:
    void Button2Click();  // bind
    void Button3Click();  // release
    void PostsListClick();
    void NumberChange();
    void WorkClick();
    void StopClick();
    void PauseClick();
    void NavPostClick();
    void NavCancelClick();

  public:
    // Any thread: runs fn on the GUI thread later, unless the binding of `generation` has been
    // released by then. The hand-off goes through our own lock, so the data an event carries is
    // published to the GUI thread by it and not only by the toolkit's queue.
    void Deliver(quint64 generation, std::function<void(ITorkEvents&)> fn) override;

    // The sink's events, on the GUI thread.
    void OnPostFound(int post) override;
    void OnStateChanged(int post, tlb::TState state) override;
    void OnVarValueChanged(int post, int variable, tlb::TVariableValue value) override;
    void OnPostDeleted(int post) override;

    // The steps the handlers share; they throw what the service calls raise.
    void Connect();
    void ShowState(int state);
    void LoadVariables();
    void MemoryAfterPost();

  protected:
    Q_INVOKABLE void DrainEvents();
    // What was put off while a call was outstanding: a close, a change of Number, events.
    Q_INVOKABLE void AfterCalls();
    // A call thread's wake-up: makes the waiting loop look at its call again.
    Q_INVOKABLE void CallEnded();
    // After a command given up: asks the service for the post's state until it answers, then
    // reads the post again.
    void RecheckTick();
    void closeEvent(QCloseEvent* e) override;  // FormClose: releases

  private:
    friend class CallThread;
    struct CallJob;
    void GuiOnly() const;
    // Runs the job on the call thread. The GUI thread runs its events meanwhile (pump), or only
    // waits (on destruction), until the job has ended or the call's wait has passed; then the
    // call is given up (RPC_E_TIMEOUT) and its thread left to end by itself. The job's error text
    // becomes this thread's.
    plat::HRESULT Await(const std::shared_ptr<CallJob>& job, bool pump);
    // fn(service, out) on the call thread, with a copy of `out` that comes back when it ends.
    template <class T, class F>
    plat::HRESULT Call(T& out, F fn, bool pump = true);
    template <class F>
    plat::HRESULT CallOnly(F fn, bool pump = true);
    // A command handler entered while a call is outstanding does nothing (no second command
    // behind a hung one); true then.
    bool RefuseWhileBusy();
    void ScheduleAfterCalls();
    void Release(bool pump = true);
    void ClearPostView();
    void NumberChangeOrThrow();
    void StateCommand(tlb::TStateEnum target, const QString& failure);
    // Runs a command (fn): one the window gave up on may still be carried out, which the
    // operator is told, and the post is read again once the service answers.
    template <class F>
    void Command(F fn);
    void StartRecheck();
    void StopRecheck();
    void CheckProbe();
    // The grid left the row being edited: the edit is posted, then the grid goes where it went.
    void LeaveEditedRow();
    // Escape or the navigator's cancel: the edit is given up and the table read again.
    void CancelEdit();
    // A value the operator typed, checked against the variable's limits; empty when it fits.
    QString LimitsRefusal(int code, int64_t scaled) const;
    // Disabled command buttons and a busy cursor while a call is outstanding.
    void ShowBusy(bool busy);
    int16_t NumberValue() const;
    // Runs fn; an exception goes to the operator's error display.
    template <class F>
    void Guarded(F fn);

    Creator creator_;
    Display display_;
    std::shared_ptr<CallThread> caller_;
    int calls_ = 0;  // calls being waited for (nested while the window runs its events)
    uint32_t call_wait_ms_ = kCallTimeoutMs + kCallGraceMs;
    bool pending_number_ = false;
    bool pending_leave_ = false;
    bool pending_close_ = false;
    bool after_scheduled_ = false;
    plat::ComPtr<tlb::INorvalt> service_;
    plat::ComPtr<TTorkCallback> callback_;
    int16_t current_post_ = 0;
    std::map<int, tlb::TVariableInfo> infos_;  // of the shown post's variables, by code
    QTimer recheck_;
    std::shared_ptr<CallThread> prober_;
    std::shared_ptr<CallJob> probe_;
    quint64 bind_generation_ = 0;
    mutable std::atomic<int> off_thread_{0};
    std::mutex mail_m_;
    std::deque<std::pair<quint64, std::function<void(ITorkEvents&)>>> mail_;
};

}  // namespace cli
