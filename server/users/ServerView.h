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

class IServerView : public ITrafficLog,
                    public IUsersView,
                    public IChatsView,
                    public IBansView,
                    public IMailView {};

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
