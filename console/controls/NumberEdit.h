#pragma once
// The numeric entry field: a one-line box holding a signed integer. Digits,
// "+", "-" and control keys other than Enter are taken, anything else beeps;
// Up and Down step by the increment. With a minimum equal to the maximum there
// is no limit.
#include <QLineEdit>

namespace kelvra {

class TNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget* parent = nullptr);

    int MinValue() const { return Min; }
    int MaxValue() const { return Max; }
    void SetMinValue(int value);
    void SetMaxValue(int value);
    void SetIncrement(int value) { Increment = value; }
    // The text read as a decimal integer; text that is not one reads as the minimum.
    int Value() const;
    // Clamped first when the limits differ.
    void SetValue(int value);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int Clamp(int value) const;
    int Stepped(int step) const;

    int Min = 0;
    int Max = 0;
    int Increment = 1;
};

} // namespace kelvra
