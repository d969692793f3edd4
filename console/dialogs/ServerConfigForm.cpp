#include "ServerConfigForm.h"

#include "ActiveButton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kelvra {

namespace {

QLabel* Note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

} // namespace

TForm19::TForm19(const QStringList& addresses, const QString& bindAddress, const QString& password,
                 QWidget* parent)
    : QDialog(parent, Qt::Tool) {
    setWindowTitle(QStringLiteral("Server Configuration"));

    auto* passwordGroup = new QGroupBox(QStringLiteral("Server Password"));
    CheckBox1 = new QCheckBox(QStringLiteral("Password :"));
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    Edit1 = new QLineEdit;
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setEchoMode(QLineEdit::Password);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(CheckBox1);
    passwordRow->addWidget(Edit1, 1);
    auto* passwordLayout = new QVBoxLayout(passwordGroup);
    passwordLayout->addWidget(Note(QStringLiteral(
        "Setting a password means that only users with a password can log on to the server.")));
    passwordLayout->addLayout(passwordRow);

    auto* bindingGroup = new QGroupBox(QStringLiteral("Server Binding"));
    ComboBox1 = new QComboBox;
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(false);
    auto* bindingLayout = new QVBoxLayout(bindingGroup);
    bindingLayout->addWidget(Note(QStringLiteral("This option allows multi-homed servers to choose "
                                                 "which outgoing connection they wish to bind the "
                                                 "server to.")));
    bindingLayout->addWidget(ComboBox1);

    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(passwordGroup);
    layout->addWidget(bindingGroup);
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2}));
    setFixedWidth(340);

    ComboBox1->addItems(addresses);
    int selected = 0;
    for (int i = 0; i < addresses.size(); ++i)
        if (addresses[i].compare(bindAddress, Qt::CaseInsensitive) == 0) {
            selected = i;
            break;
        }
    ComboBox1->setCurrentIndex(addresses.isEmpty() ? -1 : selected);

    Edit1->setText(password);
    CheckBox1->setChecked(!password.isEmpty());
    CheckBox1Click();
    connect(CheckBox1, &QCheckBox::toggled, this, &TForm19::CheckBox1Click);
}

QString TForm19::BindAddress() const {
    return ComboBox1->currentText();
}

QString TForm19::Password() const {
    return CheckBox1->isChecked() ? Edit1->text() : QString();
}

void TForm19::CheckBox1Click() {
    const bool ticked = CheckBox1->isChecked();
    Edit1->setEnabled(ticked);
    // Window colour while it can be typed into, button face while it can't.
    const QPalette& app = QApplication::palette();
    const QColor colour = app.color(QPalette::Active, ticked ? QPalette::Base : QPalette::Button);
    QPalette pal = Edit1->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pal.setColor(group, QPalette::Base, colour);
    Edit1->setPalette(pal);
}

} // namespace kelvra
