#include "EditMessageForm.h"

#include "ActiveButton.h"
#include "OperatorDialogs.h"
#include "Server.h"
#include "TextUtil.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kelvra {

namespace {

bool HasText(const QByteArray& text) {
    return !TrimText(text).isEmpty();
}

} // namespace

TForm16::TForm16(const TRegistry& users, QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Edit Message"));

    ComboBox1 = NewNicknameBox(users);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox2 = NewNicknameBox(users);
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    auto* targetLabel = new QLabel(QStringLiteral("Target:"));
    targetLabel->setBuddy(ComboBox1);
    auto* senderLabel = new QLabel(QStringLiteral("Sender:"));
    senderLabel->setBuddy(ComboBox2);
    Memo1 = NewMemo();
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* fields = new QGridLayout;
    fields->addWidget(targetLabel, 0, 0);
    fields->addWidget(ComboBox1, 0, 1);
    fields->addWidget(senderLabel, 1, 0);
    fields->addWidget(ComboBox2, 1, 1);
    fields->setColumnStretch(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(Memo1, 1);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    resize(380, 260);

    // The drop-down boxes do not re-evaluate OK: only the message does.
    connect(Memo1, &QPlainTextEdit::textChanged, this, &TForm16::UpdateOk);
    ComboBox1->setFocus();
}

void TForm16::SetFields(const QByteArray& target, const QByteArray& sender, const QByteArray& msg) {
    ComboBox1->setEditText(FromBytes(target));
    ComboBox2->setEditText(FromBytes(sender));
    SetMemoText(Memo1, msg);
}

QByteArray TForm16::Target() const {
    return ToBytes(ComboBox1->currentText());
}

QByteArray TForm16::Sender() const {
    return ToBytes(ComboBox2->currentText());
}

QByteArray TForm16::Message() const {
    return MemoText(Memo1);
}

void TForm16::showEvent(QShowEvent* event) {
    UpdateOk();
    QDialog::showEvent(event);
}

void TForm16::UpdateOk() {
    ActiveButton1->setEnabled(HasText(Target()) && HasText(Sender()) && HasText(Message()));
}

bool EditMail(TServer& server, TMailId id, QWidget* parent) {
    TForm16 form(server.Registry(), parent);
    if (id != 0) {
        const TMailItem* item = server.FindMail(id);
        if (!item)
            return false;
        form.SetFields(item->Target, item->Sender, item->Msg);
    }
    if (form.exec() != MrOk)
        return false;
    // The record may have been delivered or deleted while the dialog was open;
    // then there is nothing to remove, and the edited text still goes out.
    if (id != 0)
        server.RemoveMail(id);
    server.DeliverOrStoreMail(form.Target(), form.Sender(), form.Message());
    return true;
}

} // namespace kelvra
