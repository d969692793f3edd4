#pragma once
// The notification-area icon that stands in for the console while it is
// minimised, and its menu. The icon opens no menu by itself: a click with
// either button opens the menu at the pointer, a double click restores.
#include <QObject>

class QMenu;
class QAction;
class QSystemTrayIcon;

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

    void TrayIconClick();
    void TrayIconDblClick();
    void RestoreServer1Click() { emit RestoreRequested(); }
    void Exit1Click() { emit ExitRequested(); }

    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* RestoreServer1 = nullptr;
    QAction* Exit1 = nullptr;

signals:
    void RestoreRequested();
    void ExitRequested();
};

} // namespace kelvra
