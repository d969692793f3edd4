#include "NumberEdit.h"

#include "TextUtil.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QTimer>
#include <algorithm>
#include <limits>

namespace kelvra {

namespace {

bool Accepted(QChar c) {
    if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
        return false;
    return c.isDigit() || c == QLatin1Char('+') || c == QLatin1Char('-') || c.unicode() < 32 ||
           c.unicode() == 127;
}

} // namespace

TNumberEdit::TNumberEdit(QWidget* parent) : QLineEdit(QStringLiteral("0"), parent) {}

void TNumberEdit::SetMinValue(int value) {
    Min = value;
}

void TNumberEdit::SetMaxValue(int value) {
    Max = value;
}

int TNumberEdit::Value() const {
    return StrToInt(ToBytes(text())).value_or(Min);
}

void TNumberEdit::SetValue(int value) {
    setText(QString::number(Clamp(value)));
}

int TNumberEdit::Clamp(int value) const {
    if (Min == Max)
        return value;
    if (value < Min)
        return Min;
    return value > Max ? Max : value;
}

int TNumberEdit::Stepped(int step) const {
    // Stops at the ends of the integer range instead of wrapping round.
    const qint64 next = qint64(Value()) + step;
    constexpr qint64 lowest = std::numeric_limits<int>::min();
    constexpr qint64 highest = std::numeric_limits<int>::max();
    return int(std::clamp(next, lowest, highest));
}

void TNumberEdit::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
        if (isReadOnly())
            QApplication::beep();
        else
            SetValue(Stepped(key == Qt::Key_Up ? Increment : -Increment));
        event->accept();
        return;
    }
    // QLineEdit already refuses these while read-only; the beep tells the operator.
    if (isReadOnly() &&
        (event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Paste))) {
        QApplication::beep();
        event->accept();
        return;
    }
    const QString typed = event->text();
    for (QChar c : typed) {
        if (!Accepted(c)) {
            QApplication::beep();
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TNumberEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    selectAll();
    // A click places the cursor after the focus arrives; select once it has.
    if (event->reason() == Qt::MouseFocusReason)
        QTimer::singleShot(0, this, &QLineEdit::selectAll);
}

void TNumberEdit::focusOutEvent(QFocusEvent* event) {
    const int value = Value();
    if (Clamp(value) != value)
        SetValue(value);
    QLineEdit::focusOutEvent(event);
}

} // namespace kelvra
