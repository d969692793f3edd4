// Login (KMS_LOGIN) and the server nickname request.
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

#include <QDateTime>

namespace kelvra {

namespace {

void RefuseLogin(TServer& server, SocketHandle socket, int32_t code, const QByteArray& nick,
                 const char* reason) {
    server.Send(socket, MakePacket(code));
    if (const TConnection* user = server.Registry().FindUserBySocket(socket))
        server.View().LoginRefused(*user, nick, QString::fromLatin1(reason));
}

} // namespace

const TPreparedPacket& TServer::AddUserRecordOf(const TConnection& q) {
    // A login drops the record before it changes the nickname or the icon.
    if (q.AddUserRecord)
        return *q.AddUserRecord;
    // Connections that have not logged in are announced with no nickname.
    static const TPreparedPacket anonymous(MakePacket(KMC_ADDUSER, {}, "0"));
    if (q.Nickname.isEmpty() && q.IconId == 0)
        return anonymous;
    q.AddUserRecord = std::make_shared<const TPreparedPacket>(
        MakePacket(KMC_ADDUSER, q.Nickname, QByteArray::number(q.IconId)));
    return *q.AddUserRecord;
}

TDataPacket TServer::AddChatRecord(const TChat& chat) {
    return MakePacket(KMC_ADDCHAT, chat.Name, {}, chat.Secure);
}

bool TServer::SendBlocks(SocketHandle socket, const std::vector<QByteArray>& blocks, int records) {
    if (!Transport.SendEncoded(socket, blocks))
        return false;
    SentRecords += static_cast<uint64_t>(records);
    if (ViewRef.LogsTraffic())
        ViewRef.LogEncoded(blocks, records, true);
    return true;
}

void TServer::Login(SocketHandle socket, const QByteArray& nickParam, int32_t icon) {
    const QByteArray nick = TrimText(nickParam);
    if (nick.isEmpty()) {
        RefuseLogin(*this, socket, KMC_BADNICK, nick, "blank nickname");
        return;
    }
    if (Users.FindUserByNickname(nick)) {
        RefuseLogin(*this, socket, KMC_NICKINUSE, nick, "nickname in use");
        return;
    }
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user)
        return;
    if (TBan* ban = BanList.FindBan(nick, user->IPv4)) {
        RefuseLogin(*this, socket, KMC_BANNED, nick, "banned");
        RecordBanHit(ban);
        return;
    }
    if (SameTextAscii(nick, TrimText(ServerNick))) {
        RefuseLogin(*this, socket, KMC_NICKINUSE, nick, "the server's own nickname");
        return;
    }

    Send(socket, MakePacket(KMC_OKAY));
    const QByteArray iconText = QByteArray::number(icon);
    // A repeated login replaces the old name everywhere: the others are told
    // the old nickname is gone before they hear of the new one, and the Users
    // row is replaced rather than doubled.
    if (user->HasUserRow) {
        SendToAll(MakePacket(KMC_DELUSER, user->Nickname), user);
        ViewRef.RemoveUserRow(socket);
        user->HasUserRow = false;
    }
    user->AddUserRecord.reset();
    Users.SetNickname(user, nick);
    user->IconId = icon;
    Users.UserRecordChanged(user);

    // Every chat and every user from their cached encodings, one block each
    // where the transport takes blocks.
    const auto& chats =
        Users.ChatListRecords([](const TChat& chat) { return EncodePacket(AddChatRecord(chat)); });
    if (!SendBlocks(socket, chats, Users.ChatCount())) {
        for (const auto& chat : Users.Chats())
            Send(socket, AddChatRecord(*chat));
    }
    Send(socket, MakePacket(KMC_SERVERNICK, ServerNick));

    user->AddUserRecord =
        std::make_shared<const TPreparedPacket>(MakePacket(KMC_ADDUSER, nick, iconText));
    const TPreparedPacket& announce = *user->AddUserRecord;
    const auto& list = Users.UserListRecords(
        [](const TConnection& q) -> const QByteArray& { return AddUserRecordOf(q).Bytes; });
    if (!SendBlocks(socket, list, Users.UserCount())) {
        for (const auto& q : Users.Users())
            Send(socket, AddUserRecordOf(*q));
    }
    // A login storm announces every newcomer to everybody: these may wait
    // to be written with the others.
    SendToGroup(TRegistry::kEverybody, announce, user, true);

    user->HasUserRow = true;
    user->LoginTime = QDateTime::currentDateTime();
    user->UserName.reset(); // the new row waits for the user information again
    ViewRef.AddUserRow(*user, user->LoginTime);
    ViewRef.LoggedIn(*user);
    SendPing(user);
}

void TServer::ServerNickRequest(SocketHandle socket) {
    Send(socket, MakePacket(KMC_SERVERNICK, ServerNick));
}

} // namespace kelvra
