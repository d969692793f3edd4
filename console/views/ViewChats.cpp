#include "ViewChats.h"

#include "ConsoleIcons.h"
#include "Server.h"
#include "TextUtil.h"

namespace kelvra {

namespace {

struct TChatRow {
    QByteArray Name;
    int Members = 0;
    bool Secure = false;
    QString StartTime;
};

enum Column { ColName, ColUsers, ColSecure, ColStartTime };

} // namespace

class TviewChats::TChatsModel : public TKeyedRows<TChatId, TChatRow> {
public:
    TChatsModel(const std::vector<QIcon>& images, QObject* parent)
        : TKeyedRows(QStringList{"Chat Name", "Users", "Secure", "Start Time"}, parent),
          Images(images) {}

protected:
    QString Text(int row, int column) const override {
        const TChatRow& r = At(row);
        switch (column) {
        case ColName:
            return FromBytes(r.Name);
        case ColUsers:
            return QString::number(r.Members);
        case ColSecure:
            return r.Secure ? QStringLiteral("Yes") : QStringLiteral("No");
        case ColStartTime:
            return r.StartTime;
        default:
            return {};
        }
    }
    QIcon Image(int row) const override { return Images[At(row).Secure ? 1 : 0]; }

private:
    const std::vector<QIcon>& Images;
};

TviewChats::TviewChats(TServer& server, QWidget* parent)
    : TListWindow(QStringLiteral("Chats"), ConsoleIcons::BuiltIn(3), parent), Server(server) {
    setObjectName(QStringLiteral("viewChats"));
    for (int i = 0; i < ConsoleIcons::kBuiltInImages; ++i)
        ImageList1.push_back(ConsoleIcons::BuiltIn(i));
    KillChat1 = AddCommand(QStringLiteral("Kill Chat"), QStringLiteral("Kill Chat"),
                           ConsoleIcons::Command(ConsoleIcons::TCommandIcon::KillChat), true,
                           &TviewChats::ActiveButton2Click);
    Rows = new TChatsModel(ImageList1, this);
    Attach(Rows, {100, 50, 50, 100});
}

TviewChats::~TviewChats() = default;

void TviewChats::AddChatRow(const TChat& chat, const QDateTime& created) {
    Rows->Append(chat.Id(), TChatRow{chat.Name, chat.MemberCount(), chat.Secure,
                                     LongTimeText(created.time())});
}

// Only the chat whose membership changed is refreshed.
void TviewChats::ChatMembersChanged(const TChat& chat) {
    TChatRow* row = Rows->Find(chat.Id());
    if (!row || row->Members == chat.MemberCount())
        return;
    row->Members = chat.MemberCount();
    Rows->CellChanged(chat.Id(), ColUsers);
}

void TviewChats::RemoveChatRow(const TChat& chat) {
    Rows->Remove(chat.Id());
}

void TviewChats::ActiveButton2Click() {
    const int row = SelectedRow();
    if (row >= 0)
        Server.KillChat(Rows->KeyAt(row));
}

} // namespace kelvra
