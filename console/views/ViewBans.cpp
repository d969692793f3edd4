#include "ViewBans.h"

#include "BanEditor.h"
#include "ConsoleIcons.h"
#include "Server.h"
#include "TextUtil.h"

namespace kelvra {

namespace {

struct TBanRow {
    QString Nick;
    QString IP;
    int32_t Hits = 0;
    QString Comment;
};

enum Column { ColNick, ColIP, ColHits, ColComment };

} // namespace

class TviewBans::TBansModel : public TKeyedRows<TBanId, TBanRow> {
public:
    explicit TBansModel(QObject* parent)
        : TKeyedRows(QStringList{"Nickname Mask", "IP", "Hits", "Comment"}, parent) {}

protected:
    QString Text(int row, int column) const override {
        const TBanRow& r = At(row);
        switch (column) {
        case ColNick:
            return r.Nick;
        case ColIP:
            return r.IP;
        case ColHits:
            return QString::number(r.Hits);
        case ColComment:
            return r.Comment;
        default:
            return {};
        }
    }
    QIcon Image(int) const override { return {}; }
};

TviewBans::TviewBans(TServer& server, QWidget* parent)
    : TListWindow(QStringLiteral("Bans"),
                  ConsoleIcons::Command(ConsoleIcons::TCommandIcon::EditBan), parent),
      Server(server) {
    setObjectName(QStringLiteral("viewBans"));
    using ConsoleIcons::TCommandIcon;
    CreateBan1 = AddCommand(QStringLiteral("Create Ban Mask..."), QStringLiteral("Create Ban"),
                            ConsoleIcons::Command(TCommandIcon::CreateBan), false,
                            &TviewBans::CreateBan1Click);
    AddMenuSeparator();
    EditBan1 =
        AddCommand(QStringLiteral("&Edit Ban..."), QStringLiteral("Edit Ban"),
                   ConsoleIcons::Command(TCommandIcon::EditBan), true, &TviewBans::EditBan1Click);
    RemoveBan1 = AddCommand(QStringLiteral("&Remove Ban"), QStringLiteral("Delete Ban"),
                            ConsoleIcons::Command(TCommandIcon::DeleteBan), true,
                            &TviewBans::RemoveBan1Click);
    Rows = new TBansModel(this);
    Attach(Rows, {100, 100, 0, 0});
    // Create needs no row: the menu opens anywhere, Edit and Remove disabled.
    SetMenuWithoutRow(true);
}

TviewBans::~TviewBans() = default;

void TviewBans::AddBanRow(const TBan& ban) {
    Rows->Append(ban.Id, TBanRow{TBanList::DisplayNick(ban), TBanList::DisplayIP(ban), ban.Hits,
                                 FromBytes(ban.Comment)});
}

void TviewBans::BanHitsChanged(const TBan& ban) {
    if (TBanRow* row = Rows->Find(ban.Id)) {
        row->Hits = ban.Hits;
        Rows->CellChanged(ban.Id, ColHits);
    }
}

void TviewBans::RemoveBanRow(const TBan& ban) {
    Rows->Remove(ban.Id);
}

void TviewBans::CreateBan1Click() {
    ShowBanEditor(Server, TUserHandle{}, 0, this);
}

void TviewBans::EditBan1Click() {
    const int row = SelectedRow();
    if (row >= 0)
        ShowBanEditor(Server, TUserHandle{}, Rows->KeyAt(row), this);
}

void TviewBans::RemoveBan1Click() {
    const int row = SelectedRow();
    if (row >= 0)
        Server.RemoveBan(Rows->KeyAt(row));
}

} // namespace kelvra
