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

const char* const kNoticeColor = "36";

QString Paint(const QString& text, const char* sgr, bool color) {
    if (!color || text.isEmpty())
        return text;
    return QStringLiteral("\x1b[%1m").arg(QLatin1String(sgr)) + text + QStringLiteral("\x1b[0m");
}

// One colour per nickname, the same in every line and every run.
QString PaintNick(const QString& nick, bool color) {
    static const char* const palette[] = {"31", "32", "33", "34", "35",
                                          "91", "92", "93", "94", "95"};
    uint h = 0;
    for (QChar c : nick)
        h = h * 31 + c.unicode();
    return Paint(nick, palette[h % (sizeof palette / sizeof *palette)], color);
}

// "<nick> text" as this client and others following the same habit write it.
QString ConventionalLine(const QString& text, bool color) {
    if (!text.startsWith(QLatin1Char('<')))
        return QString();
    const qsizetype close = text.indexOf(QLatin1Char('>'));
    if (close < 2)
        return QString();
    const QString nick = text.mid(1, close - 1);
    if (nick.contains(QLatin1Char('<')) ||
        (close + 1 < text.size() && text[close + 1] != QLatin1Char(' ')))
        return QString();
    return QLatin1Char('<') + PaintNick(nick, color) + text.mid(close);
}

QString ChatLine(const TDataPacket& p, const TRenderOptions& o) {
    const QString room = QStringLiteral("[%1] ").arg(Shown(p.Param1));
    if (p.Param2.isEmpty())
        return room;
    const QString text = Shown(p.Param2.mid(1));
    switch (p.Param2[0]) {
    case 'N': {
        const QString line = ConventionalLine(text, o.Color);
        return room + (line.isEmpty() ? text : line);
    }
    case 'E': {
        const qsizetype blank = text.indexOf(QLatin1Char(' '));
        const QString actor = blank < 0 ? text : text.left(blank);
        if (o.Color && o.KnownUser && !actor.isEmpty() && o.KnownUser(actor))
            return room + QStringLiteral("* ") + PaintNick(actor, true) + text.mid(actor.size());
        return room + QStringLiteral("* ") + text;
    }
    case 'S':
        return room + Paint(QStringLiteral("-- ") + text, kNoticeColor, o.Color);
    default:
        return room + Shown(p.Param2);
    }
}

QString MessageLine(const TDataPacket& p, const TRenderOptions& o) {
    const QString from = PaintNick(ShownNick(p.Param1), o.Color);
    const QString text = Shown(p.Param2);
    if (p.Switch)
        return QStringLiteral("Private message from %1 [anonymous]: %2").arg(from, text);
    if (!o.ServerNick.isEmpty() && FromBytes(p.Param1) == o.ServerNick) {
        QString line = QStringLiteral("Notice from %1: %2").arg(from, text);
        if (p.Param2 == "This is a private chat")
            line += QStringLiteral(" (use /join --pass ROOM to enter it)");
        return Paint(line, kNoticeColor, o.Color);
    }
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

QString RenderPacket(const TDataPacket& p, const TRenderOptions& o) {
    const auto notice = [&o](const QString& text) { return Paint(text, kNoticeColor, o.Color); };
    switch (p.Code) {
    case KMC_STATUS:
        return notice(QStringLiteral("Server status: ") + Shown(p.Param1));
    case KMC_ADDCHAT:
        return notice(QStringLiteral("Room available: ") + Shown(p.Param1) +
                      (p.Switch ? QStringLiteral(" (secure)") : QString()));
    case KMC_ADDUSER:
        return QStringLiteral("User online: %1 (icon %2)")
            .arg(PaintNick(ShownNick(p.Param1), o.Color), Shown(p.Param2));
    case KMC_DELCHAT:
        return notice(QStringLiteral("Room closed: ") + Shown(p.Param1));
    case KMC_DELUSER:
        return QStringLiteral("User offline: ") + PaintNick(ShownNick(p.Param1), o.Color);
    case KMC_SERVERNICK:
        return notice(QStringLiteral("Server nickname: ") + Shown(p.Param1));
    case KMC_BADNICK:
        return notice(QStringLiteral("Login refused: nickname is empty"));
    case KMC_NICKINUSE:
        return notice(QStringLiteral("Login refused: nickname is already in use"));
    case KMC_BANNED:
        return notice(QStringLiteral("Login refused: you are banned from this server"));
    case KMC_BADPASS:
        return notice(QStringLiteral("Login refused: wrong server password"));
    case KMC_OKAY:
        return notice(QStringLiteral("Login accepted"));
    case KMC_KICK:
        return notice(QStringLiteral("You were kicked by the operator"));
    case KMC_MESSAGE:
        return MessageLine(p, o);
    case KMC_JOINED:
        return notice(QStringLiteral("You joined room ") + Shown(p.Param1));
    case KMC_CHATDATA:
        return ChatLine(p, o);
    case KMC_INVITE:
        return p.Param2.isEmpty()
                   ? QStringLiteral("Invitation from ") + PaintNick(ShownNick(p.Param1), o.Color)
                   : QStringLiteral("Invitation from %1: %2")
                         .arg(PaintNick(ShownNick(p.Param1), o.Color), Shown(p.Param2));
    case KMC_BYE:
        return notice(
            QStringLiteral("The operator closed room %1; leaving it").arg(Shown(p.Param1)));
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

QByteArray ChatTextFor(const QString& nickname, const QString& text, bool emote) {
    return ToBytes(emote ? nickname + QLatin1Char(' ') + text
                         : QLatin1Char('<') + nickname + QStringLiteral("> ") + text);
}

int UnsendableChars(const QString& text) {
    return static_cast<int>(ToBytes(text).count('?') - text.count(QLatin1Char('?')));
}

QString StripColors(const QString& line) {
    if (!line.contains(QLatin1Char('\x1b')))
        return line;
    QString out;
    out.reserve(line.size());
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == QLatin1Char('\x1b') && i + 1 < line.size() &&
            line[i + 1] == QLatin1Char('[')) {
            qsizetype j = i + 2;
            while (j < line.size() && (line[j].isDigit() || line[j] == QLatin1Char(';')))
                ++j;
            if (j < line.size() && line[j] == QLatin1Char('m')) {
                i = j;
                continue;
            }
        }
        out += line[i];
    }
    return out;
}

TClientSession::TClientSession(TSender sender) : Sender(std::move(sender)) {}

void TClientSession::Send(const TDataPacket& packet) const {
    if (Sender)
        Sender(packet);
}

void TClientSession::SendMarker(TMarkerKind kind) {
    Send(MakePacket(KMS_SERVERNICK));
    Markers.append({kind, 0, {}});
}

QString TClientSession::Notice(const QString& text) const {
    return Paint(text, kNoticeColor, Color);
}

TRenderOptions TClientSession::RenderOptionsNow() const {
    TRenderOptions o;
    o.ServerNick = ServerNickname;
    o.Color = Color;
    o.KnownUser = [this](const QString& nick) { return IsOnline(nick); };
    return o;
}

void TClientSession::Login(const QString& nickname, int icon, const QString& userName,
                           const QString& password) {
    // The server registers the nickname without surrounding blanks.
    OwnNickname = FromBytes(TrimText(ToBytes(nickname)));
    UserName = userName;
    Icon = icon;
    State = TLoginState::Pending;
    NickAccepted = false;
    NickRefusal = 0;
    PassRefused = false;
    Send(MakePacket(KMS_LOGIN, ToBytes(nickname), QByteArray::number(icon)));
    Send(MakePacket(KMS_USER, ToBytes(userName), ToBytes(password)));
    SendMarker(TMarkerKind::Login);
}

void TClientSession::RetryLogin(const std::optional<QString>& nickname,
                                const std::optional<QString>& password) {
    State = TLoginState::Pending;
    if (nickname) {
        OwnNickname = FromBytes(TrimText(ToBytes(*nickname)));
        NickAccepted = false;
        NickRefusal = 0;
        Send(MakePacket(KMS_LOGIN, ToBytes(*nickname), QByteArray::number(Icon)));
    }
    if (password) {
        PassRefused = false;
        Send(MakePacket(KMS_USER, ToBytes(UserName), ToBytes(*password)));
    }
    SendMarker(TMarkerKind::Login);
}

QString TClientSession::LoginRefusal() const {
    QStringList why;
    switch (NickRefusal) {
    case KMC_BADNICK:
        why << QStringLiteral("the nickname is empty");
        break;
    case KMC_NICKINUSE:
        // The server refuses its own nickname with the same code as a taken one.
        if (!ServerNickname.isEmpty() &&
            SameTextAscii(TrimText(ToBytes(OwnNickname)), TrimText(ToBytes(ServerNickname))))
            why << QStringLiteral("%1 is the server's own nickname").arg(OwnNickname);
        else
            why << QStringLiteral("the nickname %1 is already in use").arg(OwnNickname);
        break;
    case KMC_BANNED:
        why << QStringLiteral("you are banned from this server");
        break;
    default:
        break;
    }
    if (PassRefused)
        why << QStringLiteral("wrong server password");
    if (why.isEmpty() && !NickAccepted)
        why << QStringLiteral("the server did not answer the login");
    return why.join(QStringLiteral("; "));
}

QStringList TClientSession::SettleLogin() {
    if (NickRefusal != 0 || PassRefused || !NickAccepted) {
        State = TLoginState::Refused;
        return {};
    }
    State = TLoginState::Accepted;
    return {Notice(QStringLiteral("Logged in as %1").arg(OwnNickname)), RoomsText(), UsersText()};
}

QStringList TClientSession::OnServerNick(const TDataPacket& p) {
    ServerNickname = FromBytes(p.Param1);
    if (LoginServerNicks > 0) {
        // Part of a login's state: shown unless the login is still settling.
        --LoginServerNicks;
        if (State == TLoginState::Pending)
            return {};
        return {RenderPacket(p, RenderOptionsNow())};
    }
    if (Markers.isEmpty())
        return {RenderPacket(p, RenderOptionsNow())};
    const TMarker marker = Markers.takeFirst();
    switch (marker.Kind) {
    case TMarkerKind::Login:
        return SettleLogin();
    case TMarkerKind::LoginMail: {
        if (marker.Messages == 0)
            return {Notice(QStringLiteral("No mail waiting"))};
        QStringList lines{Notice(
            marker.Messages == 1
                ? QStringLiteral("1 message was kept for you as mail:")
                : QStringLiteral("%1 messages were kept for you as mail:").arg(marker.Messages))};
        return lines + marker.Held;
    }
    case TMarkerKind::Mail:
        if (marker.Messages == 0)
            return {Notice(QStringLiteral("No mail waiting"))};
        return {Notice(QStringLiteral("End of mail (%1 %2)")
                           .arg(marker.Messages)
                           .arg(marker.Messages == 1 ? QStringLiteral("message")
                                                     : QStringLiteral("messages")))};
    case TMarkerKind::Show:
        break;
    }
    return {RenderPacket(p, RenderOptionsNow())};
}

void TClientSession::FetchMail() {
    Send(MakePacket(KMS_GETPOST));
    SendMarker(TMarkerKind::LoginMail);
}

void TClientSession::ConnectionLost() {
    // A loss before an earlier rejoin went out keeps the rooms still owed.
    for (const QString& name : Joined) {
        const TRoomEntry* room = FindRoom(name);
        if (FindByName(RoomsToRejoin, name, [](const TRoomEntry& r) { return r.Name; }) < 0)
            RoomsToRejoin.append({name, room && room->Secure});
    }
    UserList.clear();
    RoomList.clear();
    Joined.clear();
    Markers.clear();
    LoginServerNicks = 0;
    State = TLoginState::None;
    NickAccepted = false;
    NickRefusal = 0;
    PassRefused = false;
    WasKicked = false;
}

QStringList TClientSession::Rejoin() {
    QStringList names;
    for (const TRoomEntry& r : std::as_const(RoomsToRejoin)) {
        if (const TRoomEntry* now = FindRoom(r.Name))
            Send(MakePacket(KMS_JOIN, ToBytes(r.Name), {}, now->Secure));
        else // gone with the old server: make it again, as private as it was
            Send(MakePacket(KMS_CREATE, ToBytes(r.Name), {}, r.Secure));
        names << r.Name;
    }
    RoomsToRejoin.clear();
    return names;
}

void TClientSession::LeaveRoom(const QString& name) {
    const qsizetype i = FindByName(Joined, name, [](const QString& s) { return s; });
    if (i >= 0)
        Joined.removeAt(i);
}

QStringList TClientSession::HandlePacket(const TDataPacket& p) {
    const bool settling = State == TLoginState::Pending;
    switch (p.Code) {
    case KMC_OKAY:
        // The whole state follows, with one KMC_SERVERNICK; a repeated login sends it again.
        NickAccepted = true;
        UserList.clear();
        RoomList.clear();
        ++LoginServerNicks;
        break;
    case KMC_BADNICK:
    case KMC_NICKINUSE:
    case KMC_BANNED:
        if (settling) {
            NickRefusal = p.Code;
            return {};
        }
        break;
    case KMC_BADPASS:
        if (settling) {
            PassRefused = true;
            return {};
        }
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
        return OnServerNick(p);
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
    case KMC_MESSAGE:
        if (!Markers.isEmpty() && Markers.first().Kind == TMarkerKind::Mail)
            ++Markers.first().Messages;
        if (!Markers.isEmpty() && Markers.first().Kind == TMarkerKind::LoginMail) {
            ++Markers.first().Messages;
            Markers.first().Held << RenderPacket(p, RenderOptionsNow());
            return {};
        }
        break;
    case KMC_PING:
        Send(MakePacket(KMS_PING));
        break;
    default:
        break;
    }
    // The state a login brings is summed up once the login settles.
    if (settling && (p.Code == KMC_OKAY || p.Code == KMC_ADDCHAT || p.Code == KMC_ADDUSER))
        return {};
    const QString line = RenderPacket(p, RenderOptionsNow());
    return line.isEmpty() ? QStringList() : QStringList{line};
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

QStringList TClientSession::Nicknames() const {
    QStringList out;
    for (const TUserEntry& u : UserList)
        out << u.Nickname;
    return out;
}

QStringList TClientSession::RoomNames() const {
    QStringList out;
    for (const TRoomEntry& r : RoomList)
        out << r.Name;
    return out;
}

bool TClientSession::IsOnline(const QString& nickname) const {
    // As the server finds a target: the whole text, ASCII case ignored.
    const QByteArray bytes = ToBytes(nickname);
    for (const TUserEntry& u : UserList)
        if (SameTextAscii(ToBytes(u.Nickname), bytes))
            return true;
    return false;
}

bool TClientSession::IsJoined(const QString& room) const {
    return FindByName(Joined, room, [](const QString& s) { return s; }) >= 0;
}

const TRoomEntry* TClientSession::FindRoom(const QString& room) const {
    const qsizetype i = FindByName(RoomList, room, [](const TRoomEntry& r) { return r.Name; });
    return i < 0 ? nullptr : &RoomList[i];
}

QString TClientSession::UsersText() const {
    if (UserList.isEmpty())
        return QStringLiteral("No users known");
    QStringList names;
    for (const TUserEntry& u : UserList)
        names << PaintNick(ShownNick(ToBytes(u.Nickname)), Color);
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
    // Chat text to a room: the nickname goes in front, and the server relays
    // even to a room we are not in.
    const auto sendChat = [&](const QString& room, bool emote) {
        Send(MakePacket(KMS_CHATDATA, ToBytes(room), ChatTextFor(OwnNickname, c.Text, emote),
                        emote));
        if (!IsJoined(room))
            r.Notices << Notice(QStringLiteral("You are not in room %1: its members get the "
                                               "text, but you see neither it nor the replies")
                                    .arg(room));
    };
    bool sends = true;
    switch (c.Kind) {
    case TCommandKind::Empty:
    case TCommandKind::Log: // the program's own business
        sends = false;
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
        sendChat(room, false);
        break;
    }
    case TCommandKind::Create:
        // A second room of a taken name could never be joined: joins reach the first.
        if (FindRoom(c.Target)) {
            r.Error = QStringLiteral("room %1 exists already: use /join %1").arg(c.Target);
            break;
        }
        Send(MakePacket(KMS_CREATE, target, {}, c.Flag));
        r.AwaitsJoin = true;
        break;
    case TCommandKind::Join: {
        if (IsJoined(c.Target)) {
            r.Error = QStringLiteral("you are in room %1 already").arg(c.Target);
            break;
        }
        const TRoomEntry* room = FindRoom(c.Target);
        if (room && room->Secure && !c.Flag) {
            r.Error =
                QStringLiteral("%1 is a private room: join it with /join --pass %1").arg(c.Target);
            break;
        }
        Send(MakePacket(KMS_JOIN, target, {}, c.Flag));
        r.AwaitsJoin = true;
        break;
    }
    case TCommandKind::Part: {
        const QString room = c.Target.isEmpty() ? LastJoinedRoom() : c.Target;
        if (room.isEmpty()) {
            r.Error = QStringLiteral("/part: no room joined");
            break;
        }
        if (!IsJoined(room)) {
            r.Error = QStringLiteral("you are not in room %1").arg(room);
            break;
        }
        // The server does not confirm a leave.
        Send(MakePacket(KMS_QUITCHAT, ToBytes(room)));
        LeaveRoom(room);
        r.Notices << Notice(QStringLiteral("You left room %1").arg(room));
        break;
    }
    case TCommandKind::Me: {
        const QString room = LastJoinedRoom();
        if (room.isEmpty()) {
            r.Error = QStringLiteral("no room joined yet: use /join ROOM, or /emote ROOM TEXT");
            break;
        }
        sendChat(room, true);
        break;
    }
    case TCommandKind::Say:
    case TCommandKind::Emote:
        if (!FindRoom(c.Target)) {
            // The server drops text for a room that does not exist.
            r.Error = QStringLiteral("there is no room %1; nothing sent").arg(c.Target);
            break;
        }
        sendChat(c.Target, c.Kind == TCommandKind::Emote);
        break;
    case TCommandKind::Msg:
    case TCommandKind::Anon: {
        const bool anonymous = c.Kind == TCommandKind::Anon;
        Send(MakePacket(KMS_MESSAGE, target, text, anonymous));
        // The server stores a message for an absent nickname without a word.
        if (!IsOnline(c.Target))
            r.Notices << Notice(QStringLiteral("%1 is not online; kept as mail").arg(c.Target));
        else
            r.Notices << QStringLiteral("-> %1%2: %3")
                             .arg(PaintNick(c.Target, Color),
                                  anonymous ? QStringLiteral(" (anonymous)") : QString(), c.Text);
        break;
    }
    case TCommandKind::Invite:
        if (!IsOnline(c.Target)) {
            r.Error =
                QStringLiteral("%1 is not online; an invitation cannot wait as mail").arg(c.Target);
            break;
        }
        Send(MakePacket(KMS_INVITE, target, text));
        r.Notices << Notice(QStringLiteral("Invitation sent to %1").arg(c.Target));
        break;
    case TCommandKind::Mail:
        // The server sends nothing when there is no mail.
        Send(MakePacket(KMS_GETPOST));
        SendMarker(TMarkerKind::Mail);
        break;
    case TCommandKind::ServerNick:
        SendMarker(TMarkerKind::Show);
        break;
    case TCommandKind::Users:
        r.Output = UsersText();
        sends = false;
        break;
    case TCommandKind::Rooms:
        r.Output = RoomsText();
        sends = false;
        break;
    case TCommandKind::Raw:
        Send(c.Raw);
        r.Notices << Notice(QStringLiteral("Sent ") + DescribePacket(c.Raw));
        sends = false;
        break;
    case TCommandKind::Quit:
        Send(MakePacket(KMS_QUIT));
        r.Quit = true;
        break;
    case TCommandKind::Help:
        r.Output = CommandHelpText();
        sends = false;
        break;
    }
    if (sends && r.Error.isEmpty()) {
        const int lost = UnsendableChars(c.Target) + UnsendableChars(c.Text);
        if (lost > 0)
            r.Notices << Notice(
                QStringLiteral("%1 %2 cannot be sent in code page 1252 and "
                               "became ?")
                    .arg(lost)
                    .arg(lost == 1 ? QStringLiteral("character") : QStringLiteral("characters")));
    }
    return r;
}

} // namespace kelvra
