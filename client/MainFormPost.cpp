// The post shown: its choice and state, the state commands, its variables' table and the
// service's events.
#include "client/MainForm.h"

#include <QDateTime>

#include <cstdio>
#include <exception>
#include <optional>

#include "client/MainFormKit.h"
#include "client/ValueDelegate.h"
#include "platform/rpc/wire.h"
#include "platform/types/datetime.h"

namespace cli {

namespace {

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

QDateTime DateToDateTime(plat::DATE d) {
    plat::SYSTEMTIME st;
    if (!plat::DateToSystemTime(d, st)) return {};
    return QDateTime(QDate(st.wYear, st.wMonth, st.wDay),
                     QTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds));
}

}  // namespace

// decisions CLI-1
int16_t TForm1::NumberValue() const {
    bool ok = false;
    const QString text = Number->text();
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < INT16_MIN || v > INT16_MAX)
        throw std::invalid_argument("'" + text.toStdString() + "' не является целым числом");
    return static_cast<int16_t>(v);
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
