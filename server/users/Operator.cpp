// The operator's commands, from the console and from the control socket.
// Every command finds its record again by handle: sockets keep being served
// while the operator's dialogs are open, so the record a dialog was opened for
// may be gone when it closes.
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

namespace kelvra {

void TServer::Broadcast(const QByteArray& text, bool anonymous) {
    SendToAll(MakePacket(KMC_MESSAGE, ServerNick, text, anonymous));
}

bool TServer::Kick(const TUserHandle& handle) {
    TConnection* user = Users.FindUser(handle);
    if (!user)
        return false;
    Send(user, MakePacket(KMC_KICK));
    ViewRef.Kicked(*user);
    return true;
}

bool TServer::KickNickname(const QByteArray& nickname) {
    TConnection* user = Users.FindUserByNickname(nickname);
    if (!user)
        return false;
    Send(user, MakePacket(KMC_KICK));
    ViewRef.Kicked(*user);
    return true;
}

bool TServer::SendServerMessage(const QByteArray& nickname, const QByteArray& text) {
    TConnection* user = Users.FindUserByNickname(nickname);
    if (!user)
        return false;
    Send(user, MakePacket(KMC_MESSAGE, ServerNick, text));
    return true;
}

bool TServer::SendServerMessage(const TUserHandle& handle, const QByteArray& text) {
    TConnection* user = Users.FindUser(handle);
    if (!user)
        return false;
    Send(user, MakePacket(KMC_MESSAGE, ServerNick, text));
    return true;
}

bool TServer::PingUser(const TUserHandle& handle) {
    TConnection* user = Users.FindUser(handle);
    if (!user)
        return false;
    SendPing(user);
    return true;
}

bool TServer::RemoveUser(const TUserHandle& handle) {
    TConnection* user = Users.FindUser(handle);
    if (!user)
        return false;
    const SocketHandle socket = user->Socket;
    ViewRef.Removed(*user);
    EndUser(user, false);
    Transport.StopReading(socket);
    return true;
}

bool TServer::KillChat(TChatId id) {
    TChat* chat = Users.FindChat(id);
    if (!chat)
        return false;
    const TPreparedPacket bye(MakePacket(KMC_BYE, chat->Name));
    for (TConnection* member : chat->Users)
        Send(member, bye);
    return true;
}

TBan* TServer::NewBanWithRow(const TBan& fields) {
    TBan* ban = BanList.NewBan();
    const TBanId id = ban->Id;
    *ban = fields;
    ban->Id = id;
    ViewRef.AddBanRow(*ban);
    ViewRef.BanAdded(*ban);
    NoteStoresChanged(TStoreKind::Bans);
    return ban;
}

void TServer::HideBanRow(TBanId id) {
    if (TBan* ban = BanList.FindById(id))
        ViewRef.RemoveBanRow(*ban);
}

void TServer::ShowBanRow(TBanId id) {
    if (TBan* ban = BanList.FindById(id)) {
        ViewRef.AddBanRow(*ban);
        ViewRef.BanChanged(*ban);
        NoteStoresChanged(TStoreKind::Bans); // after an edit
    }
}

bool TServer::RemoveBan(TBanId id) {
    TBan* ban = BanList.FindById(id);
    if (!ban)
        return false;
    ViewRef.RemoveBanRow(*ban);
    ViewRef.BanRemoved(*ban);
    BanList.Remove(ban);
    NoteStoresChanged(TStoreKind::Bans);
    return true;
}

TBan TServer::BanForUser(const TConnection& user) {
    TBan ban;
    ban.IP1 = uint8_t(user.IPv4 >> 24);
    ban.IP2 = uint8_t(user.IPv4 >> 16);
    ban.IP3 = uint8_t(user.IPv4 >> 8);
    ban.IP4 = uint8_t(user.IPv4);
    ban.IP1_On = ban.IP2_On = ban.IP3_On = ban.IP4_On = true;
    ban.Hits = 1;
    ban.Nick_On = !TrimText(user.Nickname).isEmpty();
    ban.Nick = ban.Nick_On ? user.Nickname : QByteArray("*");
    return ban;
}

TBan* TServer::KickAndBan(const TUserHandle& handle, const QByteArray& comment) {
    const TConnection* user = Users.FindUser(handle);
    if (!user)
        return nullptr;
    TBan fields = BanForUser(*user);
    fields.Comment = comment;
    Kick(handle);
    return NewBanWithRow(fields);
}

bool TServer::EditBan(TBanId id, const TBan& fields) {
    TBan* ban = BanList.FindById(id);
    if (!ban)
        return false;
    ViewRef.RemoveBanRow(*ban);
    const int32_t hits = ban->Hits;
    *ban = fields;
    ban->Id = id;
    ban->Hits = hits;
    ViewRef.AddBanRow(*ban);
    NoteStoresChanged(TStoreKind::Bans);
    return true;
}

bool TServer::RemoveMail(TMailId id) {
    TMailItem* item = MailStore.FindById(id);
    if (!item)
        return false;
    RemoveMailItem(item);
    return true;
}

bool TServer::DeliverOrStoreMail(const QByteArray& target, const QByteArray& sender,
                                 const QByteArray& msg, TMailId* stored) {
    if (TConnection* user = Users.FindUserByNickname(target); user && !user->Leaving) {
        Send(user, MakePacket(KMC_MESSAGE, sender, msg));
        return true;
    }
    const TMailItem* item = StoreMail(target, sender, msg);
    if (stored)
        *stored = item->Id;
    return false;
}

TServer::TMailEdit TServer::EditMail(TMailId id, const QByteArray& target, const QByteArray& sender,
                                     const QByteArray& msg, TMailId* stored) {
    if (!RemoveMail(id))
        return TMailEdit::Gone;
    return DeliverOrStoreMail(target, sender, msg, stored) ? TMailEdit::Delivered
                                                           : TMailEdit::Stored;
}

} // namespace kelvra
