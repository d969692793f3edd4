#pragma once
// The Server Login dialog shown at start-up: the server's nickname and port,
// and through Config the server password and the local address to bind. It
// remembers the interface, the password and the port presets in the settings.
#include <QDialog>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;

namespace kelvra {

class TActiveButton;
class TRegLink;

class TForm18 : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDefaultPort = 1024;

    explicit TForm18(TRegLink& settings, QWidget* parent = nullptr);

    // The answers; the nickname exactly as typed (not trimmed).
    QByteArray Nickname() const;
    QString Port() const;
    QByteArray Password() const;
    QString BindAddress() const { return Bind; }
    QStringList Addresses() const { return AddressList; }

    void Edit1Change();
    // Enter in either field: OK when a nickname is there, whatever the port.
    bool Edit1KeyDown(int key);
    void ActiveButton1Click();
    void ActiveButton3Click();

    QLabel* Panel1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QComboBox* Edit2 = nullptr;
    TActiveButton* ActiveButton1 = nullptr; // OK
    TActiveButton* ActiveButton2 = nullptr; // Cancel
    TActiveButton* ActiveButton3 = nullptr; // Config

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void FormCreate();
    QStringList Presets() const;

    TRegLink& Settings;
    QStringList AddressList;
    QString Bind;
    QString PasswordText;
};

} // namespace kelvra
