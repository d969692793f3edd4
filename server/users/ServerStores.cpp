// The ban list and the mail store as the server core uses them: the rows of
// the console follow every change.
#include "PacketCodes.h"
#include "RegLink.h"
#include "Server.h"
#include "TextUtil.h"

namespace kelvra {

void TServer::RecordBanHit(TBan* ban) {
    ++ban->Hits;
    ViewRef.BanHitsChanged(*ban);
}

void TServer::LoadBans(const TRegLink& reg) {
    for (TBan* ban : BanList.Load(reg))
        ViewRef.AddBanRow(*ban);
}

bool TServer::SaveBans(TRegLink& reg, QString* error) {
    return BanList.Save(reg, error);
}

TMailItem* TServer::StoreMail(const QByteArray& target, const QByteArray& sender,
                              const QByteArray& msg) {
    TMailItem* item = MailStore.Append(target, sender, msg);
    ViewRef.AddMailRow(*item);
    return item;
}

void TServer::RemoveMailItem(TMailItem* item) {
    ViewRef.RemoveMailRow(*item);
    MailStore.Remove(item);
}

void TServer::DeliverMail(SocketHandle socket) {
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user)
        return;
    for (TMailItem* item : MailStore.MailFor(user->Nickname)) {
        Send(user, MakePacket(KMC_MESSAGE, item->Sender, item->Msg, item->Sender == "Anonymous"));
        RemoveMailItem(item);
    }
}

void TServer::LoadMail() {
    for (TMailItem* item : MailStore.Load(MailFile))
        ViewRef.AddMailRow(*item);
}

bool TServer::SaveMail(QString* error) {
    return MailStore.Save(MailFile, error);
}

} // namespace kelvra
