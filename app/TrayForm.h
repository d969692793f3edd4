#pragma once
// The notification-area icon that stands in for the console while it is
// minimised, and its menu. The icon opens no menu by itself: a click with
// either button opens the menu at the pointer, a double click restores.
#include <QObject>
#include <QPoint>

class QMenu;
class QAction;
class QSystemTrayIcon;
class QTimer;

namespace kelvra {

class TForm5 : public QObject {
    Q_OBJECT
public:
    explicit TForm5(QObject* parent = nullptr);
    ~TForm5() override;

    // Whether the desktop has a notification area; without one the console is
    // never hidden (it would have no visible handle).
    static bool Available();
    // Tests stand in for a desktop with a notification area.
    static void SetAvailableForTests(bool available);

    void SetActive(bool active);
    bool IsActive() const;

    // A left click opens the menu only once the double-click interval has
    // passed without a second click: an open menu would take that click.
    void TrayIconClick();
    // A right click cannot start a double click: the menu opens at once.
    void TrayIconContextClick();
    void TrayIconDblClick();
    bool MenuPending() const;
    void RestoreServer1Click() { emit RestoreRequested(); }
    void Exit1Click() { emit ExitRequested(); }

    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* RestoreServer1 = nullptr;
    QAction* Exit1 = nullptr;

signals:
    void RestoreRequested();
    void ExitRequested();

private:
    QTimer* MenuDelay = nullptr;
    QPoint MenuAt;
};

} // namespace kelvra
