#pragma once
// The Server Configuration dialog, opened from the Server Login dialog: the
// server password and the local address to bind. It writes no settings; the
// Server Login dialog keeps the answers.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace kelvra {

class TActiveButton;

class TForm19 : public QDialog {
    Q_OBJECT
public:
    TForm19(const QStringList& addresses, const QString& bindAddress, const QString& password,
            QWidget* parent = nullptr);

    QString BindAddress() const;
    // Empty while "Password :" is not ticked.
    QString Password() const;

    void CheckBox1Click();

    QCheckBox* CheckBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel
};

} // namespace kelvra
