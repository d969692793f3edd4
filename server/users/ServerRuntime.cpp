#include "ServerRuntime.h"

#include "LoginLog.h"
#include "NetLimitSettings.h"
#include "RegLink.h"
#include "StoreLimitSettings.h"
#include "TextUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>

namespace kelvra {

TServerRuntime::TServerRuntime(IServerView& view, TRegLink& reg)
    : Reg(reg), Manager(view), Core(Manager, view) {
    Manager.SetEvents(&Core);
    Manager.SetReleaseHook([this](qsizetype bytes) { Trimmer.NoteReleased(bytes); });
    SaveTimer.setSingleShot(true);
    QObject::connect(&SaveTimer, &QTimer::timeout, [this] { SaveChanges(); });
    Core.StoresChanged = [this](TServer::TStoreKind kind) { StoresChanged(kind); };
}

TServerRuntime::~TServerRuntime() {
    // Without SaveState nothing more is saved (a cancelled start saves nothing);
    // a save already under way is let finish.
    Core.StoresChanged = nullptr;
    SaveTimer.stop();
    if (MailWriter)
        MailWriter->wait();
    Manager.StopSockets();
    Manager.SetEvents(nullptr);
    Manager.SetReleaseHook({});
}

QString TServerRuntime::DefaultFile(const QString& name) {
    // Beside the program (a build tree), unless that folder is not ours to
    // write (an installed copy): then the per-user data folder.
    const QString programDir = QCoreApplication::applicationDirPath();
    if (QFileInfo(programDir).isWritable())
        return QDir(programDir).filePath(name);
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                            QStringLiteral("/Kelvra Chat Server");
    QDir().mkpath(dataDir);
    return QDir(dataDir).filePath(name);
}

void TServerRuntime::ReadPaths() {
    Core.LogFile = Reg.ReadString(QString(), QStringLiteral("Logfile"), DefaultFile("klog.dat"));
    Core.MailFile = Reg.ReadString(QString(), QStringLiteral("Mailfile"), DefaultFile("kmail.dat"));
    LoginLog::EnsureFile(Core.LogFile);
    ApplyNetLimits(Manager, Reg);
    ApplyStoreLimits(Core, Reg);
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
    // The close writes everything itself, after what is being written now.
    SaveTimer.stop();
    BansChanged = MailChanged = false;
    FinishMailWriter();
    QStringList failures;
    QString failure;
    if (!Core.SaveBans(Reg, &failure))
        failures << failure;
    else if (!Reg.WriteString(QString(), QStringLiteral("Logfile"), Core.LogFile) ||
             !Reg.WriteString(QString(), QStringLiteral("Mailfile"), Core.MailFile) || !Reg.Flush())
        failures << Reg.LastError();
    // The mail file does not depend on the settings store: a failure there
    // must not cost the mail.
    if (!Core.SaveMail(&failure))
        failures << failure;
    if (failures.isEmpty())
        return true;
    if (error)
        *error = failures.join(QLatin1Char('\n'));
    return false;
}

void TServerRuntime::StoresChanged(TServer::TStoreKind kind) {
    (kind == TServer::TStoreKind::Bans ? BansChanged : MailChanged) = true;
    // Not restarted by later changes: a steady stream of them must not put
    // the save off for ever.
    if (!SaveTimer.isActive())
        SaveTimer.start(kSaveDelayMs);
}

void TServerRuntime::SaveChanges() {
    if (BansChanged) {
        // A few hundred values: cheap, and QSettings replaces the file in one
        // rename, so a kill leaves the old ban list or the new one.
        BansChanged = false;
        QString failure;
        bool saved = Core.SaveBans(Reg, &failure);
        if (saved && !Reg.Flush()) {
            saved = false;
            failure = Reg.LastError();
        }
        ReportSaveResult(LastBansFailure, saved ? QString() : failure);
    }
    // One writer at a time; changes made meanwhile are saved when it is done.
    if (MailChanged && !MailWriter) {
        MailChanged = false;
        StartMailWriter();
    }
}

void TServerRuntime::StartMailWriter() {
    // Writing a full store takes far longer than copying its records (the
    // texts are shared, not copied), so the file is written on a thread of its
    // own and relaying goes on meanwhile.
    auto error = std::make_shared<QString>();
    MailWriter.reset(
        QThread::create([records = Core.Mail().Snapshot(), path = Core.MailFile, error] {
            TMailStore::SaveRecords(path, records, error.get());
        }));
    MailWriterError = error;
    const uint64_t run = ++MailWriterRun;
    QObject::connect(MailWriter.get(), &QThread::finished, &SaveTimer, [this, run] {
        if (MailWriter && run == MailWriterRun)
            FinishMailWriter();
    });
    MailWriter->start();
}

void TServerRuntime::FinishMailWriter() {
    if (!MailWriter)
        return;
    MailWriter->wait();
    MailWriter.reset();
    const QString failure = *MailWriterError;
    MailWriterError.reset();
    ReportSaveResult(LastMailFailure, failure);
    if (MailChanged && !SaveTimer.isActive())
        SaveTimer.start(0); // these changes have waited long enough
}

void TServerRuntime::ReportSaveResult(QString& last, const QString& error) {
    if (!error.isEmpty() && error != last)
        Core.View().ReportClientFailure(QStringLiteral("Saving failed: %1").arg(error));
    last = error;
}

void TServerRuntime::Stop() {
    Manager.StopSockets();
}

} // namespace kelvra
