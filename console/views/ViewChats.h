#pragma once
// The Chats window: one row per open chat with its member count, and Kill Chat.
#include "ListWindow.h"
#include "Registry.h"
#include "ServerView.h"

namespace kelvra {

class TServer;

class TviewChats : public TListWindow, public IChatsView {
    Q_OBJECT
public:
    explicit TviewChats(TServer& server, QWidget* parent = nullptr);
    ~TviewChats() override;

    // IChatsView
    void AddChatRow(const TChat& chat, const QDateTime& created) override;
    void ChatMembersChanged(const TChat& chat) override;
    void RemoveChatRow(const TChat& chat) override;

    // Kill Chat: asks every member of the selected chat to leave it.
    void ActiveButton2Click();

    std::vector<QIcon> ImageList1; // the images shared with the Users window
    QAction* KillChat1 = nullptr;

private:
    class TChatsModel;
    TServer& Server;
    TChatsModel* Rows = nullptr;
};

} // namespace kelvra
