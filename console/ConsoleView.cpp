#include "ConsoleView.h"

#include "DataIn.h"
#include "DataOut.h"
#include "ViewErrors.h"

namespace kelvra {

void TConsoleView::SetErrorLog(TviewErrors* errors) {
    Errors = errors;
}

void TConsoleView::SetTrafficLogs(TdataIn* in, TdataOut* out) {
    In = in;
    Out = out;
}

void TConsoleView::SetListViews(IUsersView* users, IChatsView* chats, IBansView* bans,
                                IMailView* mail) {
    Users = users;
    Chats = chats;
    Bans = bans;
    Mail = mail;
}

bool TConsoleView::LogsTraffic() const {
    return In || Out;
}

void TConsoleView::LogPacket(const TDataPacket& packet, bool outgoing) {
    if (outgoing) {
        if (Out)
            Out->AddPacket(packet);
    } else if (In) {
        In->AddPacket(packet);
    }
}

void TConsoleView::LogPackets(const TDataPacket& packet, bool outgoing, qsizetype count) {
    if (!outgoing) {
        IServerView::LogPackets(packet, outgoing, count);
        return;
    }
    if (Out)
        Out->AddPacket(packet, count);
}

void TConsoleView::LogEncoded(const std::vector<QByteArray>& blocks, qsizetype records,
                              bool outgoing) {
    if (!outgoing) {
        IServerView::LogEncoded(blocks, records, outgoing);
        return;
    }
    if (Out)
        Out->AddEncoded(blocks, records);
}

void TConsoleView::ReportSocketError(int code, const QString& function) {
    if (Errors)
        Errors->AddSocketError(code, function);
}

void TConsoleView::ReportClientFailure(const QString& text) {
    if (Errors)
        Errors->AddClientFailure(text);
}

void TConsoleView::AddUserRow(const TConnection& user, const QDateTime& loginTime) {
    if (Users)
        Users->AddUserRow(user, loginTime);
}

void TConsoleView::RemoveUserRow(SocketHandle socket) {
    if (Users)
        Users->RemoveUserRow(socket);
}

void TConsoleView::SetUserPing(SocketHandle socket, int32_t ms) {
    if (Users)
        Users->SetUserPing(socket, ms);
}

void TConsoleView::SetUserName(SocketHandle socket, const QByteArray& userName) {
    if (Users)
        Users->SetUserName(socket, userName);
}

void TConsoleView::AddChatRow(const TChat& chat, const QDateTime& created) {
    if (Chats)
        Chats->AddChatRow(chat, created);
}

void TConsoleView::ChatMembersChanged(const TChat& chat) {
    if (Chats)
        Chats->ChatMembersChanged(chat);
}

void TConsoleView::RemoveChatRow(const TChat& chat) {
    if (Chats)
        Chats->RemoveChatRow(chat);
}

void TConsoleView::AddBanRow(const TBan& ban) {
    if (Bans)
        Bans->AddBanRow(ban);
}

void TConsoleView::BanHitsChanged(const TBan& ban) {
    if (Bans)
        Bans->BanHitsChanged(ban);
}

void TConsoleView::RemoveBanRow(const TBan& ban) {
    if (Bans)
        Bans->RemoveBanRow(ban);
}

void TConsoleView::AddMailRow(const TMailItem& item) {
    if (Mail)
        Mail->AddMailRow(item);
}

void TConsoleView::RemoveMailRow(const TMailItem& item) {
    if (Mail)
        Mail->RemoveMailRow(item);
}

} // namespace kelvra
