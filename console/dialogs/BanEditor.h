#pragma once
// The ban editor (TForm14) and the command that runs it for a new or an
// existing ban.
#include "BanList.h"
#include "Registry.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace kelvra {

class TActiveButton;
class TNumberEdit;
class TServer;

class TForm14 : public QDialog {
    Q_OBJECT
public:
    TForm14(const TRegistry& users, QWidget* parent = nullptr);

    // Puts a ban's fields into the controls (the check boxes' enabling rule
    // applies).
    void ShowBan(const TBan& ban);
    // Pre-fills nickname and address from a user (check boxes unchanged).
    void ShowUser(const QByteArray& nickname, uint32_t ipv4);
    // Fills a ban from the controls in the editor's order; countHit adds one
    // to Hits. False with "'<text>' is not a valid integer value" when an
    // enabled octet box holds no integer: filling stops there.
    bool FillBan(TBan& ban, bool countHit, QString* error) const;
    // OK: closes with the OK result unless the nickname is ticked and blank.
    void ActiveButton1Click();

    QCheckBox* CheckBox5 = nullptr; // nickname on
    QComboBox* ComboBox1 = nullptr; // nickname
    QCheckBox* CheckBox6 = nullptr; // "Within Nickname"
    QCheckBox* CheckBox1 = nullptr; // octet 1 on .. CheckBox4: octet 4 on
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    TNumberEdit* NumberEdit1 = nullptr; // octets, left to right
    TNumberEdit* NumberEdit2 = nullptr;
    TNumberEdit* NumberEdit3 = nullptr;
    TNumberEdit* NumberEdit4 = nullptr;
    QLineEdit* Edit1 = nullptr;             // comment
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel

private:
    TNumberEdit* Octet(int i) const; // 0..3
    QCheckBox* OctetOn(int i) const;
};

// Creates (ban 0) or edits one ban through the dialog; a user handle that is
// not null pre-fills a new ban from that user and counts a hit. The ban and
// the user are looked up again after the dialog: either may be gone.
void ShowBanEditor(TServer& server, const TUserHandle& user, TBanId ban, QWidget* parent);

} // namespace kelvra
