// The window's construction: its components in the form's order, their layout and wiring.
#include "client/MainForm.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "client/ValueDelegate.h"

namespace cli {
namespace {

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

}  // namespace cli
