#include "ClientSession.h"

#include "PacketCodes.h"
#include "TextUtil.h"

namespace kelvra {

namespace {

bool IsControl(ushort c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

QString Hex2(ushort c) {
    return QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
}

// A server text made safe for a terminal: no escape sequences, no line breaks.
QString Shown(const QByteArray& bytes) {
    const QString text = FromBytes(bytes);
    QString out;
    out.reserve(text.size());
    for (QChar ch : text) {
        if (IsControl(ch.unicode()))
            out += Hex2(ch.unicode());
        else
            out += ch;
    }
    return out;
}

QString Quoted(const QByteArray& bytes) {
    QString out = QStringLiteral("\"");
    for (QChar ch : FromBytes(bytes)) {
        if (ch == QLatin1Char('"') || ch == QLatin1Char('\\'))
            out += QLatin1Char('\\') + QString(ch);
        else if (IsControl(ch.unicode()))
            out += Hex2(ch.unicode());
        else
            out += ch;
    }
    return out + QLatin1Char('"');
}

QString ShownNick(const QByteArray& nick) {
    return nick.isEmpty() ? QStringLiteral("(no nickname)") : Shown(nick);
}

QString ChatLine(const TDataPacket& p) {
    const QString room = QStringLiteral("[%1] ").arg(Shown(p.Param1));
    if (p.Param2.isEmpty())
        return room;
    const QString text = Shown(p.Param2.mid(1));
    switch (p.Param2[0]) {
    case 'N':
        return room + text;
    case 'E':
        return room + QStringLiteral("* ") + text;
    case 'S':
        return room + QStringLiteral("-- ") + text;
    default:
        return room + Shown(p.Param2);
    }
}

QString MessageLine(const TDataPacket& p, const QString& serverNick) {
    const QString from = ShownNick(p.Param1);
    const QString text = Shown(p.Param2);
    if (p.Switch)
        return QStringLiteral("Private message from %1 [anonymous]: %2").arg(from, text);
    if (!serverNick.isEmpty() && FromBytes(p.Param1) == serverNick)
        return QStringLiteral("Notice from %1: %2").arg(from, text);
    return QStringLiteral("Private message from %1: %2").arg(from, text);
}

template <class T, class F> qsizetype FindByName(const QList<T>& list, const QString& name, F key) {
    for (qsizetype i = 0; i < list.size(); ++i)
        if (key(list[i]) == name)
            return i;
    const QByteArray bytes = ToBytes(name);
    for (qsizetype i = 0; i < list.size(); ++i)
        if (SameTextAscii(ToBytes(key(list[i])), bytes))
            return i;
    return -1;
}

} // namespace

QString RenderPacket(const TDataPacket& p, const QString& serverNick) {
    switch (p.Code) {
    case KMC_STATUS:
        return QStringLiteral("Server status: ") + Shown(p.Param1);
    case KMC_ADDCHAT:
        return QStringLiteral("Room available: ") + Shown(p.Param1) +
               (p.Switch ? QStringLiteral(" (secure)") : QString());
    case KMC_ADDUSER:
        return QStringLiteral("User online: %1 (icon %2)")
            .arg(ShownNick(p.Param1), Shown(p.Param2));
    case KMC_DELCHAT:
        return QStringLiteral("Room closed: ") + Shown(p.Param1);
    case KMC_DELUSER:
        return QStringLiteral("User offline: ") + ShownNick(p.Param1);
    case KMC_SERVERNICK:
        return QStringLiteral("Server nickname: ") + Shown(p.Param1);
    case KMC_BADNICK:
        return QStringLiteral("Login refused: nickname is empty");
    case KMC_NICKINUSE:
        return QStringLiteral("Login refused: nickname is already in use");
    case KMC_BANNED:
        return QStringLiteral("Login refused: you are banned from this server");
    case KMC_BADPASS:
        return QStringLiteral("Login refused: wrong server password");
    case KMC_OKAY:
        return QStringLiteral("Login accepted");
    case KMC_KICK:
        return QStringLiteral("You were kicked by the operator");
    case KMC_MESSAGE:
        return MessageLine(p, serverNick);
    case KMC_JOINED:
        return QStringLiteral("You joined room ") + Shown(p.Param1);
    case KMC_CHATDATA:
        return ChatLine(p);
    case KMC_INVITE:
        return p.Param2.isEmpty() ? QStringLiteral("Invitation from ") + ShownNick(p.Param1)
                                  : QStringLiteral("Invitation from %1: %2")
                                        .arg(ShownNick(p.Param1), Shown(p.Param2));
    case KMC_BYE:
        return QStringLiteral("The operator closed room %1; leaving it").arg(Shown(p.Param1));
    case KMC_PING:
        return QString();
    default:
        return QStringLiteral("Unexpected record: ") + DescribePacket(p);
    }
}

QString DescribePacket(const TDataPacket& p) {
    QString out = FromBytes(PacketDisplayName(p.Code));
    out += QStringLiteral(" Param1=") + Quoted(p.Param1);
    out += QStringLiteral(" Param2=") + Quoted(p.Param2);
    out += p.Switch ? QStringLiteral(" Switch=true") : QStringLiteral(" Switch=false");
    if (p.Version != 0)
        out += QStringLiteral(" Version=%1").arg(p.Version);
    if (p.From != 0)
        out += QStringLiteral(" From=%1").arg(p.From);
    return out;
}

TClientSession::TClientSession(TSender sender) : Sender(std::move(sender)) {}

void TClientSession::Send(const TDataPacket& packet) const {
    if (Sender)
        Sender(packet);
}

void TClientSession::Login(const QString& nickname, int icon, const QString& userName,
                           const QString& password) {
    // The server registers the nickname without surrounding blanks.
    OwnNickname = FromBytes(TrimText(ToBytes(nickname)));
    Send(MakePacket(KMS_LOGIN, ToBytes(nickname), QByteArray::number(icon)));
    Send(MakePacket(KMS_USER, ToBytes(userName), ToBytes(password)));
}

void TClientSession::LeaveRoom(const QString& name) {
    const qsizetype i = FindByName(Joined, name, [](const QString& s) { return s; });
    if (i >= 0)
        Joined.removeAt(i);
}

QString TClientSession::HandlePacket(const TDataPacket& p) {
    switch (p.Code) {
    case KMC_OKAY:
        // The whole state follows; a repeated login sends it again.
        Accepted = true;
        UserList.clear();
        RoomList.clear();
        break;
    case KMC_ADDCHAT:
        RoomList.append({FromBytes(p.Param1), p.Switch});
        break;
    case KMC_DELCHAT: {
        const QString name = FromBytes(p.Param1);
        const qsizetype i = FindByName(RoomList, name, [](const TRoomEntry& r) { return r.Name; });
        if (i >= 0)
            RoomList.removeAt(i);
        LeaveRoom(name);
        break;
    }
    case KMC_ADDUSER:
        UserList.append({FromBytes(p.Param1), FromBytes(p.Param2)});
        break;
    case KMC_DELUSER: {
        const qsizetype i = FindByName(UserList, FromBytes(p.Param1),
                                       [](const TUserEntry& u) { return u.Nickname; });
        if (i >= 0)
            UserList.removeAt(i);
        break;
    }
    case KMC_SERVERNICK:
        ServerNickname = FromBytes(p.Param1);
        break;
    case KMC_JOINED: {
        const QString name = FromBytes(p.Param1);
        Joined.removeAll(name);
        Joined.append(name);
        break;
    }
    case KMC_BYE:
        // The operator closes a room by asking its members to leave.
        Send(MakePacket(KMS_QUITCHAT, p.Param1));
        LeaveRoom(FromBytes(p.Param1));
        break;
    case KMC_KICK:
        WasKicked = true;
        break;
    case KMC_PING:
        Send(MakePacket(KMS_PING));
        break;
    default:
        break;
    }
    return RenderPacket(p, ServerNickname);
}

bool TClientSession::AnswersJoin(const TDataPacket& p) const {
    switch (p.Code) {
    case KMC_JOINED:
    case KMC_STATUS:
    case KMC_BADNICK:
    case KMC_NICKINUSE:
    case KMC_BANNED:
    case KMC_BADPASS:
    case KMC_KICK:
        return true;
    case KMC_MESSAGE:
        return !p.Switch && !ServerNickname.isEmpty() && FromBytes(p.Param1) == ServerNickname;
    default:
        return false;
    }
}

QString TClientSession::UsersText() const {
    if (UserList.isEmpty())
        return QStringLiteral("No users known");
    QStringList names;
    for (const TUserEntry& u : UserList)
        names << ShownNick(ToBytes(u.Nickname));
    return QStringLiteral("Users (%1): %2")
        .arg(UserList.size())
        .arg(names.join(QStringLiteral(", ")));
}

QString TClientSession::RoomsText() const {
    if (RoomList.isEmpty())
        return QStringLiteral("No rooms known");
    QStringList names;
    QStringList joined = Joined;
    for (const TRoomEntry& r : RoomList) {
        QString item = Shown(ToBytes(r.Name));
        if (r.Secure)
            item += QStringLiteral(" (secure)");
        // Duplicate names are possible: mark as many entries as we joined.
        const qsizetype j = FindByName(joined, r.Name, [](const QString& s) { return s; });
        if (j >= 0) {
            item += QStringLiteral(" [joined]");
            joined.removeAt(j);
        }
        names << item;
    }
    return QStringLiteral("Rooms (%1): %2")
        .arg(RoomList.size())
        .arg(names.join(QStringLiteral(", ")));
}

TCommandResult TClientSession::Execute(const TCommand& c) {
    TCommandResult r;
    const QByteArray target = ToBytes(c.Target);
    const QByteArray text = ToBytes(c.Text);
    switch (c.Kind) {
    case TCommandKind::Empty:
        break;
    case TCommandKind::Invalid:
        r.Error = c.Error;
        break;
    case TCommandKind::Text: {
        const QString room = LastJoinedRoom();
        if (room.isEmpty()) {
            r.Error = QStringLiteral("no room joined yet: use /join ROOM, or /say ROOM TEXT");
            break;
        }
        Send(MakePacket(KMS_CHATDATA, ToBytes(room), text, false));
        break;
    }
    case TCommandKind::Create:
        Send(MakePacket(KMS_CREATE, target, {}, c.Flag));
        r.AwaitsJoin = true;
        break;
    case TCommandKind::Join:
        Send(MakePacket(KMS_JOIN, target, {}, c.Flag));
        r.AwaitsJoin = true;
        break;
    case TCommandKind::Part: {
        const QString room = c.Target.isEmpty() ? LastJoinedRoom() : c.Target;
        if (room.isEmpty()) {
            r.Error = QStringLiteral("/part: no room joined");
            break;
        }
        // The server does not confirm a leave.
        Send(MakePacket(KMS_QUITCHAT, ToBytes(room)));
        LeaveRoom(room);
        break;
    }
    case TCommandKind::Say:
    case TCommandKind::Emote:
        Send(MakePacket(KMS_CHATDATA, target, text, c.Kind == TCommandKind::Emote));
        break;
    case TCommandKind::Msg:
    case TCommandKind::Anon:
        Send(MakePacket(KMS_MESSAGE, target, text, c.Kind == TCommandKind::Anon));
        break;
    case TCommandKind::Invite:
        Send(MakePacket(KMS_INVITE, target, text));
        break;
    case TCommandKind::Mail:
        Send(MakePacket(KMS_GETPOST));
        break;
    case TCommandKind::ServerNick:
        Send(MakePacket(KMS_SERVERNICK));
        break;
    case TCommandKind::Users:
        r.Output = UsersText();
        break;
    case TCommandKind::Rooms:
        r.Output = RoomsText();
        break;
    case TCommandKind::Raw:
        Send(c.Raw);
        break;
    case TCommandKind::Quit:
        Send(MakePacket(KMS_QUIT));
        r.Quit = true;
        break;
    case TCommandKind::Help:
        r.Output = CommandHelpText();
        break;
    }
    return r;
}

} // namespace kelvra
