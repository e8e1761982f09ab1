// The editor of the table's Значение column. The service carries values in fixed point with four
// decimals (Currency, value x 10000), so the editor takes exactly that: a sign, digits, the
// decimal separator of the view's locale and at most four decimals. The cell shows the same
// fixed-point text, so what the operator sees is what is sent.
#pragma once
#include <QLocale>
#include <QStyledItemDelegate>

#include <cstdint>
#include <optional>

namespace cli {

enum class FixedText { Ok, NotANumber, TooPrecise, OutOfRange };

// Parses `text` (surrounding blanks allowed) into value x 10000. OutOfRange: the value does not
// survive the table's double and the write-back's rounding unchanged, or exceeds Currency.
FixedText ParseFixed(const QString& text, const QLocale& locale, int64_t& scaled);
// value x 10000 as text: the locale's separator, trailing zeros dropped, no exponent.
QString FormatFixed(int64_t scaled, const QLocale& locale);
// The fixed-point value the write-back sends for `value` (rounded x 10000), if Currency holds it.
std::optional<int64_t> ScaledOf(double value);
// The operator's message for a text the editor refuses.
QString RefusalText(FixedText why, const QString& text, const QLocale& locale);

class ValueDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant& value, const QLocale& locale) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;

  signals:
    // A typed text was refused; the cell keeps its value. Queued to the view's thread, so the
    // message is shown after the editor has closed.
    void refused(const QString& message);
};

}  // namespace cli
