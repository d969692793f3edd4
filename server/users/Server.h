#pragma once
// The server core: the registry, the ban list and the mail store, the meaning
// of every client message, and the operations the console calls. It talks to
// clients only through ITransport and to the console only through IServerView.
#include "BanList.h"
#include "MailStore.h"
#include "Registry.h"
#include "ServerView.h"
#include "Transport.h"

#include <QString>

namespace kelvra {

class TRegLink;

class TServer : public IConnectionEvents {
public:
    TServer(ITransport& transport, IServerView& view);
    ~TServer() override;

    // Settings of the run.
    QByteArray ServerNick;
    QByteArray ServerPassword;
    QString LogFile;
    QString MailFile;

    TRegistry& Registry() { return Users; }
    TBanList& Bans() { return BanList; }
    TMailStore& Mail() { return MailStore; }
    IServerView& View() { return ViewRef; }

    // IConnectionEvents
    void ConnectionAccepted(SocketHandle socket, uint32_t ipv4, uint16_t port) override;
    bool HasUser(SocketHandle socket) const override;
    void Dispatch(const TDataPacket& packet) override;
    void ConnectionClosed(SocketHandle socket) override { QuitUser(socket); }

    // Login and the server nickname.
    void Login(SocketHandle socket, const QByteArray& nickParam, int32_t icon);
    void ServerNickRequest(SocketHandle socket);

    // Chat rooms.
    void CreateChat(TConnection* user, const QByteArray& nameParam, bool secure);
    void JoinChat(TConnection* user, TChat* chat, bool pass);
    void QuitChat(TChat* chat, TConnection* user);
    void KillChat(TChat* chat);

    // Messaging.
    void ChatData(TConnection* sender, const QByteArray& chatName, bool emote, const QByteArray& text);
    void PrivateMessage(TConnection* sender, const QByteArray& target, bool anonymous,
                        const QByteArray& text);
    void Invite(TConnection* sender, const QByteArray& target, const QByteArray& param2);

    // Ping, user information and quit.
    void SendPing(TConnection* user);
    void PingAnswer(SocketHandle socket);
    void UserInfo(const QByteArray& userName, const QByteArray& password, SocketHandle socket);
    void QuitUser(SocketHandle socket);
    // The operator's Remove: the record ends without telling anybody, and is
    // taken out of every chat so that no chat refers to it.
    void RemoveUserSilently(SocketHandle socket);

    // Bans.
    TBan* FindBan(const QByteArray& nick, uint32_t ipv4) const { return BanList.FindBan(nick, ipv4); }
    void RecordBanHit(TBan* ban);
    void LoadBans(const TRegLink& reg);
    bool SaveBans(TRegLink& reg, QString* error);

    // Mail.
    TMailItem* StoreMail(const QByteArray& target, const QByteArray& sender, const QByteArray& msg);
    void RemoveMail(TMailItem* item);
    void DeliverMail(SocketHandle socket);
    void LoadMail();
    bool SaveMail(QString* error);

    // Shutdown: KMC_STATUS "Server is shuting down..." to every user record.
    void SendShutdownNotice();
    // KMC_MESSAGE from the server nickname to every user record (the console's broadcast).
    void Broadcast(const QByteArray& text, bool anonymous);

    void Send(const TConnection* user, const TDataPacket& packet) {
        Transport.SendPacket(user->Socket, packet);
    }
    void Send(SocketHandle socket, const TDataPacket& packet) { Transport.SendPacket(socket, packet); }
    void Send(SocketHandle socket, const TPreparedPacket& packet) {
        Transport.SendPrepared(socket, packet);
    }
    void Send(const TConnection* user, const TPreparedPacket& packet) {
        Transport.SendPrepared(user->Socket, packet);
    }
    // Sends one record to every user record, in list order.
    void SendToAll(const TDataPacket& packet, const TConnection* except = nullptr);

private:
    void DispatchLogin(const TDataPacket& packet);
    static const TPreparedPacket& AddUserRecordOf(const TConnection& q);
    void EndUser(TConnection* user, bool tellOthers);
    // After a member left: the left notice to the remaining entries, or the
    // chat's end when none remain.
    void AfterLeave(TChat* chat, TConnection* user, bool tellOthers);

    ITransport& Transport;
    IServerView& ViewRef;
    TRegistry Users;
    TBanList BanList;
    TMailStore MailStore;
};

} // namespace kelvra
