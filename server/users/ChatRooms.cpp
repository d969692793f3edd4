// Chat rooms: creation, joining, leaving, and the operator's request to leave.
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

#include <QDateTime>

namespace kelvra {

namespace {
// A client that keeps knocking past its cap gets one error row this often.
constexpr uint32_t kRefusalRowEveryMs = 10'000;
} // namespace

bool TServer::MayAddEntry(TConnection* user, const char* request, const QByteArray& chatName) {
    if (user->ChatEntries < StoreLimits.ChatEntriesPerConnection)
        return true;
    const uint32_t now = TickCount();
    if (!user->EntryRefusalShown || now - user->EntryRefusalShownAt >= kRefusalRowEveryMs) {
        user->EntryRefusalShown = true;
        user->EntryRefusalShownAt = now;
        ViewRef.ReportClientFailure(
            QStringLiteral("%1 of '%2' by '%3' refused: connection %4 already holds %5 chat "
                           "entries (later refusals within %6 s are not shown)")
                .arg(QLatin1String(request), LogText(chatName), LogText(user->Nickname))
                .arg(user->Socket)
                .arg(user->ChatEntries)
                .arg(kRefusalRowEveryMs / 1000));
    }
    return false;
}

void TServer::CreateChat(TConnection* user, const QByteArray& nameParam, bool secure) {
    const QByteArray name = TrimText(nameParam);
    if (name.isEmpty()) {
        Send(user, MakePacket(KMC_STATUS, "Invalid Chat Name"));
        return;
    }
    if (!MayAddEntry(user, "Creation", name))
        return;
    TChat* chat = Users.NewChat(name, secure);
    SendToAll(MakePacket(KMC_ADDCHAT, name, {}, secure));
    JoinChat(user, chat, true);
    chat->Created = QDateTime::currentDateTime();
    ViewRef.AddChatRow(*chat, chat->Created);
}

void TServer::JoinChat(TConnection* user, TChat* chat, bool pass) {
    if (!chat) {
        Send(user, MakePacket(KMC_MESSAGE, ServerNick, "The chat does not exist"));
        return;
    }
    if (chat->Secure && !pass) {
        Send(user, MakePacket(KMC_MESSAGE, ServerNick, "This is a private chat"));
        return;
    }
    if (!MayAddEntry(user, "Join", chat->Name))
        return;
    Users.AddEntry(chat, user);
    Send(user, MakePacket(KMC_JOINED, chat->Name));

    // The other members in accept order: the order of the user list.
    SendToGroup(chat->Id(),
                TPreparedPacket(MakePacket(KMC_CHATDATA, chat->Name,
                                           "S" + user->Nickname + " has joined the chat")),
                user, true);
    QByteArray whoIsHere;
    if (chat->MembersByOrder.size() <= 1) {
        whoIsHere = "SYou are alone.";
    } else {
        static constexpr char kHere[] = "SUsers on this chat : ";
        const QByteArray& names = Users.MemberNames(chat);
        whoIsHere.reserve(static_cast<qsizetype>(sizeof kHere) + names.size());
        whoIsHere.append(kHere);
        if (chat->MembersByOrder.back() == user) {
            // A newcomer is usually the last: the names before its own.
            whoIsHere.append(names.constData(), names.size() - user->Nickname.size() - 2);
        } else {
            bool first = true;
            for (const TConnection* q : chat->MembersByOrder) {
                if (q == user)
                    continue;
                if (!first)
                    whoIsHere.append(", ");
                whoIsHere.append(q->Nickname);
                first = false;
            }
        }
        whoIsHere.append('.');
    }
    Send(user, MakePacket(KMC_CHATDATA, chat->Name, whoIsHere));
    ViewRef.ChatMembersChanged(*chat);
}

void TServer::AfterLeave(TChat* chat, TConnection* user, bool tellOthers) {
    if (!chat->Users.empty()) {
        if (tellOthers) {
            const TPreparedPacket left(
                MakePacket(KMC_CHATDATA, chat->Name, "S" + user->Nickname + " has quit the chat"));
            if (chat->Users.size() == chat->Entries.size()) {
                SendToGroup(chat->Id(), left, nullptr, true); // one entry each: the members
            } else {
                for (TConnection* member : chat->Users)
                    Send(member, left);
            }
        }
        ViewRef.ChatMembersChanged(*chat);
        return;
    }
    if (tellOthers)
        SendToAll(MakePacket(KMC_DELCHAT, chat->Name));
    ViewRef.RemoveChatRow(*chat);
    Users.RemoveChat(chat);
}

void TServer::QuitChat(TChat* chat, TConnection* user) {
    if (!chat || !user || !Users.RemoveFirstEntry(chat, user))
        return;
    AfterLeave(chat, user, true);
}

} // namespace kelvra
