#pragma once
// The console as the server core sees it: the traffic and error logs plus the
// row operations of the list windows. Every operation has a quiet default, so
// a headless server or a test implements only what it watches.
#include "Transport.h"

#include <QDateTime>

namespace kelvra {

struct TConnection;
struct TChat;
struct TBan;
struct TMailItem;

class IServerView : public ITrafficLog {
public:
    void LogPacket(const TDataPacket&, bool) override {}
    void ReportSocketError(int, const QString&) override {}
    void ReportClientFailure(const QString&) override {}

    // Users view: rows are keyed by socket handle.
    virtual void AddUserRow(const TConnection&, const QDateTime& /*loginTime*/) {}
    virtual void RemoveUserRow(SocketHandle) {}
    virtual void SetUserPing(SocketHandle, int32_t /*ms*/) {}
    virtual void SetUserName(SocketHandle, const QByteArray& /*userName*/) {}

    // Chats view.
    virtual void AddChatRow(const TChat&, const QDateTime& /*created*/) {}
    virtual void ChatMembersChanged(const TChat&) {}
    virtual void RemoveChatRow(const TChat&) {}

    // Bans view.
    virtual void AddBanRow(const TBan&) {}
    virtual void BanHitsChanged(const TBan&) {}
    virtual void RemoveBanRow(const TBan&) {}

    // Mail view.
    virtual void AddMailRow(const TMailItem&) {}
    virtual void RemoveMailRow(const TMailItem&) {}
};

} // namespace kelvra
