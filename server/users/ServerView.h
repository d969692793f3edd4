#pragma once
// The console as the server core sees it: the traffic and error logs plus one
// small interface per list window. Each window implements its interface in
// full, so a forgotten row operation does not compile; the headless server and
// the tests start from TQuietView.
#include "Transport.h"

#include <QDateTime>

namespace kelvra {

struct TConnection;
struct TChat;
struct TBan;
struct TMailItem;

// Users view: rows are keyed by socket handle.
class IUsersView {
public:
    virtual ~IUsersView() = default;
    virtual void AddUserRow(const TConnection& user, const QDateTime& loginTime) = 0;
    virtual void RemoveUserRow(SocketHandle socket) = 0;
    virtual void SetUserPing(SocketHandle socket, int32_t ms) = 0;
    virtual void SetUserName(SocketHandle socket, const QByteArray& userName) = 0;
};

// Chats view: rows are keyed by the chat's id.
class IChatsView {
public:
    virtual ~IChatsView() = default;
    virtual void AddChatRow(const TChat& chat, const QDateTime& created) = 0;
    virtual void ChatMembersChanged(const TChat& chat) = 0;
    virtual void RemoveChatRow(const TChat& chat) = 0;
};

// Bans view: rows are keyed by the ban's id.
class IBansView {
public:
    virtual ~IBansView() = default;
    virtual void AddBanRow(const TBan& ban) = 0;
    virtual void BanHitsChanged(const TBan& ban) = 0;
    virtual void RemoveBanRow(const TBan& ban) = 0;
};

// Mail view: rows are keyed by the mail record's id.
class IMailView {
public:
    virtual ~IMailView() = default;
    virtual void AddMailRow(const TMailItem& item) = 0;
    virtual void RemoveMailRow(const TMailItem& item) = 0;
};

// What happens to connections and bans, for an operator's journal. The
// console's views show all of it already, so it keeps these empty.
class IJournal {
public:
    virtual ~IJournal() = default;
    virtual void Connected(const TConnection& /*user*/) {}
    // KMS_LOGIN accepted.
    virtual void LoggedIn(const TConnection& /*user*/) {}
    // KMS_USER accepted (right password, or none asked).
    virtual void LoggedOn(const TConnection& /*user*/, const QByteArray& /*userName*/) {}
    // A KMS_LOGIN or KMS_USER refused: the nickname concerned, and why.
    virtual void LoginRefused(const TConnection& /*user*/, const QByteArray& /*nickname*/,
                              const QString& /*reason*/) {}
    // Whether the block of a KMS_USER reached the login log.
    virtual void LoginLogWritten(bool /*ok*/) {}
    // The connection's record ended: closed, dropped or KMS_QUIT.
    virtual void Disconnected(const TConnection& /*user*/) {}
    virtual void Kicked(const TConnection& /*user*/) {}
    // The operator's Remove.
    virtual void Removed(const TConnection& /*user*/) {}
    virtual void BanAdded(const TBan& /*ban*/) {}
    virtual void BanChanged(const TBan& /*ban*/) {}
    virtual void BanRemoved(const TBan& /*ban*/) {}
};

class IServerView : public ITrafficLog,
                    public IUsersView,
                    public IChatsView,
                    public IBansView,
                    public IMailView,
                    public IJournal {};

// Shows nothing: the base of the headless server's view and the tests' recorders.
class TQuietView : public IServerView {
public:
    bool LogsTraffic() const override { return false; }
    void LogPacket(const TDataPacket&, bool) override {}
    void ReportSocketError(int, const QString&) override {}
    void ReportClientFailure(const QString&) override {}
    void AddUserRow(const TConnection&, const QDateTime&) override {}
    void RemoveUserRow(SocketHandle) override {}
    void SetUserPing(SocketHandle, int32_t) override {}
    void SetUserName(SocketHandle, const QByteArray&) override {}
    void AddChatRow(const TChat&, const QDateTime&) override {}
    void ChatMembersChanged(const TChat&) override {}
    void RemoveChatRow(const TChat&) override {}
    void AddBanRow(const TBan&) override {}
    void BanHitsChanged(const TBan&) override {}
    void RemoveBanRow(const TBan&) override {}
    void AddMailRow(const TMailItem&) override {}
    void RemoveMailRow(const TMailItem&) override {}
};

} // namespace kelvra
