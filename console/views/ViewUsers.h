#pragma once
// The Users window: one row per logged-on user, and the operator's commands
// on the selected user.
#include "ListWindow.h"
#include "Registry.h"
#include "ServerView.h"

namespace kelvra {

class TPicClip;
class TServer;

class TviewUsers : public TListWindow, public IUsersView {
    Q_OBJECT
public:
    TviewUsers(TServer& server, const TPicClip& sheet, QWidget* parent = nullptr);
    ~TviewUsers() override;

    // IUsersView
    void AddUserRow(const TConnection& user, const QDateTime& loginTime) override;
    void RemoveUserRow(SocketHandle socket) override;
    void SetUserPing(SocketHandle socket, int32_t ms) override;
    void SetUserName(SocketHandle socket, const QByteArray& userName) override;

    void SendMessage1Click();
    void Kick1Click();
    void KickandBan1Click();
    void ActiveButton4Click(); // Ping
    void Ping1Click() { ActiveButton4Click(); }
    void Remove1Click();

    // "42 ms" below 100 ms, else seconds in the shortest form ("0.25 s").
    static QString PingText(int32_t ms);
    // The row image of an icon number: icon + 6, none outside 0..100.
    static int ImageIndexOf(int32_t icon);

    // 0-6 the shared images, 7-106 the cells of the user icon sheet.
    std::vector<QIcon> ImageList1;
    QAction* SendMessage1 = nullptr;
    QAction* Kick1 = nullptr;
    QAction* KickandBan1 = nullptr;
    QAction* Ping1 = nullptr;
    QAction* Remove1 = nullptr;

private:
    class TUsersModel;
    // The selected row's user; null when no row is selected.
    TUserHandle SelectedUser() const;

    TServer& Server;
    TUsersModel* Rows = nullptr;
};

} // namespace kelvra
