// The ban list and the mail store as the server core uses them: the rows of
// the console follow every change.
#include "PacketCodes.h"
#include "RegLink.h"
#include "Server.h"
#include "TextUtil.h"
#include "WireCodec.h"

namespace kelvra {

void TServer::RecordBanHit(TBan* ban) {
    // Hits are not saved, so a hit is no change of the stores.
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
    NoteStoresChanged(TStoreKind::Mail);
    return item;
}

QString TServer::MailRefusal(const QByteArray& target, const QByteArray& sender,
                             const QByteArray& msg) const {
    const qint64 bytes = TMailStore::RecordBytes(target, sender, msg);
    const TMailStore::TUsage forTarget = MailStore.UsageFor(target);
    const TMailStore::TUsage total = MailStore.Total();
    const TStoreLimits& l = StoreLimits;
    QString why;
    if (forTarget.Count >= l.MailPerTarget)
        why = QStringLiteral("%1 messages already stored for '%2'")
                  .arg(forTarget.Count)
                  .arg(LogText(target));
    else if (forTarget.Bytes + bytes > l.MailBytesPerTarget)
        why = QStringLiteral("%1 bytes would exceed the %2 bytes kept for '%3'")
                  .arg(bytes)
                  .arg(l.MailBytesPerTarget - forTarget.Bytes)
                  .arg(LogText(target));
    else if (total.Count >= l.MailTotal)
        why = QStringLiteral("%1 messages already stored in all").arg(total.Count);
    else if (total.Bytes + bytes > l.MailBytesTotal)
        why = QStringLiteral("%1 bytes would exceed the %2 bytes kept in all")
                  .arg(bytes)
                  .arg(l.MailBytesTotal - total.Bytes);
    if (why.isEmpty())
        return why;
    return QStringLiteral("Mail for '%1' from '%2' refused: %3")
        .arg(LogText(target), LogText(sender), why);
}

void TServer::RemoveMailItem(TMailItem* item) {
    ViewRef.RemoveMailRow(*item);
    MailStore.Remove(item);
    NoteStoresChanged(TStoreKind::Mail);
}

void TServer::DeliverMail(SocketHandle socket) {
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user)
        return;
    const QByteArray nickname = user->Nickname;
    // A record leaves the store only once the connection has taken it within
    // its send limit; what does not fit waits, in order, for the next request.
    while (TMailItem* item = MailStore.FirstFor(nickname)) {
        const TDataPacket packet =
            MakePacket(KMC_MESSAGE, item->Sender, item->Msg, item->Sender == "Anonymous");
        if (EncodedSize(packet) > Transport.SendRoom(socket))
            return;
        Send(socket, packet);
        if (Users.FindUserBySocket(socket) != user)
            return; // the connection ended while sending: nothing was handed over
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
