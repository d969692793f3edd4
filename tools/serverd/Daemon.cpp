#include "Daemon.h"

#include "LoginLog.h"
#include "NetLimitSettings.h"
#include "ServerRuntime.h"
#include "ServerdView.h"
#include "StoreLimitSettings.h"
#include "TextUtil.h"

namespace kelvra {

namespace {

bool SameBans(const TBanList& a, const TBanList& b) {
    if (a.Count() != b.Count())
        return false;
    for (int i = 0; i < a.Count(); ++i) {
        const TBan& x = *a.Bans()[static_cast<size_t>(i)];
        const TBan& y = *b.Bans()[static_cast<size_t>(i)];
        if (x.IP1 != y.IP1 || x.IP2 != y.IP2 || x.IP3 != y.IP3 || x.IP4 != y.IP4 ||
            x.IP1_On != y.IP1_On || x.IP2_On != y.IP2_On || x.IP3_On != y.IP3_On ||
            x.IP4_On != y.IP4_On || x.Nick != y.Nick || x.Nick_On != y.Nick_On ||
            x.InString != y.InString || x.Comment != y.Comment)
            return false;
    }
    return true;
}

QString Shown(const QString& bind) {
    return bind == QLatin1String("<Any Connection>") ? QStringLiteral("0.0.0.0") : bind;
}

} // namespace

TDaemon::TDaemon(TServerdSettings& settings, TServerRuntime& runtime, TServerdView& view,
                 TServerdSettings::TValues started)
    : Settings(settings), Runtime(runtime), View(view), Current(std::move(started)) {
    View.SetLoginLogPath(Runtime.Server().LogFile);
}

void TDaemon::Started(quint16 listenPort) {
    const TServer& core = Runtime.Server();
    QString text = QStringLiteral("started as '%1', listening on %2:%3; settings %4")
                       .arg(FromBytes(Current.Nick), Shown(Current.Bind))
                       .arg(listenPort)
                       .arg(Settings.Store().FilePath());
    if (Settings.HasConfiguration())
        text +=
            QStringLiteral(" under the configuration %1").arg(Settings.CommandLine().ConfigFile);
    text += QStringLiteral("; login log %1; mail file %2").arg(core.LogFile, core.MailFile);
    if (Current.Password.isEmpty())
        text += QStringLiteral("; no password is asked");
    const TConnectionManager& net = Runtime.Connections();
    text += QStringLiteral("; sends: %1").arg(SendPathName(net.SendPathInUse()));
    if (!net.SendPathNote().isEmpty())
        text += QStringLiteral(" (%1)").arg(net.SendPathNote());
    View.Journal(TServerdView::Info, text);
}

int TDaemon::Close() {
    Runtime.Server().SendShutdownNotice();
    QString error;
    const bool saved = Runtime.SaveState(&error);
    if (!saved) // one line for each store that failed
        for (const QString& line : error.split(QLatin1Char('\n')))
            View.Journal(TServerdView::Error, QStringLiteral("save failed: ") + line);
    Runtime.Stop();
    View.Journal(saved ? TServerdView::Info : TServerdView::Error,
                 saved ? QStringLiteral("stopped")
                       : QStringLiteral("stopped; not everything "
                                        "was saved"));
    return saved ? 0 : 1;
}

bool TDaemon::Reload(QString* report) {
    TReloadReport steps;
    ReloadSettings(steps);
    for (const TReloadHook& hook : Hooks)
        hook(steps);
    QStringList lines;
    for (const TReloadReport::TLine& line : steps.Lines()) {
        View.Journal(static_cast<TServerdView::TPriority>(line.Priority),
                     QStringLiteral("reload: ") + line.Text);
        lines << line.Text;
    }
    if (report)
        *report = lines.join(QLatin1Char('\n'));
    return !steps.HasFailed();
}

void TDaemon::ReloadSettings(TReloadReport& report) {
    QString error;
    // What the server changed and has not saved yet reaches the file first,
    // so that reading it again loses nothing.
    if (!Runtime.SaveBansNow(&error)) {
        report.Fail(QStringLiteral("the bans could not be saved first (%1); the settings in use "
                                   "stay")
                        .arg(error));
        return;
    }
    TServerdSettings::TValues next;
    QStringList unread;
    if (!Settings.Reread(&error, &unread) || !Settings.Values(&next, &error)) {
        report.Fail(error + QStringLiteral("; the settings in use stay"));
        return;
    }
    for (const QString& line : unread)
        report.Warn(line);
    report.Note(QStringLiteral("read %1").arg(
        Settings.HasConfiguration() ? Settings.CommandLine().ConfigFile + QStringLiteral(" and ") +
                                          Settings.Store().FilePath()
                                    : Settings.Store().FilePath()));

    TServer& core = Runtime.Server();
    if (next.Password != Current.Password) {
        core.ServerPassword = Current.Password = next.Password;
        report.Note(next.Password.isEmpty()
                        ? QStringLiteral("no password is asked from now on")
                        : QStringLiteral("the server password changed; it is asked from the next "
                                         "login on"));
    }
    const auto needsRestart = [&report](const char* what, const QString& now,
                                        const QString& inUse) {
        if (now != inUse)
            report.Warn(QStringLiteral("the %1 is now %2 in the settings; %3 stays in use until "
                                       "the server is restarted")
                            .arg(QLatin1String(what), now, inUse));
    };
    needsRestart("port", next.Port, Current.Port);
    needsRestart("bind address", Shown(next.Bind), Shown(Current.Bind));
    needsRestart("server nickname", FromBytes(next.Nick), FromBytes(Current.Nick));

    TRegLink& reg = Settings.Store();
    ApplyNetLimits(Runtime.Connections(), reg);
    ApplyStoreLimits(core, reg);

    const QString logFile = reg.ReadString(QString(), QStringLiteral("Logfile"),
                                           TServerRuntime::DefaultFile(QStringLiteral("klog.dat")));
    if (logFile != core.LogFile) {
        LoginLog::EnsureFile(logFile);
        const QString problem = PathWriteProblem(logFile, TWriteMode::Append);
        if (problem.isEmpty()) {
            core.LogFile = logFile;
            View.SetLoginLogPath(logFile);
            report.Note(QStringLiteral("the login log is now %1").arg(logFile));
        } else {
            report.Fail(QStringLiteral("cannot write the login log %1: %2; %3 stays in use")
                            .arg(logFile, problem, core.LogFile));
        }
    }
    const QString mailFile =
        reg.ReadString(QString(), QStringLiteral("Mailfile"),
                       TServerRuntime::DefaultFile(QStringLiteral("kmail.dat")));
    needsRestart("mail file", mailFile, core.MailFile);
    ReloadBans(report);
}

void TDaemon::ReloadBans(TReloadReport& report) {
    TServer& core = Runtime.Server();
    TBanList fresh;
    fresh.Load(Settings.Store());
    if (SameBans(fresh, core.Bans()))
        return; // the bans keep their handles
    for (const auto& ban : core.Bans().Bans())
        core.View().RemoveBanRow(*ban);
    core.Bans().Clear();
    core.LoadBans(Settings.Store());
    report.Note(QStringLiteral("%1 ban(s) in force").arg(core.Bans().Count()));
}

} // namespace kelvra
