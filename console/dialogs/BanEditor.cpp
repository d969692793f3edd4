#include "BanEditor.h"

#include "ActiveButton.h"
#include "MessageBoxes.h"
#include "NumberEdit.h"
#include "OperatorDialogs.h"
#include "Server.h"
#include "TextUtil.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kelvra {

TForm14::TForm14(const TRegistry& users, QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Ban"));

    CheckBox5 = new QCheckBox;
    CheckBox5->setObjectName(QStringLiteral("CheckBox5"));
    ComboBox1 = NewNicknameBox(users);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    CheckBox6 = new QCheckBox(QStringLiteral("Within Nickname"));
    CheckBox6->setObjectName(QStringLiteral("CheckBox6"));
    auto* nickLabel = new QLabel(QStringLiteral("Nickname Mask:"));
    nickLabel->setBuddy(ComboBox1);
    auto* nickRow = new QHBoxLayout;
    nickRow->addWidget(CheckBox5);
    nickRow->addWidget(ComboBox1, 1);

    auto* octets = new QGridLayout;
    QCheckBox** boxes[] = {&CheckBox1, &CheckBox2, &CheckBox3, &CheckBox4};
    TNumberEdit** edits[] = {&NumberEdit1, &NumberEdit2, &NumberEdit3, &NumberEdit4};
    for (int i = 0; i < 4; ++i) {
        auto* box = *boxes[i] = new QCheckBox;
        box->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        auto* edit = *edits[i] = new TNumberEdit;
        edit->setObjectName(QStringLiteral("NumberEdit%1").arg(i + 1));
        edit->setMaximumWidth(56);
        box->setChecked(true);
        octets->addWidget(box, 0, 2 * i, Qt::AlignHCenter);
        octets->addWidget(edit, 1, 2 * i);
        if (i < 3)
            octets->addWidget(new QLabel(QStringLiteral(".")), 1, 2 * i + 1);
        connect(box, &QCheckBox::toggled, edit, &QWidget::setEnabled);
    }
    auto* ipLabel = new QLabel(QStringLiteral("IP Address Mask:"));

    Edit1 = new QLineEdit;
    Edit1->setObjectName(QStringLiteral("Edit1"));
    auto* commentLabel = new QLabel(QStringLiteral("Comment:"));
    commentLabel->setBuddy(Edit1);

    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    // OK closes the dialog only when the nickname check allows it.
    ActiveButton1->SetModalResult(MrNone);
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(nickLabel);
    layout->addLayout(nickRow);
    layout->addWidget(CheckBox6);
    layout->addSpacing(6);
    layout->addWidget(ipLabel);
    layout->addLayout(octets);
    layout->addSpacing(6);
    layout->addWidget(commentLabel);
    layout->addWidget(Edit1);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));

    CheckBox5->setChecked(true);
    connect(CheckBox5, &QCheckBox::toggled, ComboBox1, &QWidget::setEnabled);
    connect(ActiveButton1, &QAbstractButton::clicked, this, &TForm14::ActiveButton1Click);
    ComboBox1->setFocus();
}

void TForm14::ActiveButton1Click() {
    if (!TrimText(ToBytes(ComboBox1->currentText())).isEmpty() || !CheckBox5->isChecked())
        done(MrOk);
}

void TForm14::ShowBan(const TBan& ban) {
    const uint8_t ips[] = {ban.IP1, ban.IP2, ban.IP3, ban.IP4};
    const bool ons[] = {ban.IP1_On, ban.IP2_On, ban.IP3_On, ban.IP4_On};
    for (int i = 0; i < 4; ++i) {
        Octet(i)->SetValue(ips[i]);
        OctetOn(i)->setChecked(ons[i]);
    }
    ComboBox1->setEditText(FromBytes(ban.Nick));
    CheckBox5->setChecked(ban.Nick_On);
    CheckBox6->setChecked(ban.InString);
    Edit1->setText(FromBytes(ban.Comment));
}

void TForm14::ShowUser(const QByteArray& nickname, uint32_t ipv4) {
    ComboBox1->setEditText(FromBytes(nickname));
    for (int i = 0; i < 4; ++i)
        Octet(i)->SetValue(int((ipv4 >> (24 - 8 * i)) & 0xFF));
}

bool TForm14::FillBan(TBan& ban, bool countHit, QString* error) const {
    ban.IP1_On = CheckBox1->isChecked();
    ban.IP2_On = CheckBox2->isChecked();
    ban.IP3_On = CheckBox3->isChecked();
    ban.IP4_On = CheckBox4->isChecked();
    uint8_t* ips[] = {&ban.IP1, &ban.IP2, &ban.IP3, &ban.IP4};
    for (int i = 0; i < 4; ++i) {
        if (!OctetOn(i)->isChecked())
            continue;
        const QString text = Octet(i)->text();
        const std::optional<int32_t> value = StrToInt(ToBytes(text));
        if (!value) {
            if (error)
                *error = QStringLiteral("'%1' is not a valid integer value").arg(text);
            return false;
        }
        *ips[i] = uint8_t(*value & 0xFF);
    }
    if (countHit)
        ++ban.Hits;
    ban.Comment = ToBytes(Edit1->text());
    ban.InString = CheckBox6->isChecked();
    ban.Nick = ToBytes(ComboBox1->currentText());
    ban.Nick_On = CheckBox5->isChecked();
    if (!ban.Nick_On)
        ban.Nick = "*";
    return true;
}

TNumberEdit* TForm14::Octet(int i) const {
    TNumberEdit* const edits[] = {NumberEdit1, NumberEdit2, NumberEdit3, NumberEdit4};
    return edits[i];
}

QCheckBox* TForm14::OctetOn(int i) const {
    QCheckBox* const boxes[] = {CheckBox1, CheckBox2, CheckBox3, CheckBox4};
    return boxes[i];
}

void ShowBanEditor(TServer& server, const TUserHandle& user, TBanId banId, QWidget* parent) {
    TForm14 form(server.Registry(), parent);
    if (banId != 0) {
        const TBan* ban = server.FindBanById(banId);
        if (!ban)
            return;
        form.setWindowTitle(QStringLiteral("EditBan"));
        server.HideBanRow(banId);
        form.ShowBan(*ban);
    } else if (const TConnection* u = server.FindUser(user)) {
        form.ShowUser(u->Nickname, u->IPv4);
    }

    const bool ok = form.exec() == MrOk;
    // The kicked user is the ban's first hit, even if it has gone meanwhile.
    const bool countHit = !user.IsNull();
    QString error;
    if (banId == 0) {
        if (!ok)
            return;
        // Only now does the ban take part in login checks. A box that holds no
        // integer still leaves a ban (and its row) with what was filled so far.
        TBan fields;
        const bool filled = form.FillBan(fields, countHit, &error);
        server.NewBanWithRow(fields);
        if (!filled)
            ErrorBox(parent, error + QLatin1Char('.'));
        return;
    }

    // The ban may have been removed while the dialog was open.
    TBan* ban = server.FindBanById(banId);
    if (!ban)
        return;
    const bool filled = !ok || form.FillBan(*ban, countHit, &error);
    server.ShowBanRow(banId);
    if (!filled)
        ErrorBox(parent, error + QLatin1Char('.'));
}

} // namespace kelvra
