#include "AdminCommands.h"

#include "AdminOutput.h"
#include "ControlClient.h"
#include "ControlPath.h"
#include "ControlProtocol.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QThread>
#include <cstdio>

namespace kelvra::admin {

namespace {

constexpr int kPingPollMs = 50;

void Say(FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

int Complain(const QString& text, int status = ExitRefused) {
    Say(stderr, QStringLiteral("kelvra-admin: %1\n").arg(text));
    return status;
}

void PrintJson(const QJsonValue& value) {
    const QJsonDocument doc =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    Say(stdout, QString::fromUtf8(doc.toJson(QJsonDocument::Indented)));
}

// The failure of a response as the exit status, with its reason on stderr.
int Refusal(const QJsonObject& response) {
    const QString code = response.value(QStringLiteral("code")).toString();
    const QString error = response.value(QStringLiteral("error")).toString();
    return Complain(error.isEmpty() ? QStringLiteral("the server refused (%1)").arg(code) : error,
                    code == QLatin1String(ControlError::BadRequest) ? ExitUsage : ExitRefused);
}

void PrintResult(const TGlobalOptions& options, const QString& op, const QJsonObject& result) {
    if (options.Json) {
        PrintJson(result);
        return;
    }
    if (op == QLatin1String("users"))
        Say(stdout, UsersTable(result.value(QStringLiteral("users")).toArray()));
    else if (op == QLatin1String("chats"))
        Say(stdout, ChatsTable(result.value(QStringLiteral("chats")).toArray()));
    else if (op == QLatin1String("bans"))
        Say(stdout, BansTable(result.value(QStringLiteral("bans")).toArray()));
    else if (op == QLatin1String("mail"))
        Say(stdout, MailTable(result.value(QStringLiteral("mail")).toArray()));
    else if (op == QLatin1String("stats"))
        Say(stdout, StatsText(result));
    else
        Say(stdout, Outcome(op, result) + QLatin1Char('\n'));
}

// After a ping: asks for the user until its answer is in, it leaves, or the
// wait is over.
int AwaitPing(TControlClient& client, const TGlobalOptions& options, const QJsonObject& sent,
              double waitSeconds, int timeoutMs) {
    const QJsonObject handle{{QStringLiteral("id"), sent.value(QStringLiteral("id"))},
                             {QStringLiteral("socket"), sent.value(QStringLiteral("socket"))}};
    const QDeadlineTimer deadline(qint64(waitSeconds * 1000));
    for (;;) {
        QThread::msleep(kPingPollMs);
        QString error;
        const auto response = client.Call(QStringLiteral("user"),
                                          {{QStringLiteral("user"), handle}}, timeoutMs, &error);
        if (!response)
            return Complain(error);
        if (!response->value(QStringLiteral("ok")).toBool()) {
            if (response->value(QStringLiteral("code")).toString() ==
                QLatin1String(ControlError::NotFound))
                return Complain(
                    QStringLiteral("%1 left before answering the ping").arg(UserName(sent)));
            return Refusal(*response);
        }
        const QJsonObject result = response->value(QStringLiteral("result")).toObject();
        const QJsonObject user = result.value(QStringLiteral("user")).toObject();
        if (!user.value(QStringLiteral("ping_pending")).toBool()) {
            if (options.Json)
                PrintJson(result);
            else
                Say(stdout, QStringLiteral("%1: %2\n")
                                .arg(UserName(user),
                                     PingText(user.value(QStringLiteral("ping_ms")).toInt())));
            return ExitOk;
        }
        if (deadline.hasExpired())
            return Complain(QStringLiteral("no answer from %1 within %2 s (the ping was sent)")
                                .arg(UserName(sent))
                                .arg(waitSeconds));
    }
}

} // namespace

QString ConsoleLines(const std::string& text) {
    QString lines = QString::fromLocal8Bit(text.c_str(), qsizetype(text.size()));
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return lines;
}

int Execute(const TGlobalOptions& options, const TRequest& request) {
    QString path = QString::fromStdString(options.Socket);
    if (path.isEmpty()) {
        QString why;
        path = DefaultAdminSocketPath(&why);
        if (path.isEmpty())
            return Complain(
                QStringLiteral("no control socket to talk to (%1); give --socket PATH").arg(why));
    }
    const int timeoutMs = int(qBound(0.1, options.Timeout, 86400.0) * 1000);
    TControlClient client;
    QString error;
    if (!client.Connect(path, &error))
        return Complain(error);
    const auto response = client.Call(request.Op, request.Args, timeoutMs, &error);
    if (!response)
        return Complain(error);
    if (!response->value(QStringLiteral("ok")).toBool())
        return Refusal(*response);
    const QJsonObject result = response->value(QStringLiteral("result")).toObject();
    if (request.Op == QLatin1String("ping") && request.PingWait > 0)
        return AwaitPing(client, options, result.value(QStringLiteral("user")).toObject(),
                         request.PingWait, timeoutMs);
    PrintResult(options, request.Op, result);
    return ExitOk;
}

} // namespace kelvra::admin
