// Ping, user information (the second logon step) and quitting.
#include "LoginLog.h"
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

#include <QTimer>

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
    ViewRef.LoginLogWritten(LoginLog::AppendBlock(LogFile, userName, user->Nickname));
    if (ServerPassword.isEmpty() || SameTextAscii(password, ServerPassword)) {
        user->LoggedIn = true;
        if (user->HasUserRow) {
            user->UserName = userName;
            ViewRef.SetUserName(socket, userName);
        }
        ViewRef.LoggedOn(*user, userName);
        return;
    }
    Send(user, MakePacket(KMC_BADPASS));
    ViewRef.LoginRefused(*user, user->Nickname, QStringLiteral("wrong password"));
}

qint64 TServer::LeaveCost(const TChat* chat, const TConnection* user) const {
    const auto own = chat->Entries.find(const_cast<TConnection*>(user));
    const qint64 others =
        chat->MemberCount() - (own == chat->Entries.end() ? 0 : qint64(own->second.size()));
    return others > 0 ? others : Users.UserCount();
}

bool TServer::LeavesInOnePass(const TConnection* user) const {
    qint64 cost = Users.UserCount(); // KMC_DELUSER
    for (const auto& [order, chat] : user->Chats) {
        cost += LeaveCost(chat, user);
        if (cost > LeaveSendsPerPass)
            return false;
    }
    return true;
}

void TServer::EndUser(TConnection* user, bool tellOthers) {
    if (tellOthers && !LeavesInOnePass(user)) {
        StartLeaving(user);
        return;
    }
    const SocketHandle socket = user->Socket;
    const TGatherToAll gather(*this);
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
    QueueGathered(); // the user hears of the chats it ended
    if (user->HasUserRow)
        ViewRef.RemoveUserRow(socket);
    Users.RemoveUser(user);
}

void TServer::StartLeaving(TConnection* user) {
    // The quitting client hears of the chats it empties now, while its socket
    // is surely its own: a closed descriptor is soon reused.
    for (const auto& [order, chat] : user->Chats)
        if (chat->Entries.size() == 1)
            Send(user, MakePacket(KMC_DELCHAT, chat->Name));
    user->Leaving = true;
    Users.ForgetSocket(user);
    // The row is keyed by the socket too; the operator can no longer act on
    // the user anyway.
    if (user->HasUserRow)
        ViewRef.RemoveUserRow(user->Socket);
    user->HasUserRow = false;
    LeavingUsers.push_back(user);
    if (!LeaveTimer->isActive())
        LeaveTimer->start(0);
}

void TServer::ContinueLeaving() {
    const TGatherToAll gather(*this);
    qint64 spent = 0;
    while (!LeavingUsers.empty() && spent < LeaveSendsPerPass) {
        TConnection* user = LeavingUsers.front();
        if (user->Chats.empty()) {
            spent += Users.UserCount();
            SendToAll(MakePacket(KMC_DELUSER, user->Nickname), user);
            QueueGathered();
            LeavingUsers.pop_front();
            Users.RemoveUser(user);
            continue;
        }
        TChat* chat = user->Chats.begin()->second;
        spent += LeaveCost(chat, user);
        Users.RemoveAllEntries(chat, user);
        AfterLeave(chat, user, true);
    }
    if (!LeavingUsers.empty())
        LeaveTimer->start(0);
}

void TServer::QuitUser(SocketHandle socket) {
    if (TConnection* user = Users.FindUserBySocket(socket)) {
        ViewRef.Disconnected(*user);
        EndUser(user, true);
    }
}

void TServer::RemoveUserSilently(SocketHandle socket) {
    if (TConnection* user = Users.FindUserBySocket(socket))
        EndUser(user, false);
}

} // namespace kelvra
