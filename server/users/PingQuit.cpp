// Ping, user information (the second logon step) and quitting.
#include "LoginLog.h"
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

namespace kelvra {

void TServer::SendPing(TConnection* user) {
    Send(user, MakePacket(KMC_PING));
    user->PingPending = true;
    user->PingSentAt = TickCount();
}

void TServer::PingAnswer(SocketHandle socket) {
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user || !user->PingPending)
        return;
    user->PingTime = static_cast<int32_t>(TickCount() - user->PingSentAt);
    user->PingPending = false;
    user->PingMeasured = user->PingMeasured || user->PingTime >= 0;
    if (!user->HasUserRow)
        return;
    if (user->PingTime < 0) {
        SendPing(user);
        return;
    }
    ViewRef.SetUserPing(socket, user->PingTime);
}

void TServer::UserInfo(const QByteArray& userName, const QByteArray& password,
                       SocketHandle socket) {
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user)
        return;
    LoginLog::AppendBlock(LogFile, userName, user->Nickname);
    if (ServerPassword.isEmpty() || SameTextAscii(password, ServerPassword)) {
        user->LoggedIn = true;
        if (user->HasUserRow) {
            user->UserName = userName;
            ViewRef.SetUserName(socket, userName);
        }
        return;
    }
    Send(user, MakePacket(KMC_BADPASS));
}

void TServer::EndUser(TConnection* user, bool tellOthers) {
    const SocketHandle socket = user->Socket;
    // Only the chats this user stands in, in chat-list order: the same walk as
    // over the whole chat list, without visiting the others. Every entry of the
    // user leaves, so no chat refers to the destroyed record.
    while (!user->Chats.empty()) {
        TChat* chat = user->Chats.begin()->second;
        Users.RemoveAllEntries(chat, user);
        AfterLeave(chat, user, tellOthers);
    }
    if (tellOthers)
        SendToAll(MakePacket(KMC_DELUSER, user->Nickname), user);
    if (user->HasUserRow)
        ViewRef.RemoveUserRow(socket);
    Users.RemoveUser(user);
}

void TServer::QuitUser(SocketHandle socket) {
    if (TConnection* user = Users.FindUserBySocket(socket))
        EndUser(user, true);
}

void TServer::RemoveUserSilently(SocketHandle socket) {
    if (TConnection* user = Users.FindUserBySocket(socket))
        EndUser(user, false);
}

} // namespace kelvra
