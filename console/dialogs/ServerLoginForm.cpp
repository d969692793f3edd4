#include "ServerLoginForm.h"

#include "ActiveButton.h"
#include "ConnectionManager.h"
#include "ConsoleIcons.h"
#include "LoginSettings.h"
#include "MessageBoxes.h"
#include "RegLink.h"
#include "ServerConfigForm.h"
#include "TextUtil.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

namespace kelvra {

namespace {

// Room on the left for the picture.
constexpr int kPictureWidth = 150;

bool HasText(const QString& text) {
    return !TrimText(ToBytes(text)).isEmpty();
}

} // namespace

TForm18::TForm18(TRegLink& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), Settings(settings) {
    setWindowTitle(QStringLiteral("Splash Form"));
    setFixedSize(440, 230);

    Panel1 = new QLabel(QStringLiteral("Server Login"));
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setMinimumHeight(26);
    QFont bold = Panel1->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    Panel1->setFont(bold);

    Edit1 = new QLineEdit;
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit2 = new QComboBox;
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setEditable(true);
    Edit2->setInsertPolicy(QComboBox::NoInsert);
    auto* nickLabel = new QLabel(QStringLiteral("Nickname :"));
    nickLabel->setBuddy(Edit1);
    auto* portLabel = new QLabel(QStringLiteral("Port :"));
    portLabel->setBuddy(Edit2);

    ActiveButton1 = NamedButton(TButtonKind::Ok, "ActiveButton1");
    ActiveButton2 = NamedButton(TButtonKind::Cancel, "ActiveButton2");
    ActiveButton3 = NamedButton(TButtonKind::Custom, "ActiveButton3");
    ActiveButton3->SetCaption(QStringLiteral("Config"));
    ActiveButton1->setEnabled(false);
    // Light texts on the dark picture; the fields keep their usual colours.
    for (QWidget* w : std::initializer_list<QWidget*>{Panel1, nickLabel, portLabel, ActiveButton1,
                                                      ActiveButton2, ActiveButton3}) {
        QPalette pal = w->palette();
        pal.setColor(QPalette::WindowText, Qt::white);
        pal.setColor(QPalette::ButtonText, Qt::white);
        pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(150, 170, 190));
        w->setPalette(pal);
    }

    auto* fields = new QGridLayout;
    fields->addWidget(nickLabel, 0, 0);
    fields->addWidget(Edit1, 0, 1);
    fields->addWidget(portLabel, 1, 0);
    fields->addWidget(Edit2, 1, 1);
    fields->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPictureWidth, 16, 16, 14);
    layout->addWidget(Panel1);
    layout->addSpacing(8);
    layout->addLayout(fields);
    layout->addStretch();
    layout->addLayout(ButtonRow({ActiveButton1, ActiveButton2, ActiveButton3}));

    connect(Edit1, &QLineEdit::textChanged, this, &TForm18::Edit1Change);
    connect(Edit2, &QComboBox::editTextChanged, this, &TForm18::Edit1Change);
    Edit1->installEventFilter(this);
    // Keys reach the combo box first, which passes them on to its edit.
    Edit2->installEventFilter(this);
    Edit2->lineEdit()->installEventFilter(this);
    connect(ActiveButton1, &QAbstractButton::clicked, this, &TForm18::ActiveButton1Click);
    connect(ActiveButton3, &QAbstractButton::clicked, this, &TForm18::ActiveButton3Click);

    FormCreate();
    Edit1Change();
    Edit1->setFocus();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm18::FormCreate() {
    AddressList = QStringList{kAnyConnection} + TConnectionManager::LocalIPv4Addresses();

    const TLoginSettings stored = ReadLoginSettings(Settings, AddressList);
    Bind = stored.BindAddress;
    PasswordText = stored.Password;
    Edit2->addItems(stored.Presets);
    if (stored.Current >= 0)
        Edit2->setCurrentIndex(stored.Current);
    if (Edit2->currentText().isEmpty())
        Edit2->setEditText(stored.Port());
}

QByteArray TForm18::Nickname() const {
    return ToBytes(Edit1->text());
}
QString TForm18::Port() const {
    return Edit2->currentText();
}
QByteArray TForm18::Password() const {
    return ToBytes(PasswordText);
}

void TForm18::Edit1Change() {
    ActiveButton1->setEnabled(HasText(Edit1->text()) && HasText(Edit2->currentText()));
}

bool TForm18::Edit1KeyDown(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    if (HasText(Edit1->text()))
        ActiveButton1->Click(); // even while disabled for want of a port
    return true;
}

QStringList TForm18::Presets() const {
    QStringList presets;
    for (int i = 0; i < Edit2->count(); ++i)
        presets << Edit2->itemText(i);
    return presets;
}

void TForm18::ActiveButton1Click() {
    // The answers still hold for this run; the operator learns they were not kept.
    if (!WriteLoginSettings(Settings, Presets(), Edit2->currentText(), Bind, PasswordText))
        ErrorBox(nullptr, Settings.LastError());
}

void TForm18::ActiveButton3Click() {
    TForm19 config(AddressList, Bind, PasswordText, this);
    if (config.exec() == QDialog::Accepted) {
        Bind = config.BindAddress();
        PasswordText = config.Password();
    }
}

bool TForm18::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && Edit1KeyDown(static_cast<QKeyEvent*>(event)->key()))
        return true;
    return QDialog::eventFilter(watched, event);
}

void TForm18::keyPressEvent(QKeyEvent* event) {
    // No button takes Escape; only Cancel ends the dialog.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm18::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF all = rect();
    QLinearGradient sky(all.topLeft(), all.bottomRight());
    sky.setColorAt(0, QColor(18, 40, 86));
    sky.setColorAt(1, QColor(22, 104, 122));
    p.fillRect(all, sky);

    // Soft rings behind the picture.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
        p.setBrush(QColor(255, 255, 255, 12 + i * 6));
        const double r = 84 - i * 16;
        p.drawEllipse(QPointF(72, 88), r, r);
    }
    ConsoleIcons::PaintApp(p, QRectF(27, 40, 90, 90));

    p.setPen(QColor(235, 242, 250));
    QFont title = font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.25);
    p.setFont(title);
    p.drawText(QRectF(0, 150, kPictureWidth - 4, 24), Qt::AlignCenter, QStringLiteral("Kelvra"));
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    p.setFont(small);
    p.drawText(QRectF(0, 172, kPictureWidth - 4, 20), Qt::AlignCenter,
               QStringLiteral("Chat Server"));

    p.setPen(QPen(QColor(255, 255, 255, 90), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(all.adjusted(0.5, 0.5, -0.5, -0.5));
}

} // namespace kelvra
