#include "ViewMail.h"

#include "ConsoleIcons.h"
#include "EditMessageForm.h"
#include "Server.h"
#include "TextUtil.h"

#include <QTreeView>

namespace kelvra {

namespace {

struct TMailRow {
    QByteArray Target;
    QByteArray Sender;
    QByteArray Msg;
};

} // namespace

class TviewMail::TMailModel : public TKeyedRows<TMailId, TMailRow> {
public:
    TMailModel(const QIcon& image, QObject* parent)
        : TKeyedRows(QStringList{"Target", "Sender", "Message"}, parent), Envelope(image) {}

protected:
    QString Text(int row, int column) const override {
        const TMailRow& r = At(row);
        switch (column) {
        case 0:
            return FromBytes(r.Target.left(kMaxCellText));
        case 1:
            return FromBytes(r.Sender.left(kMaxCellText));
        case 2:
            return CellText(r.Msg);
        default:
            return {};
        }
    }
    QIcon Image(int) const override { return Envelope; }

private:
    QIcon Envelope;
};

TviewMail::TviewMail(TServer& server, QWidget* parent)
    : TListWindow(QStringLiteral("Mail"), ConsoleIcons::Mail(), parent), Server(server) {
    setObjectName(QStringLiteral("viewMail"));
    ImageList1.push_back(ConsoleIcons::Mail());
    using ConsoleIcons::TCommandIcon;
    CreateMail1 = AddCommand(QStringLiteral("&Create Mail..."), QStringLiteral("Create Mail"),
                             ConsoleIcons::Command(TCommandIcon::CreateMail), false,
                             &TviewMail::CreateMail1Click);
    AddMenuSeparator();
    EditMail1 =
        AddCommand(QStringLiteral("Edit Mail..."), QStringLiteral("Edit Mail"),
                   ConsoleIcons::Command(TCommandIcon::EditMail), true, &TviewMail::EditMail1Click);
    DeleteMail1 = AddCommand(QStringLiteral("&Delete Mail"), QStringLiteral("Delete Mail"),
                             ConsoleIcons::Command(TCommandIcon::DeleteMail), true,
                             &TviewMail::DeleteMail1Click);
    Rows = new TMailModel(ImageList1[0], this);
    Attach(Rows, {100, 100, 0});
    // Create needs no row: the menu opens anywhere, Edit and Remove disabled.
    SetMenuWithoutRow(true);
    connect(ListView1, &QAbstractItemView::doubleClicked, this, &TviewMail::ListView1DblClick);
}

TviewMail::~TviewMail() = default;

QString TviewMail::CellText(const QByteArray& msg) {
    QString text = FromBytes(msg.left(kMaxCellText));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QStringLiteral(" \u21b5 "));
    return text;
}

void TviewMail::AddMailRow(const TMailItem& item) {
    Rows->Append(item.Id, TMailRow{item.Target, item.Sender, item.Msg});
}

void TviewMail::RemoveMailRow(const TMailItem& item) {
    Rows->Remove(item.Id);
}

void TviewMail::CreateMail1Click() {
    EditMail(Server, 0, this);
}

void TviewMail::EditMail1Click() {
    const int row = SelectedRow();
    if (row >= 0)
        EditMail(Server, Rows->KeyAt(row), this);
}

void TviewMail::DeleteMail1Click() {
    const int row = SelectedRow();
    if (row >= 0)
        Server.RemoveMail(Rows->KeyAt(row));
}

} // namespace kelvra
