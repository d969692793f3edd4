#pragma once
// The Mail window: one row per stored mail record, and the operator's mail
// commands.
#include "ListWindow.h"
#include "MailStore.h"
#include "ServerView.h"

namespace kelvra {

class TServer;

class TviewMail : public TListWindow, public IMailView {
    Q_OBJECT
public:
    // Longer messages are cut in the cell.
    static constexpr int kMaxCellText = 2048;

    explicit TviewMail(TServer& server, QWidget* parent = nullptr);
    ~TviewMail() override;

    // IMailView
    void AddMailRow(const TMailItem& item) override;
    void RemoveMailRow(const TMailItem& item) override;

    void CreateMail1Click();
    void EditMail1Click();
    void ListView1DblClick() { EditMail1Click(); }
    void DeleteMail1Click();

    // A message as its cell shows it: on one line, line breaks marked.
    static QString CellText(const QByteArray& msg);

    std::vector<QIcon> ImageList1; // 0: the rows' envelope
    QAction* CreateMail1 = nullptr;
    QAction* EditMail1 = nullptr;
    QAction* DeleteMail1 = nullptr;

private:
    class TMailModel;
    TServer& Server;
    TMailModel* Rows = nullptr;
};

} // namespace kelvra
