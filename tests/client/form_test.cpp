// The main window against a fake service: binding, the post list, state display and commands,
// the table's loading, events from other threads, and the write-back.
#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "client/MainForm.h"
#include "client/TorkCallback.h"
#include "platform/com/classes.h"
#include "platform/rpc/client.h"
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
    // The captions without their Alt-key marks.
    auto caption = [](QPushButton* b) { return b->text().remove(QLatin1Char('&')); };
    EXPECT_EQ(caption(f.Button2), QStringLiteral("Инициализация"));
    EXPECT_EQ(caption(f.Button3), QStringLiteral("Освобождение"));
    EXPECT_EQ(caption(f.Work), QStringLiteral("Отпуск"));
    EXPECT_EQ(caption(f.Stop), QStringLiteral("Стоп"));
    EXPECT_EQ(caption(f.Pause), QStringLiteral("Пауза"));
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
    EXPECT_EQ(calls[2], "GetResult " + std::to_string(tlb::CmdBegin)) << "its outcome";
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[3], "GetVariablesCount 3") << "then reloaded";
    EXPECT_EQ(TableData(1), 12.3456);
    EXPECT_EQ(t->state(), MemTable::State::Browse);
    EXPECT_EQ(shown_.size(), 1u) << "the service refuses intervals (E_NOTIMPL)";

    // Cancel sends nothing.
    fake_->ClearCalls();
    ASSERT_TRUE(t->setData(t->index(0, MemTable::Data), 1.0));
    f.NavCancelClick();
    EXPECT_TRUE(fake_->CallsOf("SetVar").empty());
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
    EXPECT_TRUE(shown_[0].startsWith(QStringLiteral("Служба не ответила вовремя")));
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

TEST_F(FormTest, LeavingAnEditedRowPostsItEscapeCancelsItAndOtherRowsStayCurrent) {
    TForm1& f = Bound();
    f.show();
    MemTable* t = f.Memory;
    fake_->ClearCalls();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("7"));
    ASSERT_EQ(t->state(), MemTable::State::Edit);
    // A delivery runs meanwhile: other rows show it, the edited row keeps the operator's value.
    fake_->posts[3].vars[0].value = 1240000;
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvTotalV, {plat::Currency{1240000}, 45001.0});
        s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{100000}, 45001.0});
    });
    Drain();
    EXPECT_EQ(TableData(0), 124.0) << "a row not being edited went stale";
    EXPECT_EQ(TableData(1), 7.0);
    // The Down arrow leaves the row: it is written back and the grid is on the next row.
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(f.DBGrid1, &down);
    EXPECT_TRUE(PumpUntil([&] { return !fake_->CallsOf("SetVarValue").empty(); }, 2000));
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 70000"});
    EXPECT_EQ(t->state(), MemTable::State::Browse);
    EXPECT_EQ(t->currentRow(), 2);
    EXPECT_EQ(f.DBGrid1->currentIndex().row(), 2);
    EXPECT_EQ(TableData(1), 7.0);

    // Escape gives an edit up; the table then shows what the service holds, a value another
    // writer set meanwhile included.
    fake_->ClearCalls();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("8"));
    fake_->posts[3].vars[1].value = 90000;
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{90000}, 45002.0});
    });
    Drain();
    EXPECT_EQ(TableData(1), 8.0) << "the operator's pending value";
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(f.DBGrid1, &escape);
    EXPECT_TRUE(PumpUntil([&] { return t->state() == MemTable::State::Browse; }, 2000));
    EXPECT_TRUE(fake_->CallsOf("SetVarValue").empty());
    EXPECT_EQ(TableData(1), 9.0);
}

TEST_F(FormTest, WriteBackSendsOnlyWhatTheOperatorChangedAndKeepsAnotherWritersValue) {
    TForm1& f = Bound();
    MemTable* t = f.Memory;
    // This console edits only DozeV's idle interval.
    ASSERT_TRUE(t->setData(t->index(1, MemTable::IdleInterval), 2000));
    // A second writer sets the dose to 5, and the service tells this console.
    fake_->posts[3].vars[1].value = 50000;
    fake_->Fire([](tlb::INorvaltEvents& s) {
        s.VarValueChanged(3, tlb::cvDozeV, {plat::Currency{50000}, 45002.0});
    });
    Drain();
    EXPECT_EQ(TableData(1), 5.0) << "the edited row shows the dose the service holds";
    fake_->ClearCalls();
    shown_.clear();
    f.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVar"), std::vector<std::string>{"SetVarInterval 3 3 2000 100"});
    EXPECT_EQ(fake_->posts[3].vars[1].value, 50000) << "the other writer's dose was overwritten";
    EXPECT_EQ(TableData(1), 5.0);
    ASSERT_EQ(shown_.size(), 1u) << "the refused interval is not told";
    EXPECT_TRUE(shown_[0].contains(QStringLiteral("не записаны"))) << shown_[0].toStdString();
}

TEST_F(FormTest, CommandGivenUpMayHaveRunAndThePostIsReadAgainOnceTheServiceAnswers) {
    TForm1& f = Bound();
    f.setCallWait(300);
    fake_->hang_method = "*";  // the service stops
    f.WorkClick();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0].contains(QStringLiteral("могла быть всё же выполнена")))
        << shown_[0].toStdString();
    // The service goes on: it carries out the command it got, and answers again. No event
    // tells the console.
    fake_->posts[3].state = tlb::csWaitingKey;
    fake_->Unhang();
    EXPECT_TRUE(
        PumpUntil([&] { return f.StateEdit->text() == QStringLiteral("Доза задана"); }, 5000))
        << f.StateEdit->text().toStdString();
    EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(FormTest, TypedValuesAreCheckedAgainstTheLimitsAndARefusalIsTold) {
    struct Restore {
        QLocale l;
        ~Restore() { QLocale::setDefault(l); }
    } restore{QLocale()};
    QLocale::setDefault(QLocale::c());
    FakeVar& dose = fake_->posts[3].vars[1];  // DozeV: 0.01 ... 999999.99 by 0.01
    dose.min = 100;
    dose.max = 9999999900;
    dose.step = 100;
    TForm1& f = Bound();
    f.show();
    for (const char* bad : {"12345678901234", "0.0001", "-0", "1.005"}) {
        fake_->ClearCalls();
        shown_.clear();
        TypeIntoCell(1, MemTable::Data, QString::fromUtf8(bad));
        f.NavPostClick();
        EXPECT_TRUE(fake_->CallsOf("SetVarValue").empty()) << bad;
        EXPECT_EQ(shown_.size(), 1u) << bad << ": the operator is not told";
        EXPECT_EQ(CellText(1, MemTable::Data), QStringLiteral("10")) << bad;
    }
    // Within the limits, but the service refuses it all the same: told, and its value shown.
    fake_->set_var_result = tlb::OPC_E_RANGE;
    fake_->ClearCalls();
    shown_.clear();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("0.5"));
    f.NavPostClick();
    EXPECT_EQ(fake_->CallsOf("SetVarValue"), std::vector<std::string>{"SetVarValue 3 3 5000"});
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0].contains(QStringLiteral("вне допустимого диапазона")))
        << shown_[0].toStdString();
    EXPECT_EQ(CellText(1, MemTable::Data), QStringLiteral("10"));
    // A queued write whose command fails is told as well.
    fake_->set_var_result = tlb::CmdBegin;
    fake_->get_result = tlb::E_NOANSWER;
    shown_.clear();
    TypeIntoCell(1, MemTable::Data, QStringLiteral("0.5"));
    f.NavPostClick();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0].contains(QStringLiteral("контроллер не ответил")))
        << shown_[0].toStdString();
}

TEST_F(FormTest, TabAltKeysBusySignAndEveryControlReachableAtTheMinimumSize) {
    fake_->posts[3].state = tlb::csOldController;  // the longest state text
    fake_->jumps = {{tlb::csOldController, tlb::csWaitingKey},
                    {tlb::csOldController, tlb::csIdle},
                    {tlb::csOldController, tlb::csPaused}};
    TForm1& f = Bound();
    // Every button has an Alt-key of its own.
    const std::vector<QAbstractButton*> buttons{f.Button2, f.Button3, f.Work,     f.Stop,
                                                f.Pause,   f.NavPost, f.NavCancel};
    std::set<QString> keys;
    for (QAbstractButton* b : buttons) {
        EXPECT_TRUE(b->shortcut().toString().startsWith(QStringLiteral("Alt+")))
            << b->objectName().toStdString();
        keys.insert(b->shortcut().toString());
    }
    EXPECT_EQ(keys.size(), buttons.size()) << "two buttons share an Alt-key";

    // At the smallest size every control lies wholly in the window, none over another, and the
    // state is not cut off.
    ASSERT_GT(f.minimumWidth(), 0) << "no minimum size";
    f.resize(f.minimumSize());
    f.show();
    Drain();
    EXPECT_LE(f.width(), 420);
    EXPECT_LE(f.height(), 300);
    const std::vector<QWidget*> controls{f.Label2,  f.CompEdit,  f.Button2,   f.Button3, f.Label1,
                                         f.Number,  f.StateEdit, f.Work,      f.Stop,    f.Pause,
                                         f.NavPost, f.NavCancel, f.PostsList, f.DBGrid1};
    std::vector<QRect> rects;
    for (QWidget* w : controls) {
        ASSERT_TRUE(w->isVisible()) << w->objectName().toStdString();
        const QRect r(w->mapTo(&f, QPoint(0, 0)), w->size());
        EXPECT_TRUE(f.rect().contains(r)) << w->objectName().toStdString() << " is cut off";
        for (size_t i = 0; i < rects.size(); ++i)
            EXPECT_FALSE(rects[i].intersects(r)) << w->objectName().toStdString() << " over "
                                                 << controls[i]->objectName().toStdString();
        rects.push_back(r);
    }
    EXPECT_GE(f.StateEdit->width(), f.StateEdit->sizeHint().width()) << "the state is cut off";
    EXPECT_GE(f.DBGrid1->height(), 100);

    // Tab leaves the grid for the window's next control.
    f.DBGrid1->setFocus();
    ASSERT_EQ(f.focusWidget(), f.DBGrid1);
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QCoreApplication::sendEvent(f.DBGrid1, &tab);
    EXPECT_NE(f.focusWidget(), f.DBGrid1) << "Tab stays in the grid";

    // While a call is outstanding the buttons are disabled and the cursor says so.
    f.setCallWait(400);
    fake_->hang_method = "SetState";
    bool disabled = false, busy_cursor = false;
    QTimer::singleShot(100, &f, [&] {
        disabled = true;
        for (QAbstractButton* b : buttons) disabled = disabled && !b->isEnabled();
        busy_cursor = QApplication::overrideCursor() &&
                      QApplication::overrideCursor()->shape() == Qt::BusyCursor;
    });
    f.WorkClick();
    EXPECT_TRUE(disabled);
    EXPECT_TRUE(busy_cursor);
    for (QAbstractButton* b : buttons) EXPECT_TRUE(b->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    fake_->Unhang();
}

TEST_F(FormTest, QtsOwnTextsTooltipsAndTransportFailuresInTheWindowsLanguage) {
    const std::unique_ptr<QTranslator> qt = cli::InstallQtTranslations();
    ASSERT_TRUE(qt) << "Qt's translations (qt6-translations-l10n) are not installed";
    QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("x"),
                    QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Отмена"));
    // The window's own message box, closed once it shows.
    QString ok;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) {
                ok = b->button(QMessageBox::Ok)->text();
                b->accept();
            }
    });
    TForm1::DefaultDisplay(nullptr)(QStringLiteral("x"));
    EXPECT_EQ(ok, QStringLiteral("ОК"));
    EXPECT_EQ(Form().NavPost->toolTip(), QStringLiteral("Записать"));
    EXPECT_EQ(Form().NavCancel->toolTip(), QStringLiteral("Отменить"));
    // The transport's own refusal of a socket name the system cannot take.
    const std::string path(200, 'x');
    plat::HRESULT hr = plat::S_OK;
    ASSERT_FALSE(plat::rpc::ConnectLocal(path, hr));
    create_hr_ = hr;
    create_text_ = plat::GetErrorText();
    Form().Button2Click();
    EXPECT_EQ(shown_, std::vector<QString>{QStringLiteral("%1: Путь к сокету службы слишком "
                                                          "длинный: %2")
                                               .arg(hr)
                                               .arg(QString::fromStdString(path))});
}
