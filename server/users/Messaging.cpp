// Messaging: chat text, private messages (to the mail store when the target
// is absent) and invitations.
#include "PacketCodes.h"
#include "Server.h"

namespace kelvra {

void TServer::ChatData(TConnection*, const QByteArray& chatName, bool emote,
                       const QByteArray& text) {
    TChat* chat = Users.FindChatByName(chatName);
    if (!chat)
        return;
    const TPreparedPacket relay(MakePacket(KMC_CHATDATA, chatName, (emote ? "E" : "N") + text));
    if (chat->Users.size() == chat->Entries.size()) {
        SendToGroup(chat->Id(), relay, nullptr); // one entry each: the members
        return;
    }
    // A member that stands in the chat more than once gets a copy per entry.
    for (TConnection* member : chat->Users)
        Send(member, relay);
}

void TServer::PrivateMessage(TConnection* sender, const QByteArray& target, bool anonymous,
                             const QByteArray& text) {
    TConnection* to = Users.FindUserByNickname(target);
    const QByteArray from = anonymous ? QByteArray("Anonymous") : sender->Nickname;
    if (!to || to->Leaving) { // one that is leaving is as good as gone: keep the mail
        // The protocol has no answer for a refused message: the operator sees it.
        const QString refusal = MailRefusal(target, from, text);
        if (refusal.isEmpty())
            StoreMail(target, from, text);
        else
            ViewRef.ReportClientFailure(refusal);
        return;
    }
    if (to == sender) {
        Send(sender, MakePacket(KMC_MESSAGE, ServerNick, "Talking to yourself?"));
        return;
    }
    Send(to, MakePacket(KMC_MESSAGE, from, text, anonymous));
}

void TServer::Invite(TConnection* sender, const QByteArray& target, const QByteArray& param2) {
    TConnection* to = Users.FindUserByNickname(target);
    if (!to)
        return;
    Send(to, MakePacket(KMC_INVITE, sender->Nickname, param2));
}

} // namespace kelvra
