#pragma once
// The server core: the registry, the ban list and the mail store, the meaning
// of every client message, and the operations the console calls. It talks to
// clients only through ITransport and to the console only through IServerView.
#include "BanList.h"
#include "MailSaver.h"
#include "MailStore.h"
#include "Registry.h"
#include "ServerView.h"
#include "StoreLimitSettings.h"
#include "Transport.h"

#include <QHash>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

class QTimer;

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
    void ConnectionClosed(SocketHandle socket) override;
    bool IsLoggedOn(SocketHandle socket) const override;
    void OutputWritten(SocketHandle socket, uint64_t offset) override;

    // Login and the server nickname.
    void Login(SocketHandle socket, const QByteArray& nickParam, int32_t icon);
    void ServerNickRequest(SocketHandle socket);

    // Chat rooms.
    void CreateChat(TConnection* user, const QByteArray& nameParam, bool secure);
    void JoinChat(TConnection* user, TChat* chat, bool pass);
    void QuitChat(TChat* chat, TConnection* user);

    // Messaging.
    void ChatData(TConnection* sender, const QByteArray& chatName, bool emote,
                  const QByteArray& text);
    void PrivateMessage(TConnection* sender, const QByteArray& target, bool anonymous,
                        const QByteArray& text);
    void Invite(TConnection* sender, const QByteArray& target, const QByteArray& param2);

    // Ping, user information and quit.
    void SendPing(TConnection* user);
    void PingAnswer(SocketHandle socket);
    void UserInfo(const QByteArray& userName, const QByteArray& password, SocketHandle socket);
    void QuitUser(SocketHandle socket);
    // A record ended by the server without telling anybody; it is taken out of
    // every chat so that no chat refers to it.
    void RemoveUserSilently(SocketHandle socket);

    // Bans.
    TBan* FindBan(const QByteArray& nick, uint32_t ipv4) const {
        return BanList.FindBan(nick, ipv4);
    }
    void RecordBanHit(TBan* ban);
    void LoadBans(const TRegLink& reg);
    bool SaveBans(TRegLink& reg, QString* error);

    // Mail. LoadMail reads the mail file and its journal; from then on every
    // change is journalled as it happens, and SaveMail folds it all into the
    // mail file.
    TMailItem* StoreMail(const QByteArray& target, const QByteArray& sender, const QByteArray& msg);
    void DeliverMail(SocketHandle socket);
    void LoadMail();
    bool SaveMail(QString* error);
    TMailSaver& MailSaving() { return MailSaver; }
    // Handed to a connection whose socket has not written it yet.
    bool MailInFlight(TMailId id) const { return InFlightTo.contains(id); }

    // Bounds on mail from clients; the operator's own mail is not bounded.
    TStoreLimits StoreLimits;
    // Notices an ending user may cost in one pass of the event loop: about
    // what 64 chat creations cost with 800 users online, a pass the socket
    // layer allows any sender. A user whose chats cost more (thousands of
    // chats, each announced to everybody when it ends) leaves them a share per
    // pass, so the others are served in between; every notice still goes out,
    // in the same order.
    qint64 LeaveSendsPerPass = 50'000;
    // Empty when mail of this size from sender to target fits the limits,
    // else the row for the socket error log that says why it was refused.
    QString MailRefusal(const QByteArray& target, const QByteArray& sender,
                        const QByteArray& msg) const;

    // Told after every change of what is saved (the ban list, the mail store),
    // so that it can reach the disk soon rather than at shutdown only.
    enum class TStoreKind { Bans, Mail };
    std::function<void(TStoreKind)> StoresChanged;
    void NoteStoresChanged(TStoreKind kind) {
        if (StoresChanged)
            StoresChanged(kind);
    }

    // Shutdown: KMC_STATUS "Server is shuting down..." to every user record.
    void SendShutdownNotice();

    // The operator's commands. Records are named by handles, looked up again
    // here, so a record that ended while a dialog was open is left alone.
    // KMC_MESSAGE from the server nickname to every user record, logged on or not.
    void Broadcast(const QByteArray& text, bool anonymous);
    TConnection* FindUser(const TUserHandle& handle) const { return Users.FindUser(handle); }
    // KMC_KICK to the user; false when it has ended.
    bool Kick(const TUserHandle& handle);
    // KMC_KICK to the first user with that nickname; false when there is none.
    bool KickNickname(const QByteArray& nickname);
    // KMC_MESSAGE from the server nickname to the first user with that nickname.
    bool SendServerMessage(const QByteArray& nickname, const QByteArray& text);
    // The same to the user the handle names; false when it has ended.
    bool SendServerMessage(const TUserHandle& handle, const QByteArray& text);
    // Pings again from now; false when the user has ended.
    bool PingUser(const TUserHandle& handle);
    // The operator's Remove: the record ends silently and its socket is no
    // longer read; the connection stays open.
    bool RemoveUser(const TUserHandle& handle);
    // KMC_BYE to every member entry of the chat; nothing else changes.
    bool KillChat(TChatId id);
    TChat* FindChat(TChatId id) const { return Users.FindChat(id); }

    TBan* FindBanById(TBanId id) const { return BanList.FindById(id); }
    // A new ban at the end of the list, with its row.
    TBan* NewBanWithRow(const TBan& fields);
    // The editor takes the row away while it edits, and puts it back at the end.
    void HideBanRow(TBanId id);
    void ShowBanRow(TBanId id);
    bool RemoveBan(TBanId id);
    // The ban the editor offers for a kicked user: its nickname and address,
    // every octet on, a whole-name test, and the kick counted as its first
    // hit. A user without a nickname gets an address-only ban, since the
    // editor takes no blank nickname mask.
    static TBan BanForUser(const TConnection& user);
    // Kick and Ban without the editor: KMC_KICK, then BanForUser with the
    // comment as a new ban. nullptr when the user has ended.
    TBan* KickAndBan(const TUserHandle& handle, const QByteArray& comment);
    // An edit confirmed in one step: the ban takes the fields (keeping its id
    // and hits) and its row goes to the end, as after the editor. False when
    // the ban is gone.
    bool EditBan(TBanId id, const TBan& fields);

    TMailItem* FindMail(TMailId id) const { return MailStore.FindById(id); }
    bool RemoveMail(TMailId id);
    // An operator's mail: handed over at once when a user with exactly that
    // nickname (ASCII case ignored) is connected, else stored at the end.
    // Returns true when it was delivered; else *stored, when given, is the
    // new record's id.
    bool DeliverOrStoreMail(const QByteArray& target, const QByteArray& sender,
                            const QByteArray& msg, TMailId* stored = nullptr);
    // The Edit Message dialog's OK: the record goes, and the new content is
    // delivered or stored at the end (*stored: the new record's id).
    enum class TMailEdit { Gone, Delivered, Stored };
    TMailEdit EditMail(TMailId id, const QByteArray& target, const QByteArray& sender,
                       const QByteArray& msg, TMailId* stored = nullptr);

    // Records handed to the transport since start, one per recipient.
    uint64_t RecordsSent() const { return SentRecords; }

    void Send(const TConnection* user, const TDataPacket& packet) {
        QueueGathered();
        if (user->Leaving)
            return;
        ++SentRecords;
        Transport.SendPacket(user->Socket, packet);
    }
    void Send(SocketHandle socket, const TDataPacket& packet) {
        QueueGathered();
        ++SentRecords;
        Transport.SendPacket(socket, packet);
    }
    void Send(SocketHandle socket, const TPreparedPacket& packet) {
        QueueGathered();
        ++SentRecords;
        Transport.SendPrepared(socket, packet);
    }
    void Send(const TConnection* user, const TPreparedPacket& packet) {
        QueueGathered();
        if (user->Leaving)
            return;
        ++SentRecords;
        Transport.SendPrepared(user->Socket, packet);
    }
    // Sends one record to every user record, in list order.
    void SendToAll(const TDataPacket& packet, const TConnection* except = nullptr);
    // Sends one record to every member of a group of the registry
    // (TRegistry::kEverybody, or a chat's id) but `except`.
    void SendToGroup(uint64_t group, const TPreparedPacket& packet, const TConnection* except,
                     bool mayWait = false);
    void GroupMembers(uint64_t group, std::vector<SocketHandle>& members) const override {
        Users.GroupMembers(group, members);
    }

private:
    // Notices to everybody in a row (the chats a leaving user ends) are
    // gathered while a TGatherToAll lives and sent to everybody together
    // (notices that may wait); any other send queues them first, so every
    // connection gets the same records in the same order.
    struct TGathered {
        std::vector<TPreparedPacket> Records;
        const TConnection* Except = nullptr;
        int Scopes = 0;
    };
    class TGatherToAll {
    public:
        explicit TGatherToAll(TServer& server) : Server(server) { ++Server.Gathered.Scopes; }
        ~TGatherToAll() {
            if (--Server.Gathered.Scopes == 0)
                Server.QueueGathered();
        }
        TGatherToAll(const TGatherToAll&) = delete;
        TGatherToAll& operator=(const TGatherToAll&) = delete;

    private:
        TServer& Server;
    };
    void QueueGathered() {
        if (!Gathered.Records.empty())
            QueueGatheredNow();
    }
    void QueueGatheredNow();

    void RemoveMailItem(TMailItem* item);
    // Mail in flight to a closed connection stays in the store, in its place.
    void ReturnMailInFlight(SocketHandle socket);
    void DispatchLogin(const TDataPacket& packet);
    static const TPreparedPacket& AddUserRecordOf(const TConnection& q);
    static TDataPacket AddChatRecord(const TChat& chat);
    // Encoded records as blocks; false when the transport wants them record
    // by record.
    bool SendBlocks(SocketHandle socket, const std::vector<QByteArray>& blocks, int records);
    void EndUser(TConnection* user, bool tellOthers);
    // Notices the user's leaving of the chat sends: the left notice to the
    // other entries, or the chat's end to everybody.
    qint64 LeaveCost(const TChat* chat, const TConnection* user) const;
    bool LeavesInOnePass(const TConnection* user) const;
    void StartLeaving(TConnection* user);
    void ContinueLeaving();
    // Whether the user may take one more chat entry; past its cap the request
    // is refused without an answer, and the operator sees one row per burst.
    bool MayAddEntry(TConnection* user, const char* request, const QByteArray& chatName);
    // After a member left: the left notice to the remaining entries, or the
    // chat's end when none remain.
    void AfterLeave(TChat* chat, TConnection* user, bool tellOthers);

    ITransport& Transport;
    IServerView& ViewRef;
    TRegistry Users;
    TBanList BanList;
    TMailStore MailStore;
    std::deque<TConnection*> LeavingUsers; // oldest first
    std::unique_ptr<QTimer> LeaveTimer;
    TMailSaver MailSaver{MailStore};
    // Mail handed to a connection, with the stream offset its record ends at.
    struct TInFlight {
        TMailId Id;
        uint64_t End;
    };
    QHash<SocketHandle, std::deque<TInFlight>> InFlight;
    QHash<TMailId, SocketHandle> InFlightTo;
    uint64_t SentRecords = 0;
    TGathered Gathered;
};

} // namespace kelvra
