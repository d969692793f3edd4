#include "MessageBoxes.h"

#include <QMessageBox>

namespace kelvra {

namespace {

void Show(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

QString AppTitle() {
    return QStringLiteral("Kelvra Chat Server");
}

void ErrorBox(QWidget* parent, const QString& text) {
    Show(parent, QMessageBox::Critical, AppTitle(), text);
}

void PlainMessage(QWidget* parent, const QString& text) {
    Show(parent, QMessageBox::NoIcon, AppTitle(), text);
}

void WarningBox(QWidget* parent, const QString& text) {
    Show(parent, QMessageBox::Warning, AppTitle(), text);
}

void NoPortBox(QWidget* parent) {
    Show(parent, QMessageBox::NoIcon, QStringLiteral("WINSOCK ERROR"),
         QStringLiteral("No Port Specified"));
}

} // namespace kelvra
