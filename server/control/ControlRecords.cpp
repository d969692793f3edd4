#include "ControlRecords.h"

#include "TextUtil.h"

#include <QJsonArray>
#include <QStringList>

namespace kelvra {

namespace {

QJsonValue TimeJson(const QDateTime& time) {
    return time.isValid() ? QJsonValue(time.toString(Qt::ISODate)) : QJsonValue();
}

QJsonValue Text(const QByteArray& bytes) {
    return FromBytes(bytes);
}

} // namespace

QJsonObject UserJson(const TConnection& user, const TLinkKindFn& linkKind) {
    QJsonObject o;
    o.insert(QStringLiteral("id"), double(user.Order));
    o.insert(QStringLiteral("socket"), double(user.Socket));
    o.insert(QStringLiteral("nick"), Text(user.Nickname));
    // "listed": the login succeeded (the console shows a Users row);
    // "logged_on": the password was accepted too.
    o.insert(QStringLiteral("listed"), user.HasUserRow);
    o.insert(QStringLiteral("logged_on"), user.LoggedIn);
    o.insert(QStringLiteral("user_name"), user.UserName ? Text(*user.UserName) : QJsonValue());
    o.insert(QStringLiteral("address"), QString::fromLatin1(user.DottedAddress()));
    o.insert(QStringLiteral("port"), int(user.Port));
    o.insert(QStringLiteral("icon"), int(user.IconId));
    o.insert(QStringLiteral("link"), linkKind ? linkKind(user.Socket) : QStringLiteral("tcp"));
    o.insert(QStringLiteral("login_time"), TimeJson(user.LoginTime));
    // The last round trip; null while a ping waits for its answer ("Wait..."
    // in the console) and for a connection never pinged.
    const bool shown = !user.PingPending && user.PingMeasured;
    o.insert(QStringLiteral("ping_ms"), shown ? QJsonValue(int(user.PingTime)) : QJsonValue());
    o.insert(QStringLiteral("ping_pending"), user.PingPending);
    QJsonArray chats;
    for (const auto& entry : user.Chats)
        chats.append(Text(entry.second->Name));
    o.insert(QStringLiteral("chats"), chats);
    return o;
}

QJsonObject ChatJson(const TChat& chat) {
    QJsonArray users;
    for (const TConnection* member : chat.MembersByOrder)
        users.append(Text(member->Nickname));
    return QJsonObject{{QStringLiteral("id"), double(chat.Id())},
                       {QStringLiteral("name"), Text(chat.Name)},
                       {QStringLiteral("secure"), chat.Secure},
                       {QStringLiteral("members"), chat.MemberCount()},
                       {QStringLiteral("users"), users},
                       {QStringLiteral("created"), TimeJson(chat.Created)}};
}

QJsonObject BanJson(const TBan& ban) {
    const QJsonArray octets{int(ban.IP1), int(ban.IP2), int(ban.IP3), int(ban.IP4)};
    const QJsonArray octetsOn{ban.IP1_On, ban.IP2_On, ban.IP3_On, ban.IP4_On};
    return QJsonObject{{QStringLiteral("id"), double(ban.Id)},
                       {QStringLiteral("nick"), Text(ban.Nick)},
                       {QStringLiteral("nick_on"), ban.Nick_On},
                       {QStringLiteral("within"), ban.InString},
                       {QStringLiteral("ip"), octets},
                       {QStringLiteral("ip_on"), octetsOn},
                       {QStringLiteral("nick_mask"), TBanList::DisplayNick(ban)},
                       {QStringLiteral("ip_mask"), TBanList::DisplayIP(ban)},
                       {QStringLiteral("hits"), int(ban.Hits)},
                       {QStringLiteral("comment"), Text(ban.Comment)}};
}

QJsonObject MailJson(const TMailItem& item) {
    return QJsonObject{{QStringLiteral("id"), double(item.Id)},
                       {QStringLiteral("target"), Text(item.Target)},
                       {QStringLiteral("sender"), Text(item.Sender)},
                       {QStringLiteral("message"), Text(item.Msg)}};
}

std::optional<QByteArray> WireText(const QString& text) {
    QByteArray bytes = ToBytes(text);
    if (FromBytes(bytes) != text)
        return std::nullopt;
    return bytes;
}

bool ApplyBanFields(const QJsonObject& args, TBan& ban, QString* error) {
    TBan out = ban;
    if (args.contains(QStringLiteral("nick"))) {
        const QJsonValue nick = args.value(QStringLiteral("nick"));
        if (nick.isNull()) {
            out.Nick_On = false;
            out.Nick = "*";
        } else {
            const std::optional<QByteArray> mask =
                nick.isString() ? WireText(nick.toString()) : std::nullopt;
            if (!mask) {
                *error = QStringLiteral("\"nick\" must be a text of code page 1252, or null");
                return false;
            }
            // The editor's rule: a nickname test needs a mask that is not blank.
            if (TrimText(*mask).isEmpty()) {
                *error = QStringLiteral("the nickname mask is blank");
                return false;
            }
            out.Nick_On = true;
            out.Nick = *mask;
        }
    }
    if (args.contains(QStringLiteral("within"))) {
        const QJsonValue within = args.value(QStringLiteral("within"));
        if (!within.isBool()) {
            *error = QStringLiteral("\"within\" must be true or false");
            return false;
        }
        out.InString = within.toBool();
    }
    if (args.contains(QStringLiteral("ip"))) {
        const QJsonValue ip = args.value(QStringLiteral("ip"));
        const QStringList parts = ip.toString().split(QLatin1Char('.'));
        uint8_t* octets[] = {&out.IP1, &out.IP2, &out.IP3, &out.IP4};
        bool* ons[] = {&out.IP1_On, &out.IP2_On, &out.IP3_On, &out.IP4_On};
        bool good = ip.isString() && parts.size() == 4;
        for (int i = 0; good && i < 4; ++i) {
            const QString& part = parts[i];
            if (part == QLatin1String("*")) {
                *ons[i] = false; // the octet keeps its value, as in the editor
                continue;
            }
            bool number = false;
            const uint value = part.toUInt(&number);
            good = number && value <= 255 && !part.isEmpty() && part.front().isDigit();
            if (good) {
                *octets[i] = uint8_t(value);
                *ons[i] = true;
            }
        }
        if (!good) {
            *error = QStringLiteral("\"ip\" must be four octets 0..255 or *, joined by dots "
                                    "(192.168.*.*), not '%1'")
                         .arg(ip.toVariant().toString());
            return false;
        }
    }
    if (args.contains(QStringLiteral("comment"))) {
        const QJsonValue comment = args.value(QStringLiteral("comment"));
        const std::optional<QByteArray> text =
            comment.isString() ? WireText(comment.toString()) : std::nullopt;
        if (!text) {
            *error = QStringLiteral("\"comment\" must be a text of code page 1252");
            return false;
        }
        out.Comment = *text;
    }
    ban = out;
    return true;
}

} // namespace kelvra
