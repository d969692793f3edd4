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
    InFlightTo.remove(item->Id);
    ViewRef.RemoveMailRow(*item);
    MailStore.Remove(item);
    NoteStoresChanged(TStoreKind::Mail);
}

void TServer::DeliverMail(SocketHandle socket) {
    TConnection* user = Users.FindUserBySocket(socket);
    if (!user)
        return;
    // A record leaves the store only once the connection's socket has written
    // it; until then it is in flight there and handed to nobody else. What
    // does not fit the send room waits, in order, for the next request.
    std::vector<TMailId> ids;
    for (const TMailItem* item : MailStore.MailFor(user->Nickname))
        ids.push_back(item->Id);
    for (const TMailId id : ids) {
        TMailItem* item = MailStore.FindById(id);
        if (!item || InFlightTo.contains(id))
            continue;
        const TDataPacket packet =
            MakePacket(KMC_MESSAGE, item->Sender, item->Msg, item->Sender == "Anonymous");
        if (EncodedSize(packet) > Transport.SendRoom(socket))
            return;
        const uint64_t before = Transport.QueuedOffset(socket);
        Send(socket, packet);
        if (Users.FindUserBySocket(socket) != user)
            return; // the connection ended while sending: nothing was handed over
        const uint64_t end = Transport.QueuedOffset(socket);
        if (end == 0) {
            // A transport without write receipts: queued is as far as it tells.
            RemoveMailItem(item);
            continue;
        }
        if (end <= before)
            return; // the connection took nothing
        InFlight[socket].push_back(TInFlight{id, end});
        InFlightTo.insert(id, socket);
        Transport.NotifyWhenWritten(socket, end); // may report at once
    }
}

void TServer::OutputWritten(SocketHandle socket, uint64_t offset) {
    const auto found = InFlight.find(socket);
    if (found == InFlight.end())
        return;
    std::vector<TMailId> written;
    std::deque<TInFlight>& queue = found.value();
    while (!queue.empty() && queue.front().End <= offset) {
        written.push_back(queue.front().Id);
        queue.pop_front();
    }
    if (queue.empty())
        InFlight.erase(found);
    for (const TMailId id : written) {
        InFlightTo.remove(id);
        // The operator may have deleted it meanwhile.
        if (TMailItem* item = MailStore.FindById(id))
            RemoveMailItem(item);
    }
}

void TServer::ReturnMailInFlight(SocketHandle socket) {
    // Never taken out of the store, so back in its place, once.
    for (const TInFlight& mail : InFlight.take(socket))
        InFlightTo.remove(mail.Id);
}

void TServer::ConnectionClosed(SocketHandle socket) {
    ReturnMailInFlight(socket);
    QuitUser(socket);
}

void TServer::LoadMail() {
    QStringList notes;
    MailSaver.Load(MailFile, &notes);
    for (TMailItem* item : MailStore.Items())
        ViewRef.AddMailRow(*item);
    for (const QString& note : notes)
        ViewRef.ReportClientFailure(note);
}

bool TServer::SaveMail(QString* error) {
    return MailSaver.SaveNow(MailFile, error);
}

} // namespace kelvra
