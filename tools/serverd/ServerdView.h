#pragma once
// What kelvra-serverd shows instead of the console windows: a journal line on
// stderr for every connection, login, refusal, operator action, save failure,
// start, stop and reload, each with a syslog priority prefix that journald
// understands; with --log also one line per record and per error.
#include "ServerView.h"

#include <QString>

namespace kelvra {

class TServerdView : public TQuietView {
public:
    // Syslog priorities of the journal lines.
    enum TPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

    // quiet: only warnings and errors reach the journal.
    explicit TServerdView(bool logTraffic, bool quiet = false)
        : Logging(logTraffic), Quiet(quiet) {}

    bool LogsTraffic() const override { return Logging; }
    void LogPacket(const TDataPacket& packet, bool outgoing) override;
    void ReportSocketError(int code, const QString& function) override;
    void ReportClientFailure(const QString& text) override;

    void Connected(const TConnection& user) override;
    void LoggedIn(const TConnection& user) override;
    void LoggedOn(const TConnection& user, const QByteArray& userName) override;
    void LoginRefused(const TConnection& user, const QByteArray& nickname,
                      const QString& reason) override;
    void LoginLogWritten(bool ok) override;
    void Disconnected(const TConnection& user) override;
    void Kicked(const TConnection& user) override;
    void Removed(const TConnection& user) override;
    void BanAdded(const TBan& ban) override;
    void BanChanged(const TBan& ban) override;
    void BanRemoved(const TBan& ban) override;

    // One journal line, control characters escaped.
    void Journal(TPriority priority, const QString& text);
    // The login log's path, for the line that says it cannot be written.
    void SetLoginLogPath(const QString& path) { LoginLogPath = path; }

    // The last failed socket call, kept even when quiet, for start-up messages.
    QString LastSocketError() const { return LastError; }

    // One traffic line: direction, From, code name, Param1, Param2, True/False,
    // tab-separated, with control characters escaped so a line stays a line.
    // The password of KMS_USER is masked.
    static QByteArray FormatPacket(const TDataPacket& packet, bool outgoing);

private:
    void JournalBytes(TPriority priority, const QByteArray& text);
    static QByteArray Who(const TConnection& user);
    static QByteArray BanText(const TBan& ban);

    bool Logging;
    bool Quiet;
    bool LoginLogFailing = false;
    QString LoginLogPath;
    QString LastError;
};

} // namespace kelvra
