#pragma once
// What a chat client knows from the records it has received: users, rooms,
// the server's nickname, the rooms it sits in, how its login went. Answers the
// server's pings and turns records and typed commands into lines for a person.
#include "ClientCommand.h"
#include "DataPacket.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kelvra {

struct TRenderOptions {
    // Marks the server's own notices among private messages.
    QString ServerNick;
    // ANSI colours for nicknames and notices.
    bool Color = false;
    // Whether a word names a known user: the actor of an emote is coloured
    // only then, since emote text carries no mark of who wrote it.
    std::function<bool(const QString&)> KnownUser;
};

// One line for a person, or an empty text for records that show nothing
// (pings). Texts are single-byte; control characters come out as \xNN.
// Chat text shows as it came: "[Lobby] <bob> hi" when the sending client
// wrote its nickname in front, "[Lobby] hi" when it did not.
QString RenderPacket(const TDataPacket& packet, const TRenderOptions& options = {});

// Every field of a record, for debugging: KMC_CHATDATA Param1="a" Param2="Nhi" Switch=false
// (Version and From only when they are not 0).
QString DescribePacket(const TDataPacket& packet);

// The chat text this client sends. The server relays chat text without its
// sender, so the nickname goes into the text: "<alice> hello" for plain text,
// "alice waves" for an emote (the server puts the kind letter in front).
QByteArray ChatTextFor(const QString& nickname, const QString& text, bool emote);

// How many characters of text code page 1252 cannot hold; each goes out as "?".
int UnsendableChars(const QString& text);

// The line without the colour sequences RenderPacket and the session add.
QString StripColors(const QString& line);

struct TUserEntry {
    QString Nickname;
    QString Icon; // as the server sent it, decimal text
};

struct TRoomEntry {
    QString Name;
    bool Secure = false;
};

struct TCommandResult {
    QStringList Notices;     // what the command did or did not do, one line each
    QString Output;          // listings to show (lines separated by '\n'), may be empty
    QString Error;           // the command could not be carried out; nothing was sent
    bool Quit = false;       // KMS_QUIT went out: close the connection
    bool AwaitsJoin = false; // a create or join went out and its answer is pending
};

enum class TLoginState {
    None,     // no login sent
    Pending,  // the answers to the login are not all in
    Accepted, // nickname registered and password taken
    Refused,  // see LoginRefusal()
};

class TClientSession {
public:
    using TSender = std::function<void(const TDataPacket&)>;

    explicit TClientSession(TSender sender);

    void SetColor(bool color) { Color = color; }

    // The two steps of logging on, KMS_LOGIN with the nickname and icon and
    // KMS_USER with the user name and password, then KMS_SERVERNICK. The
    // server answers in order and says nothing when a password is right, so
    // the answer to KMS_SERVERNICK marks the end of the login's answers.
    void Login(const QString& nickname, int icon, const QString& userName, const QString& password);
    // After a refusal, on the same connection: the steps that failed, again.
    // An empty optional keeps the earlier (accepted) value.
    void RetryLogin(const std::optional<QString>& nickname, const std::optional<QString>& password);

    // Asks for the mail kept for our nickname, as at login: the messages are
    // held back and shown together after a line that counts them.
    void FetchMail();

    // The connection is gone: what the server told us is forgotten; who we
    // are and the rooms we sat in are kept for Rejoin after the next login.
    void ConnectionLost();
    // After a login that followed ConnectionLost: joins the rooms we sat in
    // (with the pass for secure ones), creating those that are gone, in the
    // order they were joined. Returns the rooms asked for.
    QStringList Rejoin();

    // Takes one received record into the model; answers KMC_PING with KMS_PING
    // and leaves a room the operator closes (KMC_BYE). Returns the lines to
    // show, none for records that show nothing.
    QStringList HandlePacket(const TDataPacket& packet);

    // Carries out a parsed command: sends its records or answers locally.
    TCommandResult Execute(const TCommand& command);

    const QList<TUserEntry>& Users() const { return UserList; }
    const QList<TRoomEntry>& Rooms() const { return RoomList; }
    QStringList Nicknames() const;
    QStringList RoomNames() const;
    // Rooms we sit in, in the order joined.
    const QStringList& JoinedRooms() const { return Joined; }
    // Where plain text goes; empty when no room is joined.
    QString LastJoinedRoom() const { return Joined.isEmpty() ? QString() : Joined.last(); }
    QString ServerNick() const { return ServerNickname; }
    QString Nickname() const { return OwnNickname; }
    TLoginState LoginState() const { return State; }
    bool LoginAccepted() const { return State == TLoginState::Accepted; }
    // Why the login was refused, for a person: "the nickname bob is already in use".
    QString LoginRefusal() const;
    bool NicknameRefused() const { return NickRefusal != 0; }
    bool PasswordRefused() const { return PassRefused; }
    bool Kicked() const { return WasKicked; }

    // Whether a record settles a pending create or join: joined, refused, or
    // a sign that the server will not act on it.
    bool AnswersJoin(const TDataPacket& packet) const;

    QString UsersText() const;
    QString RoomsText() const;

private:
    enum class TMarkerKind { Login, Mail, LoginMail, Show };
    struct TMarker {
        TMarkerKind Kind;
        int Messages = 0; // KMC_MESSAGE records before the answer (mail)
        QStringList Held; // their lines, for LoginMail
    };

    void Send(const TDataPacket& packet) const;
    void SendMarker(TMarkerKind kind);
    void LeaveRoom(const QString& name);
    QStringList SettleLogin();
    QStringList OnServerNick(const TDataPacket& packet);
    TRenderOptions RenderOptionsNow() const;
    QString Notice(const QString& text) const;
    bool IsOnline(const QString& nickname) const;
    bool IsJoined(const QString& room) const;
    const TRoomEntry* FindRoom(const QString& room) const;

    TSender Sender;
    QList<TUserEntry> UserList;
    QList<TRoomEntry> RoomList;
    QStringList Joined;
    QList<TRoomEntry> RoomsToRejoin;
    QString ServerNickname;
    QString OwnNickname;
    QString UserName;
    int Icon = 0;
    QList<TMarker> Markers;
    // KMC_SERVERNICK records that a successful login still owes (one each),
    // which are not answers to our own KMS_SERVERNICK.
    int LoginServerNicks = 0;
    TLoginState State = TLoginState::None;
    bool NickAccepted = false;
    int NickRefusal = 0; // the refusing code, 0 when none
    bool PassRefused = false;
    bool WasKicked = false;
    bool Color = false;
};

} // namespace kelvra
