#pragma once
// The operator's small dialogs. Each is a tool window created fresh for one
// use; its flat buttons never take the focus, so Enter and Escape press
// nothing, and the close box answers Cancel. Texts come back as the protocol's
// single-byte text, multi-line texts with CR LF between lines.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;

namespace kelvra {

class TActiveButton;
class TRegistry;

// About box.
class TForm4 : public QDialog {
    Q_OBJECT
public:
    explicit TForm4(QWidget* parent = nullptr);
    TActiveButton* ActiveButton1 = nullptr; // OK
};

// "Broadcast Message".
class TForm7 : public QDialog {
    Q_OBJECT
public:
    explicit TForm7(QWidget* parent = nullptr);
    QByteArray Text() const;
    bool Anonymous() const;

    QPlainTextEdit* Memo1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;         // "Send Anonomously"
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel
};

// "Kick" (or "Kick and Ban"): a nickname picked from the user list or typed.
class TForm8 : public QDialog {
    Q_OBJECT
public:
    TForm8(const TRegistry& users, QWidget* parent = nullptr);
    QByteArray Nickname() const;

    QComboBox* ComboBox1 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel
};

// "Send Message": "To:" and the text.
class TForm9 : public QDialog {
    Q_OBJECT
public:
    TForm9(const TRegistry& users, QWidget* parent = nullptr);
    void SetTo(const QByteArray& nickname);
    QByteArray To() const;
    QByteArray Text() const;

    QComboBox* ComboBox1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel
};

// "Remove": Yes / No; exec() returns MrYes, MrNo, or MrCancel for the close box.
class TForm13 : public QDialog {
    Q_OBJECT
public:
    TForm13(const QString& text, QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // Yes
    TActiveButton* ActiveButton2 = nullptr; // No
};

// Fills a drop-down list with the nickname of every user record, in list
// order (an empty line for a connection that has not logged on).
void FillNicknames(QComboBox* box, const TRegistry& users);

// What every console tool dialog shares: the caption, a narrow title bar with
// only a close box, and no key that presses a button or closes the dialog.
void SetUpToolDialog(QDialog* dialog, const QString& caption);
// An editable drop-down list of the nicknames, its text empty.
QComboBox* NewNicknameBox(const TRegistry& users);
// A multi-line box: Enter starts a new line, lines wrap at the edge.
QPlainTextEdit* NewMemo();
// The box's text as protocol text, CR LF between lines.
QByteArray MemoText(const QPlainTextEdit* memo);
void SetMemoText(QPlainTextEdit* memo, const QByteArray& text);

} // namespace kelvra
