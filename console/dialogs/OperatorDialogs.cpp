#include "OperatorDialogs.h"

#include "ActiveButton.h"
#include "ConsoleIcons.h"
#include "MessageBoxes.h"
#include "Registry.h"
#include "TextUtil.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextDocument>
#include <QVBoxLayout>

namespace kelvra {

namespace {

// Enter and Escape that no control took must not reach QDialog, which would
// end the dialog as if a button had been pressed.
class TNoDialogKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)
                return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void SetUpToolDialog(QDialog* dialog, const QString& caption) {
    dialog->setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
    dialog->setWindowTitle(caption);
    dialog->setModal(true);
    dialog->installEventFilter(new TNoDialogKeys(dialog));
}

void FillNicknames(QComboBox* box, const TRegistry& users) {
    for (const auto& user : users.Users())
        box->addItem(FromBytes(user->Nickname));
}

QComboBox* NewNicknameBox(const TRegistry& users) {
    auto* box = new QComboBox;
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumWidth(160);
    FillNicknames(box, users);
    box->setCurrentIndex(-1);
    box->setEditText(QString());
    return box;
}

QPlainTextEdit* NewMemo() {
    auto* memo = new QPlainTextEdit;
    memo->setObjectName(QStringLiteral("Memo1"));
    memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memo->setTabChangesFocus(true);
    return memo;
}

QByteArray MemoText(const QPlainTextEdit* memo) {
    // The raw text keeps every character; only the line ends are rewritten.
    QString text = memo->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return ToBytes(text);
}

void SetMemoText(QPlainTextEdit* memo, const QByteArray& text) {
    QString lines = FromBytes(text);
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    memo->setPlainText(lines);
}

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, AppTitle());

    auto* image = new QLabel;
    image->setPixmap(ConsoleIcons::App().pixmap(32, 32));
    image->setAlignment(Qt::AlignTop);
    auto* title = new QLabel(AppTitle());
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto* release = new QLabel(QStringLiteral("Release 8.100"));
    auto* credits = new QLabel(QStringLiteral("A chat server with an operator console.\n"
                                              "Written by the Kelvra developers.\n"
                                              "Built with Qt."));

    auto* lines = new QVBoxLayout;
    lines->addWidget(title);
    lines->addWidget(release);
    lines->addSpacing(8);
    lines->addWidget(credits);
    auto* top = new QHBoxLayout;
    top->addWidget(image);
    top->addSpacing(12);
    top->addLayout(lines, 1);

    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(ButtonRow({ActiveButton1}));

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TForm7::TForm7(QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Broadcast Message"));
    Memo1 = NewMemo();
    CheckBox1 = new QCheckBox(QStringLiteral("Send Anonomously"));
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo1, 1);
    layout->addWidget(CheckBox1);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    resize(360, 220);
    Memo1->setFocus();
}

QByteArray TForm7::Text() const {
    return MemoText(Memo1);
}

bool TForm7::Anonymous() const {
    return CheckBox1->isChecked();
}

namespace {

// A label and the nickname box it names, on one line.
QHBoxLayout* NicknameRow(const QString& text, QComboBox* box) {
    box->setObjectName(QStringLiteral("ComboBox1"));
    auto* label = new QLabel(text);
    label->setBuddy(box);
    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(box, 1);
    return row;
}

} // namespace

TForm8::TForm8(const TRegistry& users, QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Kick"));
    ComboBox1 = NewNicknameBox(users);
    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(NicknameRow(QStringLiteral("Nickname:"), ComboBox1));
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    ComboBox1->setFocus();
}

QByteArray TForm8::Nickname() const {
    return ToBytes(ComboBox1->currentText());
}

TForm9::TForm9(const TRegistry& users, QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Send Message"));
    ComboBox1 = NewNicknameBox(users);
    Memo1 = NewMemo();
    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(NicknameRow(QStringLiteral("To:"), ComboBox1));
    layout->addWidget(Memo1, 1);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    resize(360, 240);
    Memo1->setFocus();
}

void TForm9::SetTo(const QByteArray& nickname) {
    ComboBox1->setEditText(FromBytes(nickname));
}

QByteArray TForm9::To() const {
    return ToBytes(ComboBox1->currentText());
}

QByteArray TForm9::Text() const {
    return MemoText(Memo1);
}

TForm13::TForm13(const QString& text, QWidget* parent) : QDialog(parent) {
    SetUpToolDialog(this, QStringLiteral("Remove"));
    Label1 = new QLabel(text);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    ActiveButton1 = NamedButton(TButtonKind::Yes, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::No, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1, 1);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    setMinimumWidth(320);
}

} // namespace kelvra
