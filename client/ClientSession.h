#pragma once
// What a chat client knows from the records it has received: users, rooms,
// the server's nickname, the rooms it sits in. Answers the server's pings and
// turns records and typed commands into lines for a person.
#include "ClientCommand.h"
#include "DataPacket.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace kelvra {

// One line for a person, or an empty text for records that show nothing
// (pings). Texts are single-byte; control characters come out as \xNN.
// serverNick marks the server's own notices among private messages.
QString RenderPacket(const TDataPacket& packet, const QString& serverNick = QString());

// Every field of a record, for debugging: KMC_CHATDATA Param1="a" Param2="Nhi" Switch=false
// (Version and From only when they are not 0).
QString DescribePacket(const TDataPacket& packet);

struct TUserEntry {
    QString Nickname;
    QString Icon; // as the server sent it, decimal text
};

struct TRoomEntry {
    QString Name;
    bool Secure = false;
};

struct TCommandResult {
    QString Output;          // lines to show (separated by '\n'), may be empty
    QString Error;           // the command could not be carried out
    bool Quit = false;       // KMS_QUIT went out: close the connection
    bool AwaitsJoin = false; // a create or join went out and its answer is pending
};

class TClientSession {
public:
    using TSender = std::function<void(const TDataPacket&)>;

    explicit TClientSession(TSender sender);

    // The two steps of logging on: KMS_LOGIN with the nickname and icon, then
    // KMS_USER with the user name and password.
    void Login(const QString& nickname, int icon, const QString& userName, const QString& password);

    // Takes one received record into the model; answers KMC_PING with KMS_PING
    // and leaves a room the operator closes (KMC_BYE). Returns its line.
    QString HandlePacket(const TDataPacket& packet);

    // Carries out a parsed command: sends its record or answers locally.
    TCommandResult Execute(const TCommand& command);

    const QList<TUserEntry>& Users() const { return UserList; }
    const QList<TRoomEntry>& Rooms() const { return RoomList; }
    // Rooms we sit in, in the order joined.
    const QStringList& JoinedRooms() const { return Joined; }
    // Where plain text goes; empty when no room is joined.
    QString LastJoinedRoom() const { return Joined.isEmpty() ? QString() : Joined.last(); }
    QString ServerNick() const { return ServerNickname; }
    QString Nickname() const { return OwnNickname; }
    bool LoginAccepted() const { return Accepted; }
    bool Kicked() const { return WasKicked; }

    // Whether a record settles a pending create or join: joined, refused, or
    // a sign that the server will not act on it.
    bool AnswersJoin(const TDataPacket& packet) const;

    QString UsersText() const;
    QString RoomsText() const;

private:
    void Send(const TDataPacket& packet) const;
    void LeaveRoom(const QString& name);

    TSender Sender;
    QList<TUserEntry> UserList;
    QList<TRoomEntry> RoomList;
    QStringList Joined;
    QString ServerNickname;
    QString OwnNickname;
    bool Accepted = false;
    bool WasKicked = false;
};

} // namespace kelvra
