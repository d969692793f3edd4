#pragma once
// The console's flat dialog button: a border only while the mouse is over it,
// never takes the keyboard focus (so Enter and Escape press no button), and
// closes its dialog with the result of its kind before its own handler runs.
#include <QToolButton>

#include <initializer_list>

class QHBoxLayout;

namespace kelvra {

// Dialog results; Cancel and OK coincide with QDialog::Rejected / Accepted.
enum ModalResult : int {
    MrNone = -1,
    MrCancel = 0,
    MrOk = 1,
    MrAbort = 3,
    MrRetry = 4,
    MrIgnore = 5,
    MrYes = 6,
    MrNo = 7,
    MrAll = 8,
};

enum class TButtonKind { Custom, Ok, Cancel, Yes, No, Help, Close, Abort, Retry, Ignore, All };

class TActiveButton : public QToolButton {
    Q_OBJECT
public:
    explicit TActiveButton(TButtonKind kind = TButtonKind::Custom, QWidget* parent = nullptr);

    // Presets caption, image and result; Custom keeps them.
    void SetKind(TButtonKind kind);
    TButtonKind Kind() const { return ButtonKind; }
    void SetModalResult(int result) { Result = result; }
    int ModalResultValue() const { return Result; }
    // Presses the button from code, enabled or not (the click of the owner's
    // keyboard handling).
    void Click();
    void SetCaption(const QString& caption);
    void SetImage(const QIcon& image);
    // Tooltip and status bar text.
    void SetHint(const QString& hint);

private:
    void ApplyResult();
    void UpdateStyle();

    TButtonKind ButtonKind = TButtonKind::Custom;
    int Result = MrNone;
};

// A dialog button of a kind, named as the dialog's code refers to it.
TActiveButton* NamedButton(TButtonKind kind, const char* objectName);
// The buttons of a dialog, right-aligned in one row.
QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons);

} // namespace kelvra
