#include "AdminOutput.h"

#include <QDateTime>

namespace kelvra::admin {

namespace {

constexpr int kMessageCells = 60; // longer mail texts are cut in the table

QString TimeCell(const QJsonValue& value) {
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("-");
}

QString Str(const QJsonObject& o, const char* key) {
    return o.value(QLatin1String(key)).toString();
}

QString Num(const QJsonObject& o, const char* key) {
    return QString::number(o.value(QLatin1String(key)).toDouble(), 'f', 0);
}

QString Bytes(double bytes) {
    if (bytes < 0)
        return QStringLiteral("unknown");
    return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

QString Duration(qint64 seconds) {
    const qint64 days = seconds / 86400;
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'))
                              .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return days > 0 ? QStringLiteral("%1d %2").arg(days).arg(clock) : clock;
}

} // namespace

QString Cell(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else
            out += c;
    }
    return out;
}

QString RenderTable(const QStringList& headers, const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QString& h : headers)
        widths << h.size();
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], row[i].size());
    auto line = [&widths](const QStringList& cells) {
        QString out;
        for (qsizetype i = 0; i < cells.size(); ++i) {
            if (i > 0)
                out += QStringLiteral("  ");
            out += i + 1 < cells.size() ? cells[i].leftJustified(widths[i]) : cells[i];
        }
        // No trailing blanks when the last cells are empty.
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        return out + QLatin1Char('\n');
    };
    QString out = line(headers);
    for (const QStringList& row : rows)
        out += line(row);
    return out;
}

QString PingText(int ms) {
    if (ms < 100)
        return QStringLiteral("%1 ms").arg(ms);
    return QString::number(ms / 1000.0, 'g', 15) + QStringLiteral(" s");
}

QString UserName(const QJsonObject& user) {
    const QString nick = Str(user, "nick");
    const QString id = Num(user, "id");
    if (nick.isEmpty())
        return QStringLiteral("the connection with id %1").arg(id);
    return QStringLiteral("%1 (id %2)").arg(Cell(nick), id);
}

QString UsersTable(const QJsonArray& users) {
    if (users.isEmpty())
        return QStringLiteral("No users are connected.\n");
    QList<QStringList> rows;
    for (const QJsonValue& v : users) {
        const QJsonObject u = v.toObject();
        const QJsonValue name = u.value(QStringLiteral("user_name"));
        const QJsonValue ping = u.value(QStringLiteral("ping_ms"));
        QString pingCell = QStringLiteral("-");
        if (ping.isDouble())
            pingCell = PingText(ping.toInt());
        else if (u.value(QStringLiteral("ping_pending")).toBool())
            pingCell = QStringLiteral("Wait...");
        const QString nick = Str(u, "nick");
        rows << QStringList{nick.isEmpty() ? QStringLiteral("-") : Cell(nick),
                            name.isString()                              ? Cell(name.toString())
                            : u.value(QStringLiteral("listed")).toBool() ? QStringLiteral("Wait...")
                                                                         : QStringLiteral("-"),
                            Num(u, "id"),
                            Num(u, "socket"),
                            Str(u, "link"),
                            Str(u, "address"),
                            Num(u, "port"),
                            Num(u, "icon"),
                            TimeCell(u.value(QStringLiteral("login_time"))),
                            pingCell};
    }
    return RenderTable({QStringLiteral("Nickname"), QStringLiteral("Username"),
                        QStringLiteral("ID"), QStringLiteral("Socket"), QStringLiteral("Link"),
                        QStringLiteral("IP Address"), QStringLiteral("Port"),
                        QStringLiteral("Icon ID"), QStringLiteral("Start Time"),
                        QStringLiteral("Ping Time")},
                       rows);
}

QString ChatsTable(const QJsonArray& chats) {
    if (chats.isEmpty())
        return QStringLiteral("No chats are open.\n");
    QList<QStringList> rows;
    for (const QJsonValue& v : chats) {
        const QJsonObject c = v.toObject();
        rows << QStringList{Cell(Str(c, "name")), Num(c, "id"), Num(c, "members"),
                            c.value(QStringLiteral("secure")).toBool() ? QStringLiteral("Yes")
                                                                       : QStringLiteral("No"),
                            TimeCell(c.value(QStringLiteral("created")))};
    }
    return RenderTable({QStringLiteral("Chat Name"), QStringLiteral("ID"), QStringLiteral("Users"),
                        QStringLiteral("Secure"), QStringLiteral("Start Time")},
                       rows);
}

QString BansTable(const QJsonArray& bans) {
    if (bans.isEmpty())
        return QStringLiteral("No bans.\n");
    QList<QStringList> rows;
    for (const QJsonValue& v : bans) {
        const QJsonObject b = v.toObject();
        rows << QStringList{Num(b, "id"), Cell(Str(b, "nick_mask")), Str(b, "ip_mask"),
                            Num(b, "hits"), Cell(Str(b, "comment"))};
    }
    return RenderTable({QStringLiteral("ID"), QStringLiteral("Nickname Mask"), QStringLiteral("IP"),
                        QStringLiteral("Hits"), QStringLiteral("Comment")},
                       rows);
}

QString MailTable(const QJsonArray& mail) {
    if (mail.isEmpty())
        return QStringLiteral("No mail is stored.\n");
    QList<QStringList> rows;
    for (const QJsonValue& v : mail) {
        const QJsonObject m = v.toObject();
        QString text = Cell(Str(m, "message"));
        if (text.size() > kMessageCells)
            text = text.left(kMessageCells - 3) + QStringLiteral("...");
        rows << QStringList{Num(m, "id"), Cell(Str(m, "target")), Cell(Str(m, "sender")), text};
    }
    return RenderTable({QStringLiteral("ID"), QStringLiteral("Target"), QStringLiteral("Sender"),
                        QStringLiteral("Message")},
                       rows);
}

QString StatsText(const QJsonObject& s) {
    const QList<QStringList> rows{
        {QStringLiteral("Connections:"), Num(s, "connections")},
        {QStringLiteral("Users:"),
         QStringLiteral("%1 (%2 logged on)").arg(Num(s, "users"), Num(s, "logged_on"))},
        {QStringLiteral("Chats:"), Num(s, "chats")},
        {QStringLiteral("Bans:"), Num(s, "bans")},
        {QStringLiteral("Mails:"), Num(s, "mails")},
        {QStringLiteral("Deliveries:"),
         QStringLiteral("%1 in all, %2 per second over the last 10 s")
             .arg(Num(s, "deliveries"))
             .arg(s.value(QStringLiteral("deliveries_per_second")).toDouble(), 0, 'f', 1)},
        {QStringLiteral("Memory (RSS):"), Bytes(s.value(QStringLiteral("rss_bytes")).toDouble())},
        {QStringLiteral("Uptime:"),
         Duration(qint64(s.value(QStringLiteral("uptime_seconds")).toDouble()))},
    };
    QString out;
    for (const QStringList& row : rows)
        out += row[0].leftJustified(15) + row[1] + QLatin1Char('\n');
    return out;
}

QString Outcome(const QString& op, const QJsonObject& r) {
    const QJsonObject user = r.value(QStringLiteral("user")).toObject();
    const QJsonObject ban = r.value(QStringLiteral("ban")).toObject();
    auto banText = [&ban] {
        return QStringLiteral("ban %1: %2 from %3")
            .arg(Num(ban, "id"), Cell(Str(ban, "nick_mask")), Str(ban, "ip_mask"));
    };
    auto mailText = [&r] {
        if (r.value(QStringLiteral("delivered")).toBool())
            return QStringLiteral("Delivered at once: the target is connected.");
        const QJsonObject mail = r.value(QStringLiteral("mail")).toObject();
        return QStringLiteral("Stored as mail %1 for %2.")
            .arg(Num(mail, "id"), Cell(Str(mail, "target")));
    };
    if (op == QLatin1String("kick"))
        return QStringLiteral("Kicked %1.").arg(UserName(user));
    if (op == QLatin1String("kick-ban"))
        return QStringLiteral("Kicked %1; added %2.").arg(UserName(user), banText());
    if (op == QLatin1String("ban-add"))
        return QStringLiteral("Added %1.").arg(banText());
    if (op == QLatin1String("ban-edit"))
        return QStringLiteral("Changed %1.").arg(banText());
    if (op == QLatin1String("ban-remove"))
        return QStringLiteral("Removed %1.").arg(banText());
    if (op == QLatin1String("mail-add") || op == QLatin1String("mail-edit"))
        return mailText();
    if (op == QLatin1String("mail-delete"))
        return QStringLiteral("Deleted mail %1.")
            .arg(Num(r.value(QStringLiteral("mail")).toObject(), "id"));
    if (op == QLatin1String("broadcast"))
        return QStringLiteral("Sent to %1 connections.").arg(Num(r, "recipients"));
    if (op == QLatin1String("send"))
        return QStringLiteral("Sent to %1.").arg(UserName(user));
    if (op == QLatin1String("ping"))
        return QStringLiteral("Ping sent to %1.").arg(UserName(user));
    if (op == QLatin1String("remove"))
        return QStringLiteral("Removed %1; its connection stays open but is no longer read.")
            .arg(UserName(user));
    if (op == QLatin1String("kill-chat")) {
        const QJsonObject chat = r.value(QStringLiteral("chat")).toObject();
        const int members = chat.value(QStringLiteral("members")).toInt();
        return QStringLiteral("Asked the members of %1 to leave it (%2 %3 sent).")
            .arg(Cell(Str(chat, "name")))
            .arg(members)
            .arg(members == 1 ? QStringLiteral("request") : QStringLiteral("requests"));
    }
    if (op == QLatin1String("reload")) {
        const QString message = Str(r, "message");
        return message.isEmpty() ? QStringLiteral("Reloaded.")
                                 : QStringLiteral("Reloaded: ") + message;
    }
    return QString();
}

} // namespace kelvra::admin
