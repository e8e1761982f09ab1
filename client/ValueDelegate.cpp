#include "client/ValueDelegate.h"

#include <QLineEdit>

#include <cmath>
#include <limits>

namespace cli {

namespace {

constexpr int64_t kScale = 10000;
constexpr int kDecimals = 4;

QChar DecimalPoint(const QLocale& locale) {
    // decisions CLI-8
    const QString p = locale.decimalPoint();
    return p.size() == 1 ? p[0] : QLatin1Char('.');
}

}  // namespace

std::optional<int64_t> ScaledOf(double value) {
    const double scaled = std::round(value * static_cast<double>(kScale));
    if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0)) return std::nullopt;
    return static_cast<int64_t>(scaled);
}

FixedText ParseFixed(const QString& text, const QLocale& locale, int64_t& scaled) {
    const QString t = text.trimmed();
    const QChar point = DecimalPoint(locale);
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() &&
        (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+') ||
         t.mid(i, 1) == locale.negativeSign() || t.mid(i, 1) == locale.positiveSign())) {
        negative = t[i] == QLatin1Char('-') || t.mid(i, 1) == locale.negativeSign();
        ++i;
    }
    // Magnitude in x 10000, accumulated in unsigned 64 bits with an overflow check.
    constexpr uint64_t kLimit = uint64_t{1} << 63;  // |INT64_MIN|
    uint64_t whole = 0;
    int digits = 0;
    bool overflow = false;
    for (; i < t.size() && t[i] >= QLatin1Char('0') && t[i] <= QLatin1Char('9'); ++i, ++digits) {
        const unsigned d = t[i].unicode() - u'0';
        if (whole > (kLimit - d) / 10)
            overflow = true;
        else
            whole = whole * 10 + d;
    }
    uint64_t fraction = 0;
    int fraction_digits = 0;
    bool too_precise = false;
    if (i < t.size() && t[i] == point) {
        for (++i; i < t.size() && t[i] >= QLatin1Char('0') && t[i] <= QLatin1Char('9'); ++i) {
            const unsigned d = t[i].unicode() - u'0';
            ++digits;
            if (fraction_digits < kDecimals) {
                fraction = fraction * 10 + d;
                ++fraction_digits;
            } else if (d != 0) {
                too_precise = true;  // a digit the fixed point cannot carry
            }
        }
    }
    if (digits == 0 || i != t.size()) return FixedText::NotANumber;
    if (too_precise) return FixedText::TooPrecise;
    for (; fraction_digits < kDecimals; ++fraction_digits) fraction *= 10;
    if (overflow || whole > (kLimit - fraction) / kScale) return FixedText::OutOfRange;
    const uint64_t magnitude = whole * kScale + fraction;
    if (!negative && magnitude == kLimit) return FixedText::OutOfRange;
    scaled = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    // The table keeps the value as a double and the write-back rounds it back: a value that does
    // not come back unchanged would be sent as something the operator did not type.
    const std::optional<int64_t> back = ScaledOf(static_cast<double>(scaled) / kScale);
    if (!back || *back != scaled) return FixedText::OutOfRange;
    return FixedText::Ok;
}

QString FormatFixed(int64_t scaled, const QLocale& locale) {
    const bool negative = scaled < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    QString out = QString::number(magnitude / kScale);
    uint64_t fraction = magnitude % kScale;
    if (fraction) {
        QString f = QString::number(fraction).rightJustified(kDecimals, QLatin1Char('0'));
        while (f.endsWith(QLatin1Char('0'))) f.chop(1);
        out += DecimalPoint(locale) + f;
    }
    return negative ? QLatin1Char('-') + out : out;
}

QString RefusalText(FixedText why, const QString& text, const QLocale& locale) {
    switch (why) {
        case FixedText::NotANumber:
            return QStringLiteral("Значение «%1» не является числом (десятичный разделитель «%2»)")
                .arg(text, DecimalPoint(locale));
        case FixedText::TooPrecise:
            return QStringLiteral("Значение «%1»: допускается не более %2 знаков после «%3»")
                .arg(text)
                .arg(kDecimals)
                .arg(DecimalPoint(locale));
        case FixedText::OutOfRange:
            return QStringLiteral("Значение «%1» вне допустимого диапазона").arg(text);
        case FixedText::Ok:
            break;
    }
    return {};
}

QString ValueDelegate::displayText(const QVariant& value, const QLocale& locale) const {
    if (value.typeId() == QMetaType::Double) {
        if (const std::optional<int64_t> s = ScaledOf(value.toDouble()))
            return FormatFixed(*s, locale);
        return locale.toString(value.toDouble(), 'g', 15);
    }
    return QStyledItemDelegate::displayText(value, locale);
}

QWidget* ValueDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                     const QModelIndex&) const {
    auto* e = new QLineEdit(parent);
    e->setFrame(false);
    return e;
}

void ValueDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* e = static_cast<QLineEdit*>(editor);
    const QVariant v = index.data(Qt::EditRole);
    e->setText(v.isNull() ? QString() : displayText(v, editor->locale()));
}

void ValueDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                 const QModelIndex& index) const {
    auto* e = static_cast<QLineEdit*>(editor);
    const QString text = e->text();
    int64_t scaled = 0;
    const FixedText r = ParseFixed(text, editor->locale(), scaled);
    if (r != FixedText::Ok) {
        emit const_cast<ValueDelegate*>(this)->refused(RefusalText(r, text, editor->locale()));
        return;
    }
    model->setData(index, static_cast<double>(scaled) / kScale, Qt::EditRole);
}

}  // namespace cli
