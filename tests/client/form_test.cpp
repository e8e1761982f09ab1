// The main window against a fake service: binding, the post list, state display and commands,
// the table's loading, events from other threads, and the write-back.
#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "client/MainForm.h"
#include "client/TorkCallback.h"
#include "platform/com/classes.h"
#include "tests/client/FakeNorvalt.h"

using cli::MemTable;
using cli::TForm1;
using namespace clitest;

namespace {

class FormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_ = plat::MakeCom<FakeNorvalt>();
        FakePost p3;
        p3.vars = {{tlb::cvTotalV, u"TotalV", 1234500, 45000.5},
                   {tlb::cvDozeV, u"DozeV", 100000, 45000.25},
                   {tlb::cvLiterPrice, u"LiterPrice", 525000, 45000.0}};
        fake_->posts[3] = p3;
        fake_->posts[5].state = tlb::csNone;
        fake_->posts[120] = {};
        fake_->posts[200] = {};
        fake_->posts[200].vars = {{tlb::cvDozeV, u"DozeV", 20000, 0}};
        fake_->jumps = {{tlb::csIdle, tlb::csWaitingKey}};
    }
    void TearDown() override {
        form_.reset();
        EXPECT_EQ(fake_->GuiThreadCalls(), 0) << "a service call ran on the GUI thread";
    }

    TForm1& Form() {
        if (!form_)
            form_ = std::make_unique<TForm1>(
                [this](const std::string& computer, uint32_t clsctx,
                       plat::ComPtr<plat::IUnknown>& out) {
                    created_.push_back({computer, clsctx});
                    if (create_hr_ != plat::S_OK) {
                        plat::SetErrorText(create_text_);
                        return create_hr_;
                    }
                    if (create_object_) out = plat::QueryAs<plat::IUnknown>(fake_.Get());
                    return plat::S_OK;
                },
                [this](const QString& text) { shown_.push_back(text); });
        return *form_;
    }
    TForm1& Bound() {
        TForm1& f = Form();
        f.Button2Click();
        EXPECT_TRUE(f.bound());
        return f;
    }
    std::vector<QString> Listed() {
        std::vector<QString> out;
        for (int i = 0; i < Form().PostsList->count(); ++i)
            out.push_back(Form().PostsList->item(i)->text());
        return out;
    }
    std::vector<int> TableCodes() {
        MemTable* t = Form().Memory;
        std::vector<int> out;
        for (int r = 0; r < t->rowCount(); ++r)
            out.push_back(t->data(t->index(r, MemTable::Code), Qt::EditRole).toInt());
        return out;
    }
    double TableData(int row) {
        MemTable* t = Form().Memory;
        return t->data(t->index(row, MemTable::Data), Qt::EditRole).toDouble();
    }
    // Opens the grid's editor on the cell, replaces its text by typing `text` key by key, and
    // commits it with Enter, as an operator does.
    void TypeIntoCell(int row, int column, const QString& text) {
        QTableView* grid = Form().DBGrid1;
        const QModelIndex at = grid->model()->index(row, column);
        grid->setCurrentIndex(at);
        grid->edit(at);
        QWidget* editor = nullptr;
        for (QWidget* w : grid->viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (w->isVisible()) editor = w;
        ASSERT_NE(editor, nullptr) << "no editor opened";
        if (auto* le = qobject_cast<QLineEdit*>(editor)) le->selectAll();
        if (auto* sb = qobject_cast<QAbstractSpinBox*>(editor)) sb->selectAll();
        for (QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(editor, &press);
        }
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(editor, &enter);
        Drain();
    }
    // What the grid's cell shows.
    QString CellText(int row, int column) {
        QTableView* grid = Form().DBGrid1;
        const QModelIndex at = grid->model()->index(row, column);
        auto* d = qobject_cast<QStyledItemDelegate*>(grid->itemDelegateForIndex(at));
        return d ? d->displayText(at.data(Qt::DisplayRole), grid->locale()) : QString();
    }

    plat::ComPtr<FakeNorvalt> fake_;
    std::unique_ptr<TForm1> form_;
    std::vector<std::pair<std::string, uint32_t>> created_;
    std::vector<QString> shown_;
    plat::HRESULT create_hr_ = plat::S_OK;
    std::string create_text_;
    bool create_object_ = true;
};

}  // namespace

TEST_F(FormTest, WindowComponentsAsTheFormNamesThem) {
    TForm1& f = Form();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Client"));
    EXPECT_EQ(f.size(), QSize(762, 482));
    EXPECT_EQ(f.Panel1->height(), 61);
    EXPECT_EQ(f.Label2->text(), QStringLiteral("Компьютер"));
    EXPECT_EQ(f.Label1->text(), QStringLiteral("Пост"));
    EXPECT_TRUE(f.PostList->text().isEmpty());
    EXPECT_EQ(f.Button2->text(), QStringLiteral("Инициализация"));
    EXPECT_EQ(f.Button3->text(), QStringLiteral("Освобождение"));
    EXPECT_EQ(f.Work->text(), QStringLiteral("Отпуск"));
    EXPECT_EQ(f.Stop->text(), QStringLiteral("Стоп"));
    EXPECT_EQ(f.Pause->text(), QStringLiteral("Пауза"));
    EXPECT_EQ(f.PostsList->toolTip(), QStringLiteral("Список постов"));
    EXPECT_TRUE(f.Work->isHidden() && f.Stop->isHidden() && f.Pause->isHidden());
    EXPECT_EQ(f.DBGrid1->model(), f.Memory);
    EXPECT_EQ(f.DBNavigator->findChildren<QToolButton*>().size(), 2);
    // The form's own order of components.
    std::vector<QString> names;
    for (QObject* o : f.Panel1->children())
        if (o->isWidgetType()) names.push_back(o->objectName());
    EXPECT_EQ(names, (std::vector<QString>{"PostList", "Label2", "Label1", "StateEdit", "Pause",
                                           "Button2", "Button3", "CompEdit", "Number",
                                           "DBNavigator", "Work", "Stop"}));
}

TEST_F(FormTest, ClassContextFollowsTheComputerName) {
    TForm1& f = Form();
    f.Button2Click();
    f.Button3Click();
    std::string local = plat::LocalComputerName();
    std::string other_case = local;
    for (char& c : other_case)
        c = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c);
    f.CompEdit->setText(QString::fromStdString(other_case));
    f.Button2Click();
    f.Button3Click();
    f.CompEdit->setText(QStringLiteral("far-away-host"));
    f.Button2Click();
    f.Button3Click();
    ASSERT_EQ(created_.size(), 3u);
    EXPECT_EQ(created_[0], (std::pair<std::string, uint32_t>{"", 5}));
    EXPECT_EQ(created_[1], (std::pair<std::string, uint32_t>{other_case, 21}));
    EXPECT_EQ(created_[2], (std::pair<std::string, uint32_t>{"far-away-host", 16}));
    EXPECT_TRUE(shown_.empty());
}

TEST_F(FormTest, CreationFailureShowsTheSignedCodeAndText) {
    create_hr_ = plat::E_ACCESSDENIED;
    create_text_ = "access refused by the server";
    Form().Button2Click();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0], QStringLiteral("-2147024891: access refused by the server"));
    EXPECT_FALSE(Form().bound());

    shown_.clear();
    create_hr_ = plat::S_OK;
    create_object_ = false;
    Form().Button2Click();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0], QStringLiteral("Объект не создан..."));
}

TEST_F(FormTest, BindListsExistingPostsUpToOneHundred) {
    TForm1& f = Bound();
    EXPECT_EQ(fake_->CallsOf("RegisterSinkInterface").size(), 1u);
    EXPECT_EQ(fake_->CallsOf("GetState").front(), "GetState 1");
    EXPECT_TRUE(fake_->CallsOf("GetState 101").empty());
    EXPECT_EQ(Listed(), std::vector<QString>{"3"}) << "160 is not listed, 120 is above 100";
    EXPECT_EQ(f.Number->text(), QStringLiteral("3")) << "the first post found fills Number";
    EXPECT_EQ(f.currentPost(), 3);
    EXPECT_EQ(f.StateEdit->text(), QStringLiteral("Ожидание"));

    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostFound(120); });
    EXPECT_TRUE(PumpUntil([&] { return Listed().size() == 2; }));
    EXPECT_EQ(Listed(), (std::vector<QString>{"3", "120"}));
    EXPECT_EQ(f.offThreadCalls(), 0);
}

TEST_F(FormTest, TableShowsVariablesInOrdinalOrder) {
    TForm1& f = Bound();
    EXPECT_EQ(TableCodes(), (std::vector<int>{tlb::cvTotalV, tlb::cvDozeV, tlb::cvLiterPrice}));
    EXPECT_EQ(f.Memory->state(), MemTable::State::Browse);
    EXPECT_EQ(TableData(0), 123.45);
    EXPECT_EQ(TableData(2), 52.5);
    MemTable* t = f.Memory;
    EXPECT_EQ(t->data(t->index(1, MemTable::Name)).toString(), QStringLiteral("DozeV"));
    EXPECT_EQ(t->data(t->index(1, MemTable::IdleInterval)).toInt(), 1000);
    EXPECT_EQ(t->data(t->index(1, MemTable::WorkInterval)).toInt(), 100);
    EXPECT_EQ(t->data(t->index(1, MemTable::Stamp)).toString(),
              QStringLiteral("15.03.2023 06:00:00"));
    EXPECT_TRUE(fake_->CallsOf("SetVar").empty()) << "loading writes nothing back";
    const auto vars = fake_->CallsOf("GetVariable ");
    ASSERT_GE(vars.size(), 3u);
    EXPECT_EQ(vars[0], "GetVariable 3 2") << "filled from the last ordinal down";
}

TEST_F(FormTest, PausedPostShowsStopAndWorkOnly) {
    fake_->posts[3].state = tlb::csPaused;
    fake_->jumps = {{tlb::csPaused, tlb::csIdle}, {tlb::csPaused, tlb::csWaitingKey}};
    TForm1& f = Bound();
    EXPECT_EQ(f.StateEdit->text(), QStringLiteral("Отпуск остановлен"));
    EXPECT_FALSE(f.Stop->isHidden());
    EXPECT_FALSE(f.Work->isHidden());
    EXPECT_TRUE(f.Pause->isHidden());
    const auto asks = fake_->CallsOf("StateJumpValid");
    ASSERT_GE(asks.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(asks.end() - 3, asks.end()),
              (std::vector<std::string>{"StateJumpValid 3 80 1", "StateJumpValid 3 80 0",
                                        "StateJumpValid 3 80 80"}));
}

TEST_F(FormTest, StateTextsVerbatim) {
    const std::pair<int, const char*> texts[] = {{0, "Ожидание"},
                                                 {1, "Доза задана"},
                                                 {7, "Отпуск"},
                                                 {80, "Отпуск остановлен"},
                                                 {168, "Инициализация"},
                                                 {169, "Отсутствие связи"},
                                                 {176, "Авария в силовых элементах"},
                                                 {177, "Авария в электронике"},
                                                 {178, "Ошибка одного из датчиков"},
                                                 {186, "Требуется обновление ПО контроллера"},
                                                 {188, "Требуется обновление драйвера"},
                                                 {255, "Пожар"},
                                                 {3, ""},
                                                 {160, ""},
                                                 {179, ""}};
    for (auto [state, text] : texts) EXPECT_EQ(TForm1::StateText(state), QString::fromUtf8(text));
}

TEST_F(FormTest, StateChangedEventUpdatesTheShownPostOnly) {
    TForm1& f = Bound();
    fake_->jumps = {{tlb::csWaitingKey, tlb::csIdle}};
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.StateChanged(4, {tlb::csWorking, 0});
        s.StateChanged(3, {tlb::csWaitingKey, 0});
    });
    EXPECT_TRUE(PumpUntil([&] { return f.StateEdit->text() == QStringLiteral("Доза задана"); }));
    EXPECT_FALSE(f.Stop->isHidden());
    EXPECT_TRUE(f.Work->isHidden());
    EXPECT_EQ(f.offThreadCalls(), 0);
}

TEST_F(FormTest, PostDeletedOfAnUnlistedPostChangesNothing) {
    TForm1& f = Bound();
    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostFound(120); });
    ASSERT_TRUE(PumpUntil([&] { return Listed().size() == 2; }));
    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostDeleted(7); });
    Drain();
    EXPECT_EQ(Listed(), (std::vector<QString>{"3", "120"}));
    EXPECT_EQ(f.Number->text(), QStringLiteral("3"));
    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostDeleted(120); });
    EXPECT_TRUE(PumpUntil([&] { return Listed().size() == 1; }));
    EXPECT_EQ(Listed(), std::vector<QString>{"3"});
    EXPECT_TRUE(shown_.empty());
}

TEST_F(FormTest, VarValueChangedUpdatesTheRowWithoutWritingBack) {
    TForm1& f = Bound();
    f.Memory->moveTo(2);
    fake_->ClearCalls();
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{77770000}, 45001.0});
    });
    EXPECT_TRUE(PumpUntil([&] { return TableData(1) == 7777.0; }));
    EXPECT_EQ(f.Memory->currentRow(), 2) << "back on the operator's row";
    EXPECT_EQ(f.Memory->state(), MemTable::State::Browse);
    EXPECT_TRUE(fake_->CallsOf("SetVar").empty()) << "an event is not an operator's post";
    EXPECT_TRUE(fake_->CallsOf("GetVariablesCount").empty()) << "a known row needs no reload";
}

TEST_F(FormTest, VarValueChangedWithoutARowReloads) {
    Bound();
    fake_->ClearCalls();
    fake_->posts[3].vars.push_back({tlb::cvTemperature, u"Temperature", 150000, 45000.0});
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvTemperature, {plat::Currency{150000}, 45000.0});
    });
    EXPECT_TRUE(PumpUntil([&] { return TableCodes().size() == 4; }));
    EXPECT_EQ(fake_->CallsOf("GetVariablesCount").size(), 1u);
    EXPECT_EQ(TableCodes().back(), tlb::cvTemperature);
}

TEST_F(FormTest, VarValueChangedDuringAnEditIsDropped) {
    TForm1& f = Bound();
    MemTable* t = f.Memory;
    ASSERT_TRUE(t->setData(t->index(1, MemTable::Data), 5.5));
    ASSERT_EQ(t->state(), MemTable::State::Edit);
    fake_->ClearCalls();
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{990000}, 45001.0});
        s.VarValueChanged(3, tlb::cvTemperature, {plat::Currency{1}, 45001.0});
    });
    Drain();
    EXPECT_EQ(TableData(1), 5.5) << "the operator's value stays";
    EXPECT_EQ(t->state(), MemTable::State::Edit);
    EXPECT_TRUE(fake_->Calls().empty());
}

TEST_F(FormTest, WriteBackSendsIntervalsThenTheScaledValue) {
    TForm1& f = Bound();
    MemTable* t = f.Memory;
    fake_->ClearCalls();
    ASSERT_TRUE(t->setData(t->index(1, MemTable::Data), 12.3456));
    ASSERT_TRUE(t->setData(t->index(1, MemTable::IdleInterval), 2000));
    f.NavPostClick();
    const auto calls = fake_->Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "SetVarInterval 3 3 2000 100");
    EXPECT_EQ(calls[1], "SetVarValue 3 3 123456");
    EXPECT_EQ(calls[2], "GetVariablesCount 3") << "then reloaded";
    EXPECT_EQ(TableData(1), 12.3456);
    EXPECT_EQ(t->state(), MemTable::State::Browse);
    EXPECT_TRUE(shown_.empty());

    // Cancel sends nothing.
    fake_->ClearCalls();
    ASSERT_TRUE(t->setData(t->index(0, MemTable::Data), 1.0));
    f.NavCancelClick();
    EXPECT_TRUE(fake_->Calls().empty());
    EXPECT_EQ(TableData(0), 123.45);
}

TEST_F(FormTest, StateCommandsAndTheirFailureMessages) {
    TForm1& f = Bound();
    struct {
        void (TForm1::*click)();
        int target;
        const char* failure;
    } const cases[] = {
        {&TForm1::WorkClick, 1, "Переход в состояние готовности к отпуску невозможен"},
        {&TForm1::StopClick, 0, "Переход в состояние бездействия невозможен"},
        {&TForm1::PauseClick, 80, "Переход в состояние паузы невозможен"},
    };
    for (const auto& c : cases) {
        fake_->ClearCalls();
        shown_.clear();
        fake_->get_result = 0;
        (f.*c.click)();
        EXPECT_EQ(fake_->Calls(),
                  (std::vector<std::string>{"SetState 3 " + std::to_string(c.target),
                                            "GetResult " + std::to_string(tlb::CmdBegin)}));
        EXPECT_TRUE(shown_.empty());
        fake_->get_result = tlb::E_INCOMPATIBLESTATE;
        (f.*c.click)();
        ASSERT_EQ(shown_.size(), 1u);
        EXPECT_EQ(shown_[0], QString::fromUtf8(c.failure));
    }
    // A failing call goes to the error display with its text.
    shown_.clear();
    fake_->fail_method = "SetState";
    fake_->fail_text = "line down";
    f.WorkClick();
    EXPECT_EQ(shown_, std::vector<QString>{"line down"});
}

TEST_F(FormTest, NotANumberClearsThePostView) {
    TForm1& f = Bound();
    ASSERT_FALSE(f.StateEdit->text().isEmpty());
    fake_->posts[3].state = tlb::csPaused;
    fake_->jumps = {{tlb::csPaused, tlb::csIdle}};
    f.Number->setText(QStringLiteral("3 "));  // reloads: Stop shows
    ASSERT_FALSE(f.Stop->isHidden());
    f.Number->setText(QStringLiteral("abc"));
    EXPECT_EQ(f.currentPost(), 0);
    EXPECT_TRUE(f.StateEdit->text().isEmpty());
    EXPECT_TRUE(f.Work->isHidden() && f.Stop->isHidden() && f.Pause->isHidden());
    EXPECT_FALSE(f.Memory->active());
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0], QStringLiteral("'abc' не является целым числом"));
}

TEST_F(FormTest, SelectingAListedPostShowsIt) {
    TForm1& f = Bound();
    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostFound(120); });
    ASSERT_TRUE(PumpUntil([&] { return Listed().size() == 2; }));
    f.PostsList->setCurrentRow(1);
    f.PostsListClick();
    EXPECT_EQ(f.Number->text(), QStringLiteral("120"));
    EXPECT_EQ(f.currentPost(), 120);
    EXPECT_TRUE(TableCodes().empty());
}

TEST_F(FormTest, ReleaseUnregistersAndDropsLaterEvents) {
    TForm1& f = Bound();
    // Queued before the release, run after it.
    fake_->Fire([](tlb::INorvaltEvents& s) { s.PostFound(50); });
    f.Button3Click();
    EXPECT_FALSE(f.bound());
    EXPECT_EQ(fake_->CallsOf("UnRegisterSinkInterface").size(), 1u);
    EXPECT_FALSE(fake_->HasSink());
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(f.Memory->active());
    Drain();
    EXPECT_TRUE(Listed().empty()) << "an event of the old binding came through";
    EXPECT_EQ(fake_->RefCount(), 1u) << "the form and its sink let the service go";
}

TEST_F(FormTest, CloseReleases) {
    TForm1& f = Bound();
    f.show();
    f.close();
    EXPECT_FALSE(f.bound());
    EXPECT_EQ(fake_->CallsOf("UnRegisterSinkInterface").size(), 1u);
}

TEST_F(FormTest, EveryHandlerRunsOnTheGuiThread) {
    TForm1& f = Bound();
    fake_->Fire([](tlb::INorvaltEvents& s) {
        for (int i = 0; i < 50; ++i) {
            s.PostFound(static_cast<int8_t>(60 + i % 10));
            s.StateChanged(3, {tlb::csIdle, 0});
            s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{i * 10000}, 45000.0});
            s.VarValueChanged(3, tlb::cvTemperature, {plat::Currency{1}, 45000.0});
            s.PostDeleted(static_cast<int8_t>(60 + i % 10));
        }
        s.StateChanged(3, {tlb::csWaitingKey, 0});
    });
    EXPECT_TRUE(PumpUntil([&] { return f.StateEdit->text() == QStringLiteral("Доза задана"); }));
    Drain();
    EXPECT_EQ(f.offThreadCalls(), 0);
    EXPECT_EQ(fake_->GuiThreadCalls(), 0);
    EXPECT_EQ(Listed(), std::vector<QString>{"3"});
}

TEST_F(FormTest, PostAboveOneHundredTwentySevenIsTheOneQueried) {
    TForm1& f = Bound();
    fake_->ClearCalls();
    f.Number->setText(QStringLiteral("200"));
    EXPECT_EQ(f.currentPost(), 200);
    EXPECT_EQ(fake_->CallsOf("GetState").front(), "GetState 200");
    EXPECT_EQ(TableCodes(), std::vector<int>{tlb::cvDozeV});
    // Events carry the post in one byte: 200 arrives as -56.
    fake_->jumps = {{tlb::csWorking, tlb::csPaused}};
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.StateChanged(static_cast<int8_t>(200), {tlb::csWorking, 0});
    });
    EXPECT_TRUE(PumpUntil([&] { return f.StateEdit->text() == QStringLiteral("Отпуск"); }));
    EXPECT_FALSE(f.Pause->isHidden());
}

TEST_F(FormTest, PostAnnouncedByBindAndByTheServiceIsListedOnce) {
    TForm1& f = Bound();
    // The service's event thread announces the posts the bind already found.
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.PostFound(3);
        s.PostFound(120);
    });
    EXPECT_TRUE(PumpUntil([&] { return Listed().size() >= 2; }));
    Drain();
    EXPECT_EQ(Listed(), (std::vector<QString>{"3", "120"}));
    EXPECT_EQ(f.Number->text(), QStringLiteral("3"));
}

TEST_F(FormTest, WriteBackOfAValueCurrencyCannotHoldSendsNothing) {
    TForm1& f = Bound();
    MemTable* t = f.Memory;
    for (double huge : {1e300, -1e15, 9.3e14}) {
        fake_->ClearCalls();
        shown_.clear();
        ASSERT_TRUE(t->setData(t->index(1, MemTable::Data), huge));
        f.NavPostClick();
        EXPECT_TRUE(fake_->CallsOf("SetVar").empty()) << huge;
        EXPECT_EQ(shown_.size(), 1u) << "the operator is told";
        EXPECT_EQ(TableData(1), 10.0) << "the table shows what the service holds";
    }
    // The largest value that fits still goes through.
    fake_->ClearCalls();
    ASSERT_TRUE(t->setData(t->index(1, MemTable::Data), 900000000000000.0));
    f.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"),
              std::vector<std::string>{"SetVarValue 3 3 9000000000000000000"});
}

TEST_F(FormTest, TypedValueIsSentWithItsFourDecimalsInTheWindowsLocale) {
    const QLocale was;
    struct Restore {
        QLocale l;
        ~Restore() { QLocale::setDefault(l); }
    } restore{was};
    QLocale::setDefault(QLocale::c());
    TForm1& f = Bound();
    f.show();
    fake_->ClearCalls();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("1.2345"));
    f.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 12345"});
    EXPECT_EQ(CellText(1, MemTable::Data), QStringLiteral("1.2345"))
        << "the cell shows what was sent";
    fake_->ClearCalls();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("0.5"));
    f.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 5000"});

    // What the fixed point cannot carry is refused with a message, and nothing is sent.
    for (const char* bad : {"1e20", "1.23456", "abc", "0,5"}) {
        fake_->ClearCalls();
        shown_.clear();
        TypeIntoCell(1, MemTable::Data, QString::fromUtf8(bad));
        f.NavPostClick();
        EXPECT_TRUE(fake_->CallsOf("SetVarValue").empty()) << bad;
        EXPECT_EQ(shown_.size(), 1u) << bad << ": the operator is told";
        EXPECT_EQ(CellText(1, MemTable::Data), QStringLiteral("0.5")) << bad;
    }

    // Under a Russian locale the comma is the separator.
    form_.reset();
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    TForm1& r = Bound();
    r.show();
    fake_->ClearCalls();
    shown_.clear();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("0,5"));
    r.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 5000"});
    fake_->ClearCalls();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("1234,5678"));
    r.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 12345678"});
    EXPECT_EQ(CellText(1, MemTable::Data), QStringLiteral("1234,5678"));
    EXPECT_TRUE(shown_.empty());
}

TEST_F(FormTest, AHungServiceLeavesTheWindowRunningAndTheCallEndsWithAMessage) {
    TForm1& f = Bound();
    f.show();
    Drain();
    f.setCallWait(400);
    fake_->hang_method = "SetState";
    fake_->ClearCalls();
    // While the command is outstanding: timers run, the operator types, the window repaints.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    int paints = 0;
    struct PaintCounter : QObject {
        int* n;
        explicit PaintCounter(int* c) : n(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++*n;
            return false;
        }
    } counter(&paints);
    f.CompEdit->installEventFilter(&counter);
    QTimer::singleShot(100, &f, [&] {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QCoreApplication::sendEvent(f.CompEdit, &key);
        f.WorkClick();  // a second command behind the hung one is not sent
    });
    const auto start = std::chrono::steady_clock::now();
    f.WorkClick();
    const auto spent = std::chrono::steady_clock::now() - start;
    f.CompEdit->removeEventFilter(&counter);
    EXPECT_GE(ticks, 5) << "the window's events stopped while the call was outstanding";
    EXPECT_EQ(f.CompEdit->text(), QStringLiteral("x")) << "typing was not taken";
    EXPECT_GE(paints, 1) << "the window was not repainted";
    EXPECT_LT(spent, std::chrono::seconds(3)) << "the call to the hung service was not bounded";
    ASSERT_EQ(shown_.size(), 1u) << "the operator is not told";
    EXPECT_EQ(shown_[0], QStringLiteral("Служба не ответила вовремя"));
    EXPECT_EQ(fake_->CallsOf("SetState").size(), 1u);
    EXPECT_TRUE(fake_->CallsOf("GetResult").empty());

    // A reload that hangs ends within one bound as well, not one per row.
    fake_->hang_method = "GetVarValue";
    shown_.clear();
    fake_->ClearCalls();
    f.Number->setText(QStringLiteral("3 "));
    EXPECT_EQ(shown_, std::vector<QString>{QStringLiteral("Служба не ответила вовремя")});
    EXPECT_EQ(fake_->CallsOf("GetVarValue").size(), 1u);

    // The service answers again: the window goes on with it.
    fake_->Unhang();
    ASSERT_TRUE(PumpUntil([&] { return fake_->Hanging() == 0; }));
    fake_->hang_method.clear();
    shown_.clear();
    fake_->ClearCalls();
    f.StopClick();
    EXPECT_EQ(fake_->Calls(), (std::vector<std::string>{
                                  "SetState 3 0", "GetResult " + std::to_string(tlb::CmdBegin)}));
    EXPECT_TRUE(shown_.empty());
}

TEST_F(FormTest, PlatformErrorTextsAreShownInTheWindowsLanguage) {
    TForm1& f = Bound();
    fake_->fail_method = "SetState";
    fake_->fail_hr = plat::RPC_E_DISCONNECTED;
    fake_->fail_text = "The connection to the object's process is closed";
    f.StopClick();
    fake_->fail_hr = plat::E_FAIL;  // an object's own text stays as it came
    fake_->fail_text = "line down";
    f.StopClick();
    f.Number->setText(QString());
    EXPECT_EQ(shown_, (std::vector<QString>{QStringLiteral("Связь с процессом службы разорвана"),
                                            QStringLiteral("line down"),
                                            QStringLiteral("'' не является целым числом")}));
}
