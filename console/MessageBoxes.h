#pragma once
// The console's modal message boxes. Every one carries the application title
// as its caption, except the start-up box "No Port Specified".
#include <QString>

class QWidget;

namespace kelvra {

QString AppTitle();

// Error icon, one OK button.
void ErrorBox(QWidget* parent, const QString& text);
// No icon, one OK button.
void PlainMessage(QWidget* parent, const QString& text);
// Warning icon, one OK button.
void WarningBox(QWidget* parent, const QString& text);
// No icon, one OK button, caption "WINSOCK ERROR".
void NoPortBox(QWidget* parent);

} // namespace kelvra
