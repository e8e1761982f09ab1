// The post table behind the grid: typed rows held wholly in memory, with the dataset states the
// form relies on (inactive, browse, edit, insert), a current row, and a model face for the view.
#pragma once
#include <QAbstractTableModel>
#include <QDateTime>
#include <QVariant>
#include <QVector>

#include <array>
#include <cstdint>
#include <functional>

namespace cli {

class MemTable : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Field { Code = 0, Name, Stamp, Data, IdleInterval, WorkInterval, kFieldCount };
    enum class State { Inactive, Browse, Edit, Insert };
    static constexpr int kNameLength = 30;
    static constexpr int kCapacity = 30;  // starting size of the row store, not a limit

    explicit MemTable(QObject* parent = nullptr);

    State state() const { return state_; }
    bool active() const { return state_ != State::Inactive; }
    int recordCount() const { return static_cast<int>(rows_.size()); }
    int currentRow() const { return current_; }  // -1 when there is none

    // Inactive -> browse with no rows; an open table stays as it is.
    void open();
    // Any state -> inactive; pending changes and rows are dropped.
    void close();
    // A new empty row before the current one (at the top of an empty table), in insert state.
    void insert();
    // Browse -> edit on the current row.
    void edit();
    // Edit/insert -> browse, keeping the row; AfterPost follows. Nothing to do in browse.
    void post();
    // Edit -> browse with the row as it was; insert -> browse without the new row.
    void cancel();
    // The first row; a pending change is posted first.
    void first();
    // Moves to the first row whose field equals value exactly; when none does, the old row stays
    // current and false is returned. A pending change is posted first.
    bool locate(Field field, const QVariant& value);
    // Moves to row `row` (0-based); a pending change on another row is posted first.
    void moveTo(int row);

    QVariant fieldValue(Field field) const;
    // Only in edit or insert; the value is converted to the field's type (an unconvertible value
    // throws std::invalid_argument).
    void setFieldValue(Field field, const QVariant& value);

    // The fields set since the last edit or insert began (they stay readable by AfterPost), and
    // the row as it was when the last edit began.
    bool modified(Field field) const {
        return field >= 0 && field < kFieldCount && modified_[field];
    }
    QVariant savedValue(Field field) const;
    // The first row whose field equals value exactly, -1 when none; the current row stays.
    int findRow(Field field, const QVariant& value) const;
    // A value that comes from outside the table (the service), shown in any state without
    // moving or posting. On the row being edited, the row as it was before the edit (what
    // cancel restores) takes it, and so does the shown row unless the field was set by the edit.
    // decisions CLI-14
    void refreshField(int row, Field field, const QVariant& value);

    // The current row's id, which stays with the row while it lives; 0 when there is none.
    qint64 bookmark() const;
    bool gotoBookmark(qint64 id);

    // Called after every post while attached.
    void setAfterPost(std::function<void()> fn) { after_post_ = std::move(fn); }
    void clearAfterPost() { after_post_ = nullptr; }
    bool afterPostAttached() const { return static_cast<bool>(after_post_); }

    // Suspends the view's updates; nested; the view catches up on the last resume.
    void disableControls();
    void enableControls();
    bool controlsDisabled() const { return suspended_ > 0; }

    static QString fieldTitle(Field field);

    // Model face.
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // An edit in the view: the row becomes current and goes into edit state, then the field is
    // set. Posting stays with the caller (the navigator). Refused while the view is suspended.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  signals:
    void currentRowChanged(int row);
    void stateChanged();

  private:
    struct Row {
        qint64 id = 0;
        std::array<QVariant, kFieldCount> f;
    };
    void checkActive() const;
    void checkBrowseMode();
    void setCurrent(int row);
    void setState(State s);
    void rowChanged(int row);
    static QVariant convert(Field field, const QVariant& value);

    QVector<Row> rows_;
    Row saved_;  // the row as it was before edit
    std::array<bool, kFieldCount> modified_{};
    int current_ = -1;
    int insert_prev_ = -1;  // current row before an insert, for cancel
    State state_ = State::Inactive;
    qint64 next_id_ = 1;
    int suspended_ = 0;
    std::function<void()> after_post_;
};

}  // namespace cli
