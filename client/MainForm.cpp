#include "client/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <string_view>
#include <thread>

#include "client/TorkCallback.h"
#include "client/ValueDelegate.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/wire.h"
#include "platform/types/datetime.h"

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

// A command given up may still reach the controller: the operator is told so.
std::string CommandTimeoutText() {
    // decisions CLI-16
    return "Служба не ответила вовремя. Команда могла быть всё же выполнена: состояние поста "
           "будет прочитано заново, как только служба ответит";
}

// What a refused write's outcome code means, for the operator.
QString ResultText(int32_t r) {
    switch (r) {
        case tlb::OPC_E_RANGE:
            return QStringLiteral("значение вне допустимого диапазона");
        case tlb::OPC_E_BADRIGHTS:
            return QStringLiteral("переменная только для чтения");
        case tlb::OPC_E_BADTYPE:
            return QStringLiteral("неверный тип значения");
        case tlb::E_TIMEOUT:
            return QStringLiteral("команда не выполнена за отведённое время");
        case tlb::E_INCOMPATIBLESTATE:
            return QStringLiteral("недопустимо в текущем состоянии поста");
        case tlb::E_BADVARIABLE:
            return QStringLiteral("у поста нет такой переменной");
        case tlb::E_UNKNOWNPOST:
            return QStringLiteral("нет такого поста");
        case tlb::E_NOANSWER:
            return QStringLiteral("контроллер не ответил");
        case tlb::E_CANCELLED:
            return QStringLiteral("команда отменена");
        case -9:
            return QStringLiteral("пост отключён");
        case 1:
            return QStringLiteral("контроллер хранит другое значение");
        default:
            break;
    }
    switch (static_cast<uint32_t>(r)) {
        case static_cast<uint32_t>(plat::E_NOTIMPL):
            return QStringLiteral("служба не поддерживает эту запись");
        case static_cast<uint32_t>(plat::E_ACCESSDENIED):
            return QStringLiteral("недостаточно прав");
        case static_cast<uint32_t>(plat::E_OUTOFMEMORY):
            return QStringLiteral("служба перегружена");
        default:
            break;
    }
    char b[32];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<uint32_t>(r));
    return QStringLiteral("код %1").arg(QLatin1String(b));
}

QString VariableLabel(int code, const QString& name) {
    return name.isEmpty() ? QStringLiteral("с кодом %1").arg(code)
                          : QStringLiteral("«%1»").arg(name);
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

QDateTime DateToDateTime(plat::DATE d) {
    plat::SYSTEMTIME st;
    if (!plat::DateToSystemTime(d, st)) return {};
    return QDateTime(QDate(st.wYear, st.wMonth, st.wDay),
                     QTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds));
}

// The post table's grid. Tab moves between the window's controls, the arrows within the grid;
// Escape gives the row's edit up, from the grid or from an open editor.
// decisions CLI-18, CLI-14
class PostGrid : public QTableView {
  public:
    explicit PostGrid(QWidget* parent) : QTableView(parent) { setTabKeyNavigation(false); }
    std::function<void()> on_escape;

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape && state() != EditingState && on_escape) {
            on_escape();
            e->accept();
            return;
        }
        QTableView::keyPressEvent(e);
    }
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override {
        switch (hint) {
            case QAbstractItemDelegate::EditNextItem:
            case QAbstractItemDelegate::EditPreviousItem:
                // Tab in an editor: the value is taken (the delegate committed it) and the
                // focus goes on to the window's next control, not to the next cell.
                QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
                QWidget::focusNextPrevChild(hint == QAbstractItemDelegate::EditNextItem);
                return;
            case QAbstractItemDelegate::RevertModelCache:
                QTableView::closeEditor(editor, hint);
                if (on_escape) on_escape();
                return;
            default:
                QTableView::closeEditor(editor, hint);
        }
    }
};

// The panel's layout: its columns side by side, wrapped onto further lines when the window is
// too narrow for one, so that every control stays reachable; the panel grows by the lines.
// decisions CLI-18
class PanelFlow : public QLayout {
  public:
    PanelFlow(QWidget* parent, int spacing) : QLayout(parent), spacing_(spacing) {}
    ~PanelFlow() override {
        while (QLayoutItem* item = takeAt(0)) delete item;
    }
    void addColumn(QLayout* column) {
        addChildLayout(column);
        items_.append(column);
        invalidate();
    }
    void addItem(QLayoutItem* item) override { items_.append(item); }
    int count() const override { return static_cast<int>(items_.size()); }
    QLayoutItem* itemAt(int i) const override { return items_.value(i); }
    QLayoutItem* takeAt(int i) override {
        return i >= 0 && i < items_.size() ? items_.takeAt(i) : nullptr;
    }
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return Arrange(QRect(0, 0, width, 0), false); }
    void setGeometry(const QRect& r) override {
        QLayout::setGeometry(r);
        Arrange(r, true);
    }
    QSize sizeHint() const override {
        // One line.
        const QMargins m = contentsMargins();
        int w = 0, h = 0;
        for (QLayoutItem* item : items_) {
            if (item->isEmpty()) continue;
            const QSize s = item->sizeHint();
            w += (w ? spacing_ : 0) + s.width();
            h = qMax(h, s.height());
        }
        return {w + m.left() + m.right(), h + m.top() + m.bottom()};
    }
    QSize minimumSize() const override {
        const QMargins m = contentsMargins();
        QSize s;
        for (QLayoutItem* item : items_)
            if (!item->isEmpty()) s = s.expandedTo(item->sizeHint());
        return s + QSize(m.left() + m.right(), m.top() + m.bottom());
    }

  private:
    int Arrange(const QRect& r, bool place) const {
        const QMargins m = contentsMargins();
        const int left = r.x() + m.left(), right = r.x() + r.width() - m.right();
        int x = left, y = r.y() + m.top(), line = 0;
        for (QLayoutItem* item : items_) {
            if (item->isEmpty()) continue;
            const QSize s = item->sizeHint();
            if (x > left && x + s.width() > right) {
                x = left;
                y += line + spacing_;
                line = 0;
            }
            if (place) item->setGeometry(QRect(QPoint(x, y), s));
            x += s.width() + spacing_;
            line = qMax(line, s.height());
        }
        return y + line + m.bottom() - r.y();
    }

    QList<QLayoutItem*> items_;
    int spacing_;
};

}  // namespace

std::unique_ptr<QTranslator> InstallQtTranslations() {
    // The window speaks Russian whatever the system's locale; Qt's own texts follow it.
    // decisions CLI-18
    auto t = std::make_unique<QTranslator>();
    if (!t->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                 QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(t.get()))
        return nullptr;
    return t;
}

void OleCheck(plat::HRESULT hr) {
    if (plat::Failed(hr)) throw OleError(hr, ErrorText(hr, plat::GetErrorText()).toStdString());
}

struct TForm1::CallJob {
    std::function<void()> run;  // on the call thread
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    QObject* wake = nullptr;  // posted to when done, while the GUI thread waits
    plat::HRESULT hr = plat::S_OK;
    std::string text;
};

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

TForm1::Creator TForm1::DefaultCreator() {
    // A stopped service must not hold the console's calls for good.
    plat::rpc::SetClientCallTimeout(kCallTimeoutMs);
    return [](const std::string& computer, uint32_t clsctx, plat::ComPtr<plat::IUnknown>& out) {
        void* p = nullptr;
        const plat::HRESULT hr =
            plat::CreateInstance(tlb::CLSID_TORK, clsctx, computer, plat::IID_IUnknown, &p);
        out = plat::Succeeded(hr)
                  ? plat::ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(p))
                  : plat::ComPtr<plat::IUnknown>();
        return hr;
    };
}

TForm1::Display TForm1::DefaultDisplay(QWidget* parent) {
    return [parent](const QString& text) {
        QMessageBox box(QMessageBox::Information, QApplication::applicationName(), text,
                        QMessageBox::Ok, parent);
        // Qt's Russian texts leave this one in Latin letters.
        // decisions CLI-18
        box.button(QMessageBox::Ok)->setText(QStringLiteral("ОК"));
        box.exec();
    };
}

TForm1::TForm1(Creator creator, Display display, QWidget* parent)
    : QWidget(parent),
      creator_(creator ? std::move(creator) : DefaultCreator()),
      display_(display ? std::move(display) : DefaultDisplay(this)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Client"));
    resize(762, 482);

    // Components in the form's order.
    auto* grid = new PostGrid(this);
    DBGrid1 = grid;
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    PostList = new QLabel(Panel1);
    PostList->setObjectName(QStringLiteral("PostList"));
    Label2 = new QLabel(QStringLiteral("Компьютер"), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label1 = new QLabel(QStringLiteral("Пост"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    StateEdit = new QLabel(Panel1);
    StateEdit->setObjectName(QStringLiteral("StateEdit"));
    // Every button has its Alt-key.
    // decisions CLI-18
    Pause = new QPushButton(QStringLiteral("&Пауза"), Panel1);
    Pause->setObjectName(QStringLiteral("Pause"));
    Button2 = new QPushButton(QStringLiteral("&Инициализация"), Panel1);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button3 = new QPushButton(QStringLiteral("&Освобождение"), Panel1);
    Button3->setObjectName(QStringLiteral("Button3"));
    CompEdit = new QLineEdit(Panel1);
    CompEdit->setObjectName(QStringLiteral("CompEdit"));
    Number = new QLineEdit(Panel1);
    Number->setObjectName(QStringLiteral("Number"));
    DBNavigator = new QWidget(Panel1);
    DBNavigator->setObjectName(QStringLiteral("DBNavigator"));
    NavPost = new QToolButton(DBNavigator);
    NavPost->setObjectName(QStringLiteral("Post"));
    NavPost->setAutoRaise(true);  // flat
    NavPost->setIcon(style()->standardIcon(QStyle::SP_DialogApplyButton));
    NavPost->setText(QStringLiteral("&Записать"));  // shown as its tooltip; Alt+З
    NavPost->setToolTip(QStringLiteral("Записать"));
    NavCancel = new QToolButton(DBNavigator);
    NavCancel->setObjectName(QStringLiteral("Cancel"));
    NavCancel->setAutoRaise(true);
    NavCancel->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    NavCancel->setText(QStringLiteral("Отм&енить"));
    NavCancel->setToolTip(QStringLiteral("Отменить"));
    Work = new QPushButton(QStringLiteral("О&тпуск"), Panel1);
    Work->setObjectName(QStringLiteral("Work"));
    Stop = new QPushButton(QStringLiteral("&Стоп"), Panel1);
    Stop->setObjectName(QStringLiteral("Stop"));
    PostsList = new QListWidget(this);
    PostsList->setObjectName(QStringLiteral("PostsList"));
    PostsList->setToolTip(QStringLiteral("Список постов"));
    Memory = new MemTable(this);
    Memory->setObjectName(QStringLiteral("Memory"));

    // Geometry: the panel across the top, the list on the left, the grid in the rest. The
    // panel's columns (a caption over a control) stand on one line of 61 pixels in the form's
    // size and wrap onto more lines in a narrower window.
    // decisions CLI-18
    constexpr int kCaption = 16, kControl = 28;
    CompEdit->setFixedSize(120, 24);
    Number->setFixedSize(50, 24);
    for (QPushButton* b : {Button2, Button3}) b->setFixedHeight(kControl);
    for (QPushButton* b : {Work, Stop, Pause}) {
        b->setFixedHeight(kControl);
        b->setMinimumWidth(70);
    }
    for (QToolButton* b : {NavPost, NavCancel}) b->setFixedSize(kControl, kControl);
    auto* nav = new QHBoxLayout(DBNavigator);
    nav->setContentsMargins(0, 0, 0, 0);
    nav->setSpacing(2);
    nav->addWidget(NavPost);
    nav->addWidget(NavCancel);
    DBNavigator->setFixedSize(2 * kControl + 2, kControl);
    for (QLabel* l : {Label2, Label1, StateEdit}) l->setFixedHeight(kCaption);
    PostList->setGeometry(0, 0, 0, 0);
    auto* flow = new PanelFlow(Panel1, 6);
    flow->setContentsMargins(8, 6, 8, 61 - 6 - kCaption - kControl);
    auto column = [&](QLabel* caption, std::initializer_list<QWidget*> controls) {
        auto* c = new QVBoxLayout;
        c->setContentsMargins(0, 0, 0, 0);
        c->setSpacing(0);
        if (caption)
            c->addWidget(caption);
        else
            c->addSpacing(kCaption);
        auto* row = new QHBoxLayout;
        row->setSpacing(4);
        for (QWidget* w : controls) row->addWidget(w, 0, Qt::AlignVCenter);
        row->addStretch(1);
        c->addLayout(row);
        flow->addColumn(c);
    };
    column(Label2, {CompEdit});
    column(nullptr, {Button2});
    column(nullptr, {Button3});
    column(Label1, {Number});
    column(StateEdit, {Work, Stop, Pause, DBNavigator});
    Pause->hide();
    Work->hide();
    Stop->hide();
    setMinimumSize(kMinWidth, kMinHeight);

    PostsList->setFixedWidth(64);
    DBGrid1->setModel(Memory);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->verticalHeader()->setDefaultSectionSize(20);
    DBGrid1->horizontalHeader()->setStretchLastSection(true);
    DBGrid1->setColumnWidth(MemTable::Code, 40);  // display width 3
    DBGrid1->setColumnWidth(MemTable::Name, 150);
    DBGrid1->setColumnWidth(MemTable::Stamp, 140);
    DBGrid1->setColumnWidth(MemTable::Data, 110);
    DBGrid1->setColumnWidth(MemTable::IdleInterval, 130);
    // No title is clipped: a section's size hint reckons with the bold text the header draws.
    for (int c = 0; c < MemTable::kFieldCount; ++c)
        DBGrid1->setColumnWidth(
            c, qMax(DBGrid1->columnWidth(c), DBGrid1->horizontalHeader()->sectionSizeHint(c)));
    // Values in the service's fixed point, typed and shown in the window's locale; a text the
    // editor refuses is reported once the editor has closed.
    auto* values = new ValueDelegate(DBGrid1);
    DBGrid1->setItemDelegateForColumn(MemTable::Data, values);
    connect(
        values, &ValueDelegate::refused, this, [this](const QString& m) { display_(m); },
        Qt::QueuedConnection);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(PostsList);
    body->addWidget(DBGrid1);
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    top->addWidget(Panel1);
    top->addLayout(body);

    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Work, &QPushButton::clicked, this, &TForm1::WorkClick);
    connect(Stop, &QPushButton::clicked, this, &TForm1::StopClick);
    connect(Pause, &QPushButton::clicked, this, &TForm1::PauseClick);
    connect(NavPost, &QToolButton::clicked, this, &TForm1::NavPostClick);
    connect(NavCancel, &QToolButton::clicked, this, &TForm1::NavCancelClick);
    connect(PostsList, &QListWidget::itemClicked, this, &TForm1::PostsListClick);
    connect(Number, &QLineEdit::textChanged, this, &TForm1::NumberChange);
    // The grid follows the table's current row.
    connect(Memory, &MemTable::currentRowChanged, this, [this](int row) {
        if (row >= 0 && !Memory->controlsDisabled())
            DBGrid1->setCurrentIndex(Memory->index(row, qMax(0, DBGrid1->currentIndex().column())));
    });
    // Leaving the row being edited posts it, once the grid has finished its move.
    // decisions CLI-14
    connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& now, const QModelIndex&) {
                const MemTable::State st = Memory->state();
                if (now.isValid() && !Memory->controlsDisabled() &&
                    (st == MemTable::State::Edit || st == MemTable::State::Insert) &&
                    now.row() != Memory->currentRow())
                    QMetaObject::invokeMethod(
                        this, [this] { LeaveEditedRow(); }, Qt::QueuedConnection);
            });
    grid->on_escape = [this] {
        QMetaObject::invokeMethod(
            this, [this] { NavCancelClick(); }, Qt::QueuedConnection);
    };
    // Tab goes through the controls in the order an operator uses them.
    // decisions CLI-18
    QWidget* const order[] = {CompEdit, Button2, Button3,   Number,    Work,   Stop,
                              Pause,    NavPost, NavCancel, PostsList, DBGrid1};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    connect(&recheck_, &QTimer::timeout, this, &TForm1::RecheckTick);
    // The panel has its lines before the window is first shown.
    if (QLayout* l = layout()) l->activate();
}

TForm1::~TForm1() {
    StopRecheck();
    // No events run in a half-destroyed window: the release only waits, within the bound.
    Release(false);
    caller_ = nullptr;
}

void TForm1::GuiOnly() const {
    if (QThread::currentThread() != thread()) {
        off_thread_.fetch_add(1);
        qCritical("TForm1 handler entered off the GUI thread");
    }
}

template <class F>
void TForm1::Guarded(F fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        display_(QString::fromStdString(e.what()));
    }
}

QString TForm1::StateText(int state) {
    switch (state) {
        case tlb::csIdle:
            return QStringLiteral("Ожидание");
        case tlb::csWaitingKey:
            return QStringLiteral("Доза задана");
        case tlb::csWorking:
            return QStringLiteral("Отпуск");
        case tlb::csPaused:
            return QStringLiteral("Отпуск остановлен");
        case tlb::csUnknown:
            return QStringLiteral("Инициализация");
        case tlb::csCommError:
            return QStringLiteral("Отсутствие связи");
        case tlb::csHardwareError:
            return QStringLiteral("Авария в силовых элементах");
        case tlb::csControllerError:
            return QStringLiteral("Авария в электронике");
        case tlb::csSensorError:
            return QStringLiteral("Ошибка одного из датчиков");
        case tlb::csOldController:
            return QStringLiteral("Требуется обновление ПО контроллера");
        case tlb::csNewController:
            return QStringLiteral("Требуется обновление драйвера");
        case tlb::csFire:
            return QStringLiteral("Пожар");
        default:
            return {};
    }
}

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

// decisions CLI-1
int16_t TForm1::NumberValue() const {
    bool ok = false;
    const QString text = Number->text();
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < INT16_MIN || v > INT16_MAX)
        throw std::invalid_argument("'" + text.toStdString() + "' не является целым числом");
    return static_cast<int16_t>(v);
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

// --- Post selection and state ----------------------------------------------------------------

void TForm1::PostsListClick() {
    GuiOnly();
    if (QListWidgetItem* item = PostsList->currentItem(); item && item->isSelected())
        Number->setText(item->text());
}

void TForm1::NumberChange() {
    GuiOnly();
    if (busy()) {  // the post in Number is shown once the outstanding call has ended
        pending_number_ = true;
        return;
    }
    Guarded([&] { NumberChangeOrThrow(); });
}

void TForm1::ClearPostView() {
    Work->hide();
    Stop->hide();
    Pause->hide();
    Memory->close();
    StateEdit->clear();
}

void TForm1::NumberChangeOrThrow() {
    try {
        current_post_ = NumberValue();  // the service takes 16 bits
        tlb::TState st{};
        OleCheck(Call(st, [post = current_post_](tlb::INorvalt& s, tlb::TState& out) {
            return s.GetState(post, &out);
        }));
        ShowState(st.Value);
        LoadVariables();
    } catch (...) {
        current_post_ = 0;
        ClearPostView();
        throw;
    }
}

void TForm1::ShowState(int state) {
    GuiOnly();
    StateEdit->setText(StateText(state));
    struct {
        tlb::TStateEnum target;
        QPushButton* button;
    } const jumps[] = {{tlb::csWaitingKey, Work}, {tlb::csIdle, Stop}, {tlb::csPaused, Pause}};
    for (const auto& j : jumps) {
        int32_t res = -1;
        OleCheck(Call(
            res, [post = current_post_, state, target = j.target](tlb::INorvalt& s, int32_t& out) {
                return s.StateJumpValid(post, static_cast<tlb::TVariableEnum>(state),
                                        static_cast<tlb::TVariableEnum>(target), &out);
            }));
        j.button->setVisible(res == 0);
    }
}

// --- State commands --------------------------------------------------------------------------

template <class F>
void TForm1::Command(F fn) {
    Guarded([&] {
        try {
            fn();
        } catch (const OleError& e) {
            if (e.Code() != plat::rpc::RPC_E_TIMEOUT) throw;
            // decisions CLI-16
            StartRecheck();
            throw std::runtime_error(CommandTimeoutText());
        }
    });
}

void TForm1::StateCommand(tlb::TStateEnum target, const QString& failure) {
    Command([&] {
        const int16_t post = NumberValue();
        tlb::TCmdID id = 0;
        OleCheck(Call(id, [post, target](tlb::INorvalt& s, tlb::TCmdID& out) {
            return s.SetState(post, target, &out);
        }));
        tlb::TCmdID res = 0;
        OleCheck(
            Call(res, [id](tlb::INorvalt& s, tlb::TCmdID& out) { return s.GetResult(id, &out); }));
        if (res != 0) display_(failure);
    });
}

void TForm1::WorkClick() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    StateCommand(tlb::csWaitingKey,
                 QStringLiteral("Переход в состояние готовности к отпуску невозможен"));
}

void TForm1::StopClick() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    StateCommand(tlb::csIdle, QStringLiteral("Переход в состояние бездействия невозможен"));
}

void TForm1::PauseClick() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    StateCommand(tlb::csPaused, QStringLiteral("Переход в состояние паузы невозможен"));
}

// --- The table -------------------------------------------------------------------------------

void TForm1::LoadVariables() {
    GuiOnly();
    std::exception_ptr timed_out;
    Memory->disableControls();
    try {
        Memory->close();
        Memory->open();
        Memory->clearAfterPost();
        infos_.clear();
        const int16_t post = current_post_;
        std::pair<int32_t, int32_t> counted{0, -1};  // count, result
        OleCheck(Call(counted, [post](tlb::INorvalt& s, std::pair<int32_t, int32_t>& out) {
            return s.GetVariablesCount(post, &out.first, &out.second);
        }));
        const auto [count, res] = counted;
        if (res == 0) {
            // Inserting before the current row from the last ordinal down leaves ordinal 0 on top.
            for (int32_t i = count - 1; i >= 0; --i) {
                std::pair<tlb::TVariableInfo, int32_t> got{{}, -1};
                OleCheck(Call(
                    got, [post, i](tlb::INorvalt& s, std::pair<tlb::TVariableInfo, int32_t>& out) {
                        return s.GetVariable(post, i, &out.first, &out.second);
                    }));
                const tlb::TVariableInfo& info = got.first;
                if (got.second != 0) continue;
                infos_[info.Code] = info;
                Memory->insert();
                try {
                    Memory->setFieldValue(MemTable::Code, info.Code);
                    Memory->setFieldValue(MemTable::Name, QString::fromStdU16String(info.Name));
                    struct Intervals {
                        uint32_t idle = 0, work = 0;
                        int32_t r = -1;
                    } iv;
                    OleCheck(Call(iv, [post, code = info.Code](tlb::INorvalt& s, Intervals& out) {
                        return s.GetVarInterval(post, code, &out.idle, &out.work, &out.r);
                    }));
                    Memory->setFieldValue(MemTable::IdleInterval, static_cast<int32_t>(iv.idle));
                    Memory->setFieldValue(MemTable::WorkInterval, static_cast<int32_t>(iv.work));
                    std::pair<tlb::TVariableValue, int32_t> value{{}, -1};
                    OleCheck(Call(
                        value, [post, code = info.Code](
                                   tlb::INorvalt& s, std::pair<tlb::TVariableValue, int32_t>& out) {
                            return s.GetVarValue(post, code, &out.first, &out.second);
                        }));
                    const tlb::TVariableValue& v = value.first;
                    if (value.second == 0) {
                        Memory->setFieldValue(MemTable::Data,
                                              static_cast<double>(v.Value.int64) / 10000.0);
                        Memory->setFieldValue(MemTable::Stamp, DateToDateTime(v.TimeStamp));
                    }
                } catch (const OleError& e) {
                    // A service that does not answer gets no further calls.
                    if (e.Code() == plat::rpc::RPC_E_TIMEOUT) throw;
                } catch (const std::exception&) {
                    // The row keeps what it has.
                }
                Memory->post();
            }
        }
        Memory->setAfterPost([this] { MemoryAfterPost(); });
    } catch (const std::exception& e) {
        StateEdit->clear();
        Work->hide();
        Stop->hide();
        Pause->hide();
        Memory->close();
        // The error goes no further, except a call given up: the operator is told of that.
        if (auto* ole = dynamic_cast<const OleError*>(&e);
            ole && ole->Code() == plat::rpc::RPC_E_TIMEOUT)
            timed_out = std::current_exception();
    }
    Memory->enableControls();
    if (timed_out) std::rethrow_exception(timed_out);
}

QString TForm1::LimitsRefusal(int code, int64_t scaled) const {
    // decisions CLI-17
    const auto it = infos_.find(code);
    if (it == infos_.end()) return {};
    const tlb::TVariableInfo& info = it->second;
    const int64_t lo = info.MinValue.int64, hi = info.MaxValue.int64, step = info.Step.int64;
    if (lo == 0 && hi == 0 && step == 0) return {};  // no limits given
    const QLocale l = DBGrid1->locale();
    if (lo <= hi && (scaled < lo || scaled > hi))
        return QStringLiteral("Значение %1 вне допустимого диапазона от %2 до %3")
            .arg(FormatFixed(scaled, l), FormatFixed(lo, l), FormatFixed(hi, l));
    if (step > 0 && scaled % step != 0)
        return QStringLiteral("Значение %1 не кратно шагу %2")
            .arg(FormatFixed(scaled, l), FormatFixed(step, l));
    return {};
}

void TForm1::MemoryAfterPost() {
    GuiOnly();
    QStringList refused;
    Guarded([&] {
        const int16_t post = NumberValue();
        // The row's own variable, whatever was typed into its Код.
        QVariant c = Memory->savedValue(MemTable::Code);
        if (c.isNull()) c = Memory->fieldValue(MemTable::Code);
        const auto code = static_cast<tlb::TVariableEnum>(c.toInt());
        const QString label = VariableLabel(code, Memory->fieldValue(MemTable::Name).toString());
        // Only what the operator changed is written: a field sent as it was shown would
        // overwrite what another writer set meanwhile.
        // decisions CLI-15
        const bool value_edited = Memory->modified(MemTable::Data);
        const bool intervals_edited =
            Memory->modified(MemTable::IdleInterval) || Memory->modified(MemTable::WorkInterval);
        const auto idle = static_cast<uint32_t>(Memory->fieldValue(MemTable::IdleInterval).toInt());
        const auto work = static_cast<uint32_t>(Memory->fieldValue(MemTable::WorkInterval).toInt());
        const double data = Memory->fieldValue(MemTable::Data).toDouble();
        int64_t scaled = 0;
        if (value_edited) {
            // Currency holds value x 10000 in 64 bits; a value outside is refused, not wrapped.
            const std::optional<int64_t> fits = ScaledOf(data);
            const QString why =
                fits ? LimitsRefusal(code, *fits)
                     // decisions CLI-3
                     : QStringLiteral("Значение %1 вне допустимого диапазона").arg(data);
            if (!why.isEmpty()) {
                LoadVariables();
                throw std::range_error(why.toStdString());
            }
            scaled = *fits;
        }
        try {
            if (intervals_edited) {
                int32_t res = 0;
                OleCheck(Call(res, [post, code, idle, work](tlb::INorvalt& s, int32_t& out) {
                    return s.SetVarInterval(post, code, idle, work, &out);
                }));
                // decisions CLI-17
                if (res != 0)
                    refused << QStringLiteral("Интервалы опроса переменной %1 не записаны: %2")
                                   .arg(label, ResultText(res));
            }
            if (value_edited) {
                tlb::TCmdID id = 0;
                OleCheck(Call(id, [post, code, scaled](tlb::INorvalt& s, tlb::TCmdID& out) {
                    return s.SetVarValue(post, code, plat::Currency{scaled}, &out);
                }));
                // A queued write: its outcome is waited for, so that a refusal is told and
                // the table read afterwards holds the value written.
                tlb::TCmdID outcome = id;
                if (id >= tlb::CmdBegin && id <= tlb::CmdEnd)
                    OleCheck(Call(outcome, [id](tlb::INorvalt& s, tlb::TCmdID& out) {
                        return s.GetResult(id, &out);
                    }));
                if (outcome != 0)
                    refused << QStringLiteral("Значение %1 переменной %2 не записано: %3")
                                   .arg(FormatFixed(scaled, DBGrid1->locale()), label,
                                        ResultText(outcome));
            }
        } catch (const OleError& e) {
            if (e.Code() != plat::rpc::RPC_E_TIMEOUT) throw;
            // Whether the write was carried out is not known: nothing is shown as the
            // variable's value until the service answers and the post is read again.
            // decisions CLI-16
            Memory->close();
            StartRecheck();
            throw std::runtime_error(CommandTimeoutText());
        }
        LoadVariables();
    });
    if (!refused.isEmpty()) display_(refused.join(QLatin1Char('\n')));
}

void TForm1::LeaveEditedRow() {
    GuiOnly();
    const MemTable::State st = Memory->state();
    if ((st != MemTable::State::Edit && st != MemTable::State::Insert) ||
        Memory->controlsDisabled())
        return;
    const QModelIndex at = DBGrid1->currentIndex();
    if (!at.isValid() || at.row() == Memory->currentRow()) return;
    if (busy()) {  // posted once the outstanding call has ended
        pending_leave_ = true;
        return;
    }
    // decisions CLI-14
    const QVariant target = Memory->data(Memory->index(at.row(), MemTable::Code), Qt::EditRole);
    const int column = at.column();
    Guarded([&] { Memory->post(); });
    // The grid goes on to the row it went to, which the write-back's reload has replaced.
    if (Memory->state() == MemTable::State::Browse && !target.isNull()) {
        try {
            if (Memory->locate(MemTable::Code, target))
                DBGrid1->setCurrentIndex(Memory->index(Memory->currentRow(), column));
        } catch (const std::exception&) {
        }
    }
}

void TForm1::CancelEdit() {
    const MemTable::State st = Memory->state();
    if (st != MemTable::State::Edit && st != MemTable::State::Insert) return;
    Memory->cancel();
    // decisions CLI-14
    LoadVariables();
}

void TForm1::NavPostClick() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    Guarded([&] {
        if (Memory->active()) Memory->post();
    });
}

void TForm1::NavCancelClick() {
    GuiOnly();
    if (RefuseWhileBusy()) return;
    Guarded([&] { CancelEdit(); });
}

// --- Events ----------------------------------------------------------------------------------

void TForm1::Deliver(quint64 generation, std::function<void(ITorkEvents&)> fn) {
    std::lock_guard lk(mail_m_);
    mail_.emplace_back(generation, std::move(fn));
    // One wake-up per batch; posted under the lock so that the toolkit's event is published to
    // the GUI thread by the lock as well.
    if (mail_.size() == 1) QMetaObject::invokeMethod(this, "DrainEvents", Qt::QueuedConnection);
}

void TForm1::DrainEvents() {
    GuiOnly();
    if (busy()) return;  // the events wait for the outstanding call; AfterCalls drains them
    std::deque<std::pair<quint64, std::function<void(ITorkEvents&)>>> batch;
    {
        std::lock_guard lk(mail_m_);
        batch.swap(mail_);
    }
    for (auto& [generation, fn] : batch)
        if (generation == bind_generation_ && service_) fn(*this);
}

void TForm1::OnPostFound(int post) {
    GuiOnly();
    // The bind announces every post it finds and the service's event thread announces them as
    // well: a post already listed stays listed once.
    if (PostsList->findItems(QString::number(post), Qt::MatchExactly).isEmpty())
        PostsList->addItem(QString::number(post));
    if (Number->text().isEmpty()) Number->setText(QString::number(post));  // its change reloads
    NumberChange();
}

void TForm1::OnStateChanged(int post, tlb::TState state) {
    GuiOnly();
    if (post != current_post_) return;
    try {
        ShowState(state.Value);
    } catch (const std::exception&) {
    }
}

void TForm1::OnVarValueChanged(int post, int variable, tlb::TVariableValue value) {
    GuiOnly();
    if (post != current_post_) return;
    if (!Memory->active()) {
        try {
            LoadVariables();
        } catch (const std::exception&) {
            // An event's reload tells nobody.
        }
        return;
    }
    const MemTable::State st = Memory->state();
    int row = -1;
    try {
        row = Memory->findRow(MemTable::Code, variable);
    } catch (const std::exception&) {
    }
    if (row < 0) {
        // A variable without a row: the table is read again, unless a row is being edited,
        // whose end reads it again.
        if (st == MemTable::State::Browse) {
            try {
                LoadVariables();
            } catch (const std::exception&) {
            }
        }
        return;
    }
    // Only the row being edited is in edit: every other row shows the service's values, and on
    // that row what the operator has not changed does too.
    // decisions CLI-14
    try {
        Memory->refreshField(row, MemTable::Data, static_cast<double>(value.Value.int64) / 10000.0);
        Memory->refreshField(row, MemTable::Stamp, DateToDateTime(value.TimeStamp));
    } catch (const std::exception&) {
    }
}

void TForm1::OnPostDeleted(int post) {
    GuiOnly();
    NumberChange();
    const QString text = QString::number(post);
    for (int i = 0; i < PostsList->count(); ++i)
        if (PostsList->item(i)->text() == text) {
            delete PostsList->takeItem(i);
            return;
        }
}

}  // namespace cli
