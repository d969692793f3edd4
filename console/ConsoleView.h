#pragma once
// The console as the server core sees it: routes the traffic and error logs
// and the row operations to the windows that show them. A window that does not
// exist yet (start-up) shows nothing.
#include "ServerView.h"

#include <QPointer>

namespace kelvra {

class TdataIn;
class TdataOut;
class TviewErrors;

class TConsoleView : public IServerView {
public:
    void SetErrorLog(TviewErrors* errors);
    void SetTrafficLogs(TdataIn* in, TdataOut* out);
    void SetListViews(IUsersView* users, IChatsView* chats, IBansView* bans, IMailView* mail);

    bool LogsTraffic() const override;
    void LogPacket(const TDataPacket& packet, bool outgoing) override;
    void LogPackets(const TDataPacket& packet, bool outgoing, qsizetype count) override;
    void LogEncoded(const std::vector<QByteArray>& blocks, qsizetype records,
                    bool outgoing) override;
    void ReportSocketError(int code, const QString& function) override;
    void ReportClientFailure(const QString& text) override;

    void AddUserRow(const TConnection& user, const QDateTime& loginTime) override;
    void RemoveUserRow(SocketHandle socket) override;
    void SetUserPing(SocketHandle socket, int32_t ms) override;
    void SetUserName(SocketHandle socket, const QByteArray& userName) override;

    void AddChatRow(const TChat& chat, const QDateTime& created) override;
    void ChatMembersChanged(const TChat& chat) override;
    void RemoveChatRow(const TChat& chat) override;

    void AddBanRow(const TBan& ban) override;
    void BanHitsChanged(const TBan& ban) override;
    void RemoveBanRow(const TBan& ban) override;

    void AddMailRow(const TMailItem& item) override;
    void RemoveMailRow(const TMailItem& item) override;

private:
    QPointer<TdataIn> In;
    QPointer<TdataOut> Out;
    QPointer<TviewErrors> Errors;
    // The list windows live as long as the main window that owns this router.
    IUsersView* Users = nullptr;
    IChatsView* Chats = nullptr;
    IBansView* Bans = nullptr;
    IMailView* Mail = nullptr;
};

} // namespace kelvra
