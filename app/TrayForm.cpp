#include "TrayForm.h"

#include "ConsoleIcons.h"
#include "MessageBoxes.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kelvra {

namespace {
int gAvailableOverride = -1; // -1: ask the desktop
} // namespace

TForm5::TForm5(QObject* parent) : QObject(parent) {
    TrayIcon = new QSystemTrayIcon(ConsoleIcons::App(), this);
    // The tip of a notification-area icon holds at most 63 characters.
    TrayIcon->setToolTip(AppTitle().left(63));
    PopupMenu1 = new QMenu;
    RestoreServer1 =
        PopupMenu1->addAction(QStringLiteral("Restore Server"), this, &TForm5::RestoreServer1Click);
    QFont bold = RestoreServer1->font();
    bold.setBold(true);
    RestoreServer1->setFont(bold);
    PopupMenu1->setDefaultAction(RestoreServer1);
    PopupMenu1->addSeparator();
    Exit1 = PopupMenu1->addAction(QStringLiteral("E&xit"), this, &TForm5::Exit1Click);
    MenuDelay = new QTimer(this);
    MenuDelay->setSingleShot(true);
    connect(MenuDelay, &QTimer::timeout, this, [this] { PopupMenu1->popup(MenuAt); });
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                switch (reason) {
                case QSystemTrayIcon::Trigger:
                    TrayIconClick();
                    break;
                case QSystemTrayIcon::Context:
                    TrayIconContextClick();
                    break;
                case QSystemTrayIcon::DoubleClick:
                    TrayIconDblClick();
                    break;
                default:
                    break;
                }
            });
}

TForm5::~TForm5() {
    delete PopupMenu1;
}

bool TForm5::Available() {
    if (gAvailableOverride >= 0)
        return gAvailableOverride == 1;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm5::SetAvailableForTests(bool available) {
    gAvailableOverride = available ? 1 : 0;
}

void TForm5::SetActive(bool active) {
    TrayIcon->setVisible(active);
}

bool TForm5::IsActive() const {
    return TrayIcon->isVisible();
}

void TForm5::TrayIconClick() {
    MenuAt = QCursor::pos();
    MenuDelay->start(QApplication::doubleClickInterval());
}

void TForm5::TrayIconContextClick() {
    MenuDelay->stop();
    PopupMenu1->popup(QCursor::pos());
}

void TForm5::TrayIconDblClick() {
    MenuDelay->stop();
    PopupMenu1->hide();
    emit RestoreRequested();
}

bool TForm5::MenuPending() const {
    return MenuDelay->isActive();
}

} // namespace kelvra
