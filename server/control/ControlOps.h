#pragma once
// The operations of the control protocol: each request names one operator
// command of the server core, with the console's semantics. A record named by
// nickname, name or id is looked up when the request is handled; one that has
// gone is an error, never another record.
#include "ControlRecords.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <deque>
#include <functional>

namespace kelvra {

class TServerRuntime;
class TServer;

class TControlOps {
public:
    explicit TControlOps(TServerRuntime& runtime);

    // Set at wiring time.
    // "tcp" or "tls" for a connection; "tcp" for all when unset.
    TLinkKindFn LinkKind;
    // Re-reads the configuration; false with the reason. Unset: the reload
    // operation answers that this server cannot reload.
    std::function<bool(QString*)> Reload;
    QString ServerName = QStringLiteral("kelvra-serverd");
    QString Version;

    // One request line to one response line (both without the newline).
    QByteArray HandleLine(const QByteArray& line);
    QJsonObject Handle(const QJsonObject& request);

    // The operation names, in the order the protocol's description gives them.
    static QStringList Operations();

    struct TOutcome {
        QJsonValue Result;
        const char* Code = nullptr; // set on failure
        QString Error;
    };

private:
    using TOp = TOutcome (TControlOps::*)(const QJsonObject&);
    struct TOpEntry {
        const char* Name;
        TOp Run;
    };
    static const TOpEntry kOps[];

    // The user named by args["user"] ({"nick": ...} or {"id": ...}); nullptr
    // with *failure filled when there is none.
    TConnection* FindUser(const QJsonObject& args, TOutcome* failure) const;
    // Looks the user up, acts on it, and answers with the user as it was.
    TOutcome ActOnUser(const QJsonObject& args, const std::function<void(const TUserHandle&)>& act);

    TOutcome Hello(const QJsonObject& args);
    TOutcome Users(const QJsonObject& args);
    TOutcome User(const QJsonObject& args);
    TOutcome Chats(const QJsonObject& args);
    TOutcome Bans(const QJsonObject& args);
    TOutcome Mail(const QJsonObject& args);
    TOutcome Kick(const QJsonObject& args);
    TOutcome KickBan(const QJsonObject& args);
    TOutcome BanAdd(const QJsonObject& args);
    TOutcome BanEdit(const QJsonObject& args);
    TOutcome BanRemove(const QJsonObject& args);
    TOutcome MailAdd(const QJsonObject& args);
    TOutcome MailEdit(const QJsonObject& args);
    TOutcome MailDelete(const QJsonObject& args);
    TOutcome Broadcast(const QJsonObject& args);
    TOutcome Send(const QJsonObject& args);
    TOutcome Ping(const QJsonObject& args);
    TOutcome Remove(const QJsonObject& args);
    TOutcome KillChat(const QJsonObject& args);
    TOutcome Stats(const QJsonObject& args);
    TOutcome DoReload(const QJsonObject& args);

    QJsonObject UserOf(const TConnection& user) const { return UserJson(user, LinkKind); }
    void SampleDeliveries();
    double DeliveriesPerSecond();

    TServerRuntime& Runtime;
    TServer& Core;
    QElapsedTimer Clock;
    // (milliseconds since start, records sent) once a second, the last ten seconds.
    std::deque<std::pair<qint64, uint64_t>> Samples;
    QTimer Sampler;
};

} // namespace kelvra
