#include "ViewUsers.h"

#include "ActiveButton.h"
#include "BanEditor.h"
#include "ConsoleIcons.h"
#include "OperatorDialogs.h"
#include "PicClip.h"
#include "Server.h"
#include "TextUtil.h"

#include <QLocale>
#include <QTreeView>

namespace kelvra {

namespace {

const QString kWait = QStringLiteral("Wait...");

struct TUserRow {
    TUserHandle Handle;
    QByteArray Nickname;
    QString UserName;
    uint16_t Port = 0;
    QByteArray Address;
    int32_t Icon = 0;
    QString StartTime;
    QString Ping;
};

enum Column { Nickname, Username, Socket, Port, Address, IconId, StartTime, PingTime };

} // namespace

class TviewUsers::TUsersModel : public TKeyedRows<SocketHandle, TUserRow> {
public:
    TUsersModel(const std::vector<QIcon>& images, QObject* parent)
        : TKeyedRows(QStringList{"Nickname", "Username", "Socket", "Port", "IP Address", "Icon ID",
                                 "Start Time", "Ping Time"},
                     parent),
          Images(images) {}

protected:
    QString Text(int row, int column) const override {
        const TUserRow& r = At(row);
        switch (column) {
        case Nickname:
            return FromBytes(r.Nickname);
        case Username:
            return r.UserName;
        case Socket:
            return QString::number(r.Handle.Socket);
        case Port:
            return QString::number(r.Port);
        case Address:
            return FromBytes(r.Address);
        case IconId:
            return QString::number(r.Icon);
        case StartTime:
            return r.StartTime;
        case PingTime:
            return r.Ping;
        default:
            return {};
        }
    }
    QIcon Image(int row) const override {
        const int index = ImageIndexOf(At(row).Icon);
        return index < 0 ? QIcon() : Images[static_cast<size_t>(index)];
    }

private:
    const std::vector<QIcon>& Images;
};

TviewUsers::TviewUsers(TServer& server, const TPicClip& sheet, QWidget* parent)
    : TListWindow(QStringLiteral("Users"), ConsoleIcons::BuiltIn(2), parent), Server(server) {
    setObjectName(QStringLiteral("viewUsers"));
    // FormCreate: the shared images, then every cell of the sheet.
    for (int i = 0; i < ConsoleIcons::kBuiltInImages; ++i)
        ImageList1.push_back(ConsoleIcons::BuiltIn(i));
    for (int n = 0; n < sheet.Columns() * sheet.Rows(); ++n)
        ImageList1.emplace_back(sheet.Cell(n));

    using ConsoleIcons::TCommandIcon;
    SendMessage1 = AddCommand(QStringLiteral("Send &Mail..."), QStringLiteral("Send Mail"),
                              ConsoleIcons::Command(TCommandIcon::SendMail), true,
                              &TviewUsers::SendMessage1Click);
    AddButtonSeparator();
    AddMenuSeparator();
    Kick1 = AddCommand(QStringLiteral("&Kick"), QStringLiteral("Kick"),
                       ConsoleIcons::Command(TCommandIcon::Kick), true, &TviewUsers::Kick1Click);
    KickandBan1 = AddCommand(QStringLiteral("Kick and &Ban"), QStringLiteral("Kick and Ban"),
                             ConsoleIcons::Command(TCommandIcon::KickAndBan), true,
                             &TviewUsers::KickandBan1Click);
    AddButtonSeparator();
    AddMenuSeparator();
    Ping1 = AddCommand(QStringLiteral("&Ping"), QStringLiteral("Ping"),
                       ConsoleIcons::Command(TCommandIcon::Ping), true, &TviewUsers::Ping1Click);
    AddButtonSeparator();
    AddMenuSeparator();
    Remove1 =
        AddCommand(QStringLiteral("&Remove"), QStringLiteral("Remove"),
                   ConsoleIcons::Command(TCommandIcon::Remove), true, &TviewUsers::Remove1Click);

    Rows = new TUsersModel(ImageList1, this);
    Attach(Rows, {100, 100, 50, 50, 100, 50, 70, 70});
}

TviewUsers::~TviewUsers() = default;

QString TviewUsers::PingText(int32_t ms) {
    if (ms < 100)
        return QString::number(ms) + QStringLiteral(" ms");
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(ms / 1000.0, 'g', QLocale::FloatingPointShortest) + QStringLiteral(" s");
}

int TviewUsers::ImageIndexOf(int32_t icon) {
    return icon < 0 || icon > 100 ? -1 : icon + 6;
}

void TviewUsers::AddUserRow(const TConnection& user, const QDateTime& loginTime) {
    Rows->Append(user.Socket,
                 TUserRow{user.Handle(), user.Nickname, kWait, user.Port, user.DottedAddress(),
                          user.IconId, LongTimeText(loginTime.time()), kWait});
}

void TviewUsers::RemoveUserRow(SocketHandle socket) {
    Rows->Remove(socket);
}

void TviewUsers::SetUserPing(SocketHandle socket, int32_t ms) {
    TUserRow* row = Rows->Find(socket);
    if (!row || ms < 0)
        return;
    row->Ping = PingText(ms);
    Rows->CellChanged(socket, PingTime);
}

void TviewUsers::SetUserName(SocketHandle socket, const QByteArray& userName) {
    TUserRow* row = Rows->Find(socket);
    if (!row)
        return;
    row->UserName = FromBytes(userName);
    Rows->CellChanged(socket, Username);
}

TUserHandle TviewUsers::SelectedUser() const {
    const int row = SelectedRow();
    return row < 0 ? TUserHandle{} : Rows->At(row).Handle;
}

void TviewUsers::SendMessage1Click() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    TForm9 dialog(Server.Registry(), this);
    dialog.SetTo(Rows->At(row).Nickname);
    if (dialog.exec() == MrOk)
        Server.SendServerMessage(dialog.To(), dialog.Text());
}

// A kicked user's row stays until its client leaves; the selection does not,
// so that a second click cannot kick whoever the selection moves to.
void TviewUsers::Kick1Click() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    Server.KickNickname(Rows->At(row).Nickname);
    ClearSelection();
}

void TviewUsers::KickandBan1Click() {
    const TUserHandle user = SelectedUser();
    if (user.IsNull())
        return;
    ClearSelection();
    if (Server.Kick(user))
        ShowBanEditor(Server, user, 0, this);
}

void TviewUsers::ActiveButton4Click() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const SocketHandle socket = Rows->KeyAt(row);
    Rows->Find(socket)->Ping = kWait;
    Rows->CellChanged(socket, PingTime);
    Server.PingUser(Rows->At(row).Handle);
}

void TviewUsers::Remove1Click() {
    const TUserHandle user = SelectedUser();
    if (user.IsNull())
        return;
    TForm13 dialog(QStringLiteral("Are you sure you want to remove this user? This will block all "
                                  "subsequent data from the user's socket and remove his name "
                                  "from the list."),
                   this);
    if (dialog.exec() != MrNo)
        Server.RemoveUser(user);
}

} // namespace kelvra
