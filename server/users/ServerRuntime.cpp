#include "ServerRuntime.h"

#include "LoginLog.h"
#include "NetLimitSettings.h"
#include "RegLink.h"
#include "TextUtil.h"

#include <QCoreApplication>
#include <QDir>

namespace kelvra {

TServerRuntime::TServerRuntime(IServerView& view, TRegLink& reg)
    : Reg(reg), Manager(view), Core(Manager, view) {
    Manager.SetEvents(&Core);
}

TServerRuntime::~TServerRuntime() {
    Manager.StopSockets();
    Manager.SetEvents(nullptr);
}

QString TServerRuntime::DefaultFile(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

void TServerRuntime::ReadPaths() {
    Core.LogFile = Reg.ReadString(QString(), QStringLiteral("Logfile"), DefaultFile("klog.dat"));
    Core.MailFile = Reg.ReadString(QString(), QStringLiteral("Mailfile"), DefaultFile("kmail.dat"));
    LoginLog::EnsureFile(Core.LogFile);
    ApplyNetLimits(Manager, Reg);
}

void TServerRuntime::LoadStores() {
    Core.LoadBans(Reg);
    Core.LoadMail();
}

TConnectionManager::ListenResult TServerRuntime::Start(const QByteArray& serverNick,
                                                       const QString& port,
                                                       const QByteArray& password,
                                                       const QString& bindAddress) {
    Core.ServerNick = serverNick;
    Core.ServerPassword = password;
    Port = port;
    Manager.StartSockets();
    return Manager.OpenListener(port, bindAddress);
}

QString TServerRuntime::Caption(const QString& title) const {
    if (Manager.HostName().isEmpty())
        return QString();
    return QStringLiteral("%1 - %2 [%3(%4):%5]")
        .arg(title, FromBytes(Core.ServerNick), Manager.HostName(), Manager.HostAddress(), Port);
}

bool TServerRuntime::SaveState(QString* error) {
    if (!Core.SaveBans(Reg, error))
        return false;
    if (!Reg.WriteString(QString(), QStringLiteral("Logfile"), Core.LogFile) ||
        !Reg.WriteString(QString(), QStringLiteral("Mailfile"), Core.MailFile) || !Reg.Flush()) {
        if (error)
            *error = Reg.LastError();
        return false;
    }
    return Core.SaveMail(error);
}

void TServerRuntime::Stop() {
    Manager.StopSockets();
}

} // namespace kelvra
