#pragma once
// The Bans window: one row per ban of the ban list, and the editor's commands.
#include "BanList.h"
#include "ListWindow.h"
#include "ServerView.h"

namespace kelvra {

class TServer;

class TviewBans : public TListWindow, public IBansView {
    Q_OBJECT
public:
    explicit TviewBans(TServer& server, QWidget* parent = nullptr);
    ~TviewBans() override;

    // IBansView
    void AddBanRow(const TBan& ban) override;
    void BanHitsChanged(const TBan& ban) override;
    void RemoveBanRow(const TBan& ban) override;

    void CreateBan1Click();
    void EditBan1Click();
    void ActiveButton3Click() { EditBan1Click(); }
    void RemoveBan1Click();

    // Shared with the main menu's "Create Ban Mask...".
    QAction* CreateBanAction() const { return CreateBan1; }

    QAction* CreateBan1 = nullptr;
    QAction* EditBan1 = nullptr;
    QAction* RemoveBan1 = nullptr;

private:
    class TBansModel;
    TServer& Server;
    TBansModel* Rows = nullptr;
};

} // namespace kelvra
