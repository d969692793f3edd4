#include "SessionLogOff.h"

#include "MessageBoxes.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMessageBox>
#include <QSessionManager>

namespace kelvra {

namespace {

struct TLogOutCall {
    const char* Service;
    const char* Path;
    const char* Interface;
    const char* Method;
    QVariantList Arguments;
};

} // namespace

void RequestLogOff() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return;
    // Plain log-outs: no confirmation asked, nothing forced, so programs may
    // still refuse. The first session manager present gets the request.
    const TLogOutCall calls[] = {
        {"org.gnome.SessionManager",
         "/org/gnome/SessionManager",
         "org.gnome.SessionManager",
         "Logout",
         {QVariant::fromValue(1u)}},
        {"org.kde.Shutdown", "/Shutdown", "org.kde.Shutdown", "logout", {}},
        {"org.kde.ksmserver", "/KSMServer", "org.kde.KSMServerInterface", "logout", {0, 0, 0}},
        {"org.xfce.SessionManager",
         "/org/xfce/SessionManager",
         "org.xfce.Session.Manager",
         "Logout",
         {false, true}},
        {"org.lxqt.session", "/LXQtSession", "org.lxqt.session", "logout", {}},
    };
    for (const TLogOutCall& call : calls) {
        const QString service = QString::fromLatin1(call.Service);
        if (!bus.interface()->isServiceRegistered(service))
            continue;
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, QString::fromLatin1(call.Path), QString::fromLatin1(call.Interface),
            QString::fromLatin1(call.Method));
        message.setArguments(call.Arguments);
        bus.asyncCall(message); // the answer is not waited for
        return;
    }
}

void RefuseSessionEnd(QSessionManager& manager, QWidget* parent) {
#ifndef QT_NO_SESSIONMANAGER
    if (!manager.allowsInteraction())
        return;
    QMessageBox::information(parent, AppTitle(),
                             QStringLiteral("Kelvra Server is still running. Either shut it "
                                            "down, or log off using the Server's main menu."));
    manager.release();
    manager.cancel();
#else
    Q_UNUSED(manager);
    Q_UNUSED(parent);
#endif
}

} // namespace kelvra
