#include "Registry.h"

#include "TextUtil.h"

#include <algorithm>

namespace kelvra {

QByteArray TConnection::DottedAddress() const {
    return QByteArray::number((IPv4 >> 24) & 0xFF) + '.' + QByteArray::number((IPv4 >> 16) & 0xFF) +
           '.' + QByteArray::number((IPv4 >> 8) & 0xFF) + '.' + QByteArray::number(IPv4 & 0xFF);
}

TConnection* TRegistry::NewUser(SocketHandle socket) {
    auto record = std::make_unique<TConnection>();
    record->Socket = socket;
    record->Order = NextUserOrder++;
    TConnection* user = record.get();
    auto it = UserRecords.insert(UserRecords.end(), std::move(record));
    UserPos[user] = it;
    // A socket handle is unique among open connections; keep the first record
    // for it, as a walk of the list would find.
    const bool first = BySocket.emplace(socket, it).second;
    WithoutNickname.emplace(user->Order, user);
    if (first && Groups)
        Groups->JoinGroup(kEverybody, socket);
    return user;
}

bool TRegistry::Indexed(const TConnection* user) const {
    auto s = BySocket.find(user->Socket);
    return s != BySocket.end() && s->second->get() == user;
}

void TRegistry::ForgetSocket(TConnection* user) {
    auto s = BySocket.find(user->Socket);
    if (s == BySocket.end() || s->second->get() != user)
        return;
    BySocket.erase(s);
    // The descriptor may soon serve another connection: none of this
    // user's groups go to it.
    if (Groups) {
        Groups->LeaveGroup(kEverybody, user->Socket);
        for (const auto& [order, chat] : user->Chats)
            Groups->LeaveGroup(order, user->Socket);
    }
}

void TRegistry::GroupMembers(uint64_t group, std::vector<SocketHandle>& members) const {
    if (group == kEverybody) {
        for (const auto& user : UserRecords)
            if (!user->Leaving)
                members.push_back(user->Socket);
    } else if (const TChat* chat = FindChat(group)) {
        for (const TConnection* user : chat->MembersByOrder)
            if (!user->Leaving)
                members.push_back(user->Socket);
    }
}

const QByteArray& TRegistry::MemberNames(TChat* chat) {
    const auto& members = chat->MembersByOrder;
    for (size_t i = chat->NamesHeld; i < members.size(); ++i) {
        if (i > 0)
            chat->MemberNames.append(", ");
        chat->MemberNames.append(members[i]->Nickname);
        chat->NameEnds.push_back(static_cast<uint32_t>(chat->MemberNames.size()));
    }
    chat->NamesHeld = members.size();
    return chat->MemberNames;
}

size_t TRegistry::MemberIndex(const TChat* chat, const TConnection* user) {
    const auto& members = chat->MembersByOrder;
    auto at = std::lower_bound(
        members.begin(), members.end(), user,
        [](const TConnection* a, const TConnection* b) { return a->Order < b->Order; });
    return at != members.end() && *at == user ? static_cast<size_t>(at - members.begin())
                                              : members.size();
}

void TRegistry::Unindex(TConnection* user) {
    ForgetSocket(user);
    if (user->Nickname.isEmpty()) {
        WithoutNickname.erase(user->Order);
    } else {
        auto n = ByNickname.find(AsciiLower(user->Nickname));
        if (n != ByNickname.end() && n.value() == user)
            ByNickname.erase(n);
    }
}

void TRegistry::RemoveUser(TConnection* user) {
    auto pos = UserPos.find(user);
    if (pos == UserPos.end())
        return;
    while (!user->Chats.empty()) {
        TChat* chat = user->Chats.begin()->second;
        RemoveAllEntries(chat, user);
    }
    Unindex(user);
    UserRecordChanged(user);
    auto it = pos->second;
    UserPos.erase(pos);
    UserRecords.erase(it);
}

TConnection* TRegistry::FindUserBySocket(SocketHandle socket) const {
    auto it = BySocket.find(socket);
    return it == BySocket.end() ? nullptr : it->second->get();
}

TConnection* TRegistry::FindUser(const TUserHandle& handle) const {
    TConnection* user = handle.IsNull() ? nullptr : FindUserBySocket(handle.Socket);
    return user && user->Order == handle.Order ? user : nullptr;
}

TConnection* TRegistry::FindUserByNickname(const QByteArray& nickname) const {
    if (nickname.isEmpty())
        return WithoutNickname.empty() ? nullptr : WithoutNickname.begin()->second;
    return ByNickname.value(AsciiLower(nickname), nullptr);
}

void TRegistry::SetNickname(TConnection* user, const QByteArray& nickname) {
    if (user->Nickname.isEmpty()) {
        WithoutNickname.erase(user->Order);
    } else {
        auto n = ByNickname.find(AsciiLower(user->Nickname));
        if (n != ByNickname.end() && n.value() == user)
            ByNickname.erase(n);
    }
    user->Nickname = nickname;
    UserRecordChanged(user);
    for (const auto& [order, chat] : user->Chats)
        chat->CutNamesAt(MemberIndex(chat, user));
    if (nickname.isEmpty())
        WithoutNickname.emplace(user->Order, user);
    else
        ByNickname.insert(AsciiLower(nickname), user);
}

void TRegistry::UserRecordChanged(TConnection* user) {
    if (!UserListEncoding.Holds(user->ListSlot))
        return;
    UserListEncoding.CutAt(user->ListSlot);
    const auto it = UserPos.at(user);
    LastListedUser = it == UserRecords.begin() ? nullptr : std::prev(it)->get();
}

namespace {

// Encodes the elements after the last one encoded.
template <class List, class Positions, class Element, class Encoder>
const std::vector<QByteArray>& EncodeRest(const List& list, const Positions& positions,
                                          Element*& last, TListEncoding& encoding, Encoder record) {
    auto it = last ? std::next(positions.at(last)) : list.begin();
    for (; it != list.end(); ++it) {
        encoding.Add((*it)->ListSlot, record(**it));
        last = it->get();
    }
    return encoding.Blocks();
}

} // namespace

const std::vector<QByteArray>& TRegistry::UserListRecords(UserEncoder record) {
    return EncodeRest(UserRecords, UserPos, LastListedUser, UserListEncoding, record);
}

const std::vector<QByteArray>& TRegistry::ChatListRecords(ChatEncoder record) {
    return EncodeRest(ChatRecords, ChatPos, LastListedChat, ChatListEncoding, record);
}

TChat* TRegistry::NewChat(const QByteArray& name, bool secure) {
    auto record = std::make_unique<TChat>();
    record->Name = name;
    record->Secure = secure;
    record->Order = NextChatOrder++;
    TChat* chat = record.get();
    ChatPos[chat] = ChatRecords.insert(ChatRecords.end(), std::move(record));
    ChatsById.emplace(chat->Order, chat);
    ChatsByName[AsciiLower(name)].push_back(chat);
    return chat;
}

void TRegistry::RemoveChat(TChat* chat) {
    auto pos = ChatPos.find(chat);
    if (pos == ChatPos.end())
        return;
    for (auto& [member, entries] : chat->Entries) {
        if (Groups && Indexed(member))
            Groups->LeaveGroup(chat->Order, member->Socket);
        member->Chats.erase(chat->Order);
        member->ChatEntries -= static_cast<int>(entries.size());
    }
    auto named = ChatsByName.find(AsciiLower(chat->Name));
    if (named != ChatsByName.end()) {
        auto& list = named.value();
        list.erase(std::remove(list.begin(), list.end(), chat), list.end());
        if (list.empty())
            ChatsByName.erase(named);
    }
    if (ChatListEncoding.Holds(chat->ListSlot)) {
        ChatListEncoding.CutAt(chat->ListSlot);
        LastListedChat =
            pos->second == ChatRecords.begin() ? nullptr : std::prev(pos->second)->get();
    }
    auto it = pos->second;
    ChatsById.erase(chat->Order);
    ChatPos.erase(pos);
    ChatRecords.erase(it);
}

TChat* TRegistry::FindChatByName(const QByteArray& name) const {
    auto it = ChatsByName.constFind(AsciiLower(name));
    return it == ChatsByName.constEnd() || it->empty() ? nullptr : it->front();
}

TChat* TRegistry::FindChat(TChatId id) const {
    auto it = ChatsById.find(id);
    return it == ChatsById.end() ? nullptr : it->second;
}

void TRegistry::AddEntry(TChat* chat, TConnection* user) {
    auto entry = chat->Users.insert(chat->Users.end(), user);
    auto& entries = chat->Entries[user];
    if (entries.empty()) {
        // Newcomers usually have the highest accept order: the insert is at the end.
        auto& members = chat->MembersByOrder;
        auto at = members.end();
        if (!members.empty() && members.back()->Order > user->Order)
            at = std::lower_bound(
                members.begin(), members.end(), user,
                [](const TConnection* a, const TConnection* b) { return a->Order < b->Order; });
        chat->CutNamesAt(static_cast<size_t>(at - members.begin()));
        members.insert(at, user);
        user->Chats.emplace(chat->Order, chat);
        if (Groups && Indexed(user))
            Groups->JoinGroup(chat->Order, user->Socket);
    }
    entries.push_back(entry);
    ++user->ChatEntries;
}

void TRegistry::DropMember(TChat* chat, TConnection* user) {
    auto& members = chat->MembersByOrder;
    const size_t index = MemberIndex(chat, user);
    if (index < members.size()) {
        chat->CutNamesAt(index);
        members.erase(members.begin() + static_cast<std::ptrdiff_t>(index));
    }
    user->Chats.erase(chat->Order);
    if (Groups && Indexed(user))
        Groups->LeaveGroup(chat->Order, user->Socket);
}

bool TRegistry::RemoveFirstEntry(TChat* chat, TConnection* user) {
    auto it = chat->Entries.find(user);
    if (it == chat->Entries.end())
        return false;
    chat->Users.erase(it->second.front());
    it->second.pop_front();
    --user->ChatEntries;
    if (it->second.empty()) {
        chat->Entries.erase(it);
        DropMember(chat, user);
    }
    return true;
}

int TRegistry::RemoveAllEntries(TChat* chat, TConnection* user) {
    auto it = chat->Entries.find(user);
    if (it == chat->Entries.end())
        return 0;
    const int removed = static_cast<int>(it->second.size());
    for (auto entry : it->second)
        chat->Users.erase(entry);
    user->ChatEntries -= removed;
    chat->Entries.erase(it);
    DropMember(chat, user);
    return removed;
}

bool TRegistry::IsMember(const TChat* chat, const TConnection* user) {
    return chat->Entries.count(const_cast<TConnection*>(user)) > 0;
}

} // namespace kelvra
