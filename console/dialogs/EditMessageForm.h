#pragma once
// "Edit Message" (TForm16) and the commands that run it for new or stored mail.
#include "MailStore.h"

#include <QDialog>

class QComboBox;
class QPlainTextEdit;

namespace kelvra {

class TActiveButton;
class TRegistry;
class TServer;

class TForm16 : public QDialog {
    Q_OBJECT
public:
    TForm16(const TRegistry& users, QWidget* parent = nullptr);

    void SetFields(const QByteArray& target, const QByteArray& sender, const QByteArray& msg);
    QByteArray Target() const;
    QByteArray Sender() const;
    QByteArray Message() const; // CR LF between lines

    QComboBox* ComboBox1 = nullptr; // "Target:"
    QComboBox* ComboBox2 = nullptr; // "Sender:"
    QPlainTextEdit* Memo1 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // OK: enabled while all three, trimmed, are non-empty
    TActiveButton* ActiveButton2 = nullptr; // Cancel

protected:
    void showEvent(QShowEvent* event) override;

private:
    void UpdateOk();
};

// Edits stored mail (id) or writes new mail (id 0). On OK the old record, if
// still stored, is removed, and the text is delivered to a connected target at
// once or stored at the end. Returns true on OK.
bool EditMail(TServer& server, TMailId id, QWidget* parent);

} // namespace kelvra
