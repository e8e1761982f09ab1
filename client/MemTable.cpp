#include "client/MemTable.h"

#include <limits>
#include <stdexcept>

namespace cli {

MemTable::MemTable(QObject* parent) : QAbstractTableModel(parent) {
    rows_.reserve(kCapacity);
}

QString MemTable::fieldTitle(Field field) {
    switch (field) {
        case Code:
            return QStringLiteral("Код");
        case Name:
            return QStringLiteral("Наименование");
        case Stamp:
            return QStringLiteral("Время");
        case Data:
            return QStringLiteral("Значение");
        case IdleInterval:
            // decisions CLI-12
            return QStringLiteral("Инт.при ожидании");
        case WorkInterval:
            return QStringLiteral("Инт.при отп.");
        default:
            return {};
    }
}

void MemTable::checkActive() const {
    if (state_ == State::Inactive) throw std::logic_error("the table is not open");
}

void MemTable::setState(State s) {
    if (s == state_) return;
    state_ = s;
    emit stateChanged();
}

void MemTable::setCurrent(int row) {
    if (row == current_) return;
    current_ = row;
    emit currentRowChanged(row);
}

void MemTable::rowChanged(int row) {
    if (suspended_ || row < 0) return;
    emit dataChanged(index(row, 0), index(row, kFieldCount - 1));
}

void MemTable::open() {
    if (state_ != State::Inactive) return;
    // decisions CLI-7
    if (!suspended_) beginResetModel();
    rows_.clear();
    current_ = -1;
    if (!suspended_) endResetModel();
    setState(State::Browse);
    emit currentRowChanged(-1);
}

void MemTable::close() {
    if (state_ == State::Inactive) return;
    if (!suspended_) beginResetModel();
    rows_.clear();
    rows_.reserve(kCapacity);
    current_ = -1;
    if (!suspended_) endResetModel();
    setState(State::Inactive);
    emit currentRowChanged(-1);
}

void MemTable::checkBrowseMode() {
    checkActive();
    if (state_ == State::Edit || state_ == State::Insert) post();
}

void MemTable::insert() {
    checkBrowseMode();
    const int at = current_ < 0 ? 0 : current_;
    insert_prev_ = current_;
    Row r;
    r.id = next_id_++;
    if (!suspended_) beginInsertRows({}, at, at);
    rows_.insert(at, r);
    if (!suspended_) endInsertRows();
    current_ = -1;  // the new row takes the place of the old current one
    setCurrent(at);
    modified_ = {};
    setState(State::Insert);
}

void MemTable::edit() {
    checkActive();
    if (state_ == State::Edit || state_ == State::Insert) return;
    if (current_ < 0) throw std::logic_error("the table has no current row to edit");
    saved_ = rows_[current_];
    modified_ = {};
    setState(State::Edit);
}

void MemTable::post() {
    checkActive();
    if (state_ == State::Browse) return;
    setState(State::Browse);
    // A copy: the handler may detach itself (a reload does).
    if (auto fn = after_post_) fn();
}

void MemTable::cancel() {
    checkActive();
    modified_ = {};
    if (state_ == State::Edit) {
        rows_[current_] = saved_;
        setState(State::Browse);
        rowChanged(current_);
    } else if (state_ == State::Insert) {
        const int at = current_;
        if (!suspended_) beginRemoveRows({}, at, at);
        rows_.remove(at);
        if (!suspended_) endRemoveRows();
        setState(State::Browse);
        current_ = -2;  // force the signal
        setCurrent(rows_.isEmpty() ? -1 : qMin(at, static_cast<int>(rows_.size()) - 1));
    }
}

void MemTable::first() {
    checkBrowseMode();
    setCurrent(rows_.isEmpty() ? -1 : 0);
}

void MemTable::moveTo(int row) {
    checkActive();
    if (row < 0 || row >= rows_.size()) throw std::out_of_range("no such row");
    if (row != current_) checkBrowseMode();
    setCurrent(row);
}

bool MemTable::locate(Field field, const QVariant& value) {
    checkBrowseMode();
    const QVariant want = convert(field, value);
    const int old = current_;
    for (int i = 0; i < rows_.size(); ++i) {
        setCurrent(i);
        const QVariant& have = rows_[i].f[field];
        if (!have.isNull() && !want.isNull() && have == want) return true;
    }
    setCurrent(old);
    return false;
}

QVariant MemTable::fieldValue(Field field) const {
    checkActive();
    if (current_ < 0 || field < 0 || field >= kFieldCount) return {};
    return rows_[current_].f[field];
}

QVariant MemTable::convert(Field field, const QVariant& value) {
    if (!value.isValid() || value.isNull()) return {};
    bool ok = true;
    switch (field) {
        case Code:
        case IdleInterval:
        case WorkInterval: {
            const qlonglong v = value.toLongLong(&ok);
            if (!ok || v < std::numeric_limits<int32_t>::min() ||
                v > std::numeric_limits<int32_t>::max())
                throw std::invalid_argument("not a 32-bit integer");
            return QVariant(static_cast<int>(v));
        }
        case Name:
            return QVariant(value.toString().left(kNameLength));
        case Stamp: {
            QDateTime t = value.toDateTime();
            if (!t.isValid()) throw std::invalid_argument("not a date and time");
            return QVariant(t);
        }
        case Data: {
            const double v = value.toDouble(&ok);
            if (!ok) throw std::invalid_argument("not a number");
            return QVariant(v);
        }
        default:
            throw std::invalid_argument("no such field");
    }
}

void MemTable::setFieldValue(Field field, const QVariant& value) {
    if (state_ != State::Edit && state_ != State::Insert)
        throw std::logic_error("the table is not in edit or insert state");
    rows_[current_].f[field] = convert(field, value);
    modified_[field] = true;
    rowChanged(current_);
}

QVariant MemTable::savedValue(Field field) const {
    checkActive();
    if (field < 0 || field >= kFieldCount) return {};
    return saved_.f[field];
}

int MemTable::findRow(Field field, const QVariant& value) const {
    if (state_ == State::Inactive || field < 0 || field >= kFieldCount) return -1;
    const QVariant want = convert(field, value);
    for (int i = 0; i < rows_.size(); ++i) {
        const QVariant& have = rows_[i].f[field];
        if (!have.isNull() && !want.isNull() && have == want) return i;
    }
    return -1;
}

void MemTable::refreshField(int row, Field field, const QVariant& value) {
    checkActive();
    if (row < 0 || row >= rows_.size()) throw std::out_of_range("no such row");
    const QVariant v = convert(field, value);
    const bool editing = row == current_ && (state_ == State::Edit || state_ == State::Insert);
    if (editing && state_ == State::Edit) saved_.f[field] = v;
    if (editing && modified_[field]) return;  // the operator's pending value stays shown
    rows_[row].f[field] = v;
    rowChanged(row);
}

qint64 MemTable::bookmark() const {
    return current_ < 0 ? 0 : rows_[current_].id;
}

bool MemTable::gotoBookmark(qint64 id) {
    checkBrowseMode();
    for (int i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id) {
            setCurrent(i);
            return true;
        }
    return false;
}

void MemTable::disableControls() {
    if (suspended_++ == 0) beginResetModel();
}

void MemTable::enableControls() {
    if (suspended_ == 0) return;
    if (--suspended_ == 0) {
        endResetModel();
        emit currentRowChanged(current_);
    }
}

int MemTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int MemTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kFieldCount;
}

QVariant MemTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.size() || index.column() >= kFieldCount) return {};
    const QVariant& v = rows_[index.row()].f[index.column()];
    if (role == Qt::EditRole) return v;
    if (role != Qt::DisplayRole || v.isNull()) return {};
    switch (index.column()) {
        case Stamp:
            return v.toDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        case Data:
            return v;  // the view's delegate writes it in fixed point, in the view's locale
        default:
            return v.toString();
    }
}

QVariant MemTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal) return fieldTitle(static_cast<Field>(section));
    return {};
}

Qt::ItemFlags MemTable::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

bool MemTable::setData(const QModelIndex& index, const QVariant& value, int role) {
    // Suspended: the table is being refilled, and the view shows rows that are going away.
    if (role != Qt::EditRole || !index.isValid() || index.row() >= rows_.size() ||
        state_ == State::Inactive || suspended_)
        return false;
    try {
        const Field field = static_cast<Field>(index.column());
        const QVariant v = convert(field, value);
        if (index.row() != current_ || state_ == State::Browse) {
            moveTo(index.row());
            edit();
        }
        rows_[current_].f[field] = v;
        modified_[field] = true;
        rowChanged(current_);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace cli
