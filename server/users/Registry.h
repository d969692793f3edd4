#pragma once
// The server's memory of who is connected and which chats exist: two ordered
// lists (accept order, creation order) with indexes beside them, so that no
// lookup walks a list. Lookups keep the first-match-in-list-order rule.
#include "ListEncoding.h"
#include "Transport.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace kelvra {

struct TChat;

// How the console refers to a user record across a modal dialog: the socket,
// plus the accept order, since a closed descriptor is soon reused.
struct TUserHandle {
    SocketHandle Socket = 0;
    uint64_t Order = 0; // 0: no user
    bool IsNull() const { return Order == 0; }
};

// A chat's stable id (its creation order), the console's handle for it.
using TChatId = uint64_t;

struct TConnection {
    SocketHandle Socket = 0;
    uint32_t IPv4 = 0; // peer address, host order: octet 1 is the top byte
    uint16_t Port = 0; // peer port, host order
    QByteArray Nickname;
    int32_t IconId = 0;
    bool LoggedIn = false;
    bool PingPending = false;
    uint32_t PingSentAt = 0;
    int32_t PingTime = 0;
    bool PingMeasured = false; // PingTime holds an answer's round trip
    // What the Users row shows beside the fields above: the accepted user
    // name (none until KMS_USER is accepted) and when the login succeeded.
    std::optional<QByteArray> UserName;
    QDateTime LoginTime;

    // Bookkeeping beside the record's own fields.
    uint64_t Order = 0;               // accept order
    bool HasUserRow = false;          // a successful login added its Users row
    std::map<uint64_t, TChat*> Chats; // chats it stands in, by creation order
    int ChatEntries = 0;              // entries in all chats together
    uint32_t EntryRefusalShownAt = 0; // tick of the last error row for a refused entry
    bool EntryRefusalShown = false;
    // Ended, still leaving its chats a share at a time: no longer found by
    // its socket (which may already serve another connection), sent nothing.
    bool Leaving = false;
    // The KMC_ADDUSER record that announces this user, encoded once per login
    // instead of once per newcomer.
    mutable std::shared_ptr<const TPreparedPacket> AddUserRecord;
    TListEncoding::TSlot ListSlot; // its record in the user list a newcomer is sent

    QByteArray DottedAddress() const;
    TUserHandle Handle() const { return {Socket, Order}; }
};

struct TChat {
    QByteArray Name;
    bool Secure = false;
    uint64_t Order = 0; // creation order, also the chat's id
    TChatId Id() const { return Order; }
    QDateTime Created;
    TListEncoding::TSlot ListSlot; // its record in the chat list a newcomer is sent

    // Member entries in join order; a user may stand more than once.
    std::list<TConnection*> Users;
    int MemberCount() const { return static_cast<int>(Users.size()); }

    // Each member's entries, oldest first (a deque: the oldest leaves first),
    // and the distinct members sorted by accept order (contiguous: the notices
    // of a join walk all of them).
    std::unordered_map<TConnection*, std::deque<std::list<TConnection*>::iterator>> Entries;
    std::vector<TConnection*> MembersByOrder;
    // The members' nicknames in that order, joined by ", " (what a joiner is
    // told), made for the first NamesHeld members; NameEnds[i] is where the
    // i-th name ends. A change cuts it at the member it touches, and the rest
    // is appended again when it is next asked for.
    QByteArray MemberNames;
    std::vector<uint32_t> NameEnds;
    size_t NamesHeld = 0;
    void CutNamesAt(size_t member) {
        NamesHeld = std::min(NamesHeld, member);
        NameEnds.resize(NamesHeld);
        MemberNames.truncate(NamesHeld == 0 ? 0 : NameEnds.back());
    }
};

class TRegistry {
public:
    using UserList = std::list<std::unique_ptr<TConnection>>;
    using ChatList = std::list<std::unique_ptr<TChat>>;

    // A fresh record at the end of the user list.
    TConnection* NewUser(SocketHandle socket);
    // Takes the record out of the user list (and out of every chat) and destroys it.
    void RemoveUser(TConnection* user);
    // The record is no longer found by its socket; it stays in the lists.
    void ForgetSocket(TConnection* user);

    TConnection* FindUserBySocket(SocketHandle socket) const;
    // The record the handle was taken from, nullptr when it has ended.
    TConnection* FindUser(const TUserHandle& handle) const;
    // ASCII case ignored; the key is used as it comes (not trimmed).
    TConnection* FindUserByNickname(const QByteArray& nickname) const;
    void SetNickname(TConnection* user, const QByteArray& nickname);
    // The user's record in the user list changed (its nickname or icon).
    void UserRecordChanged(TConnection* user);

    // A fresh chat at the end of the chat list.
    TChat* NewChat(const QByteArray& name, bool secure);
    void RemoveChat(TChat* chat);
    TChat* FindChatByName(const QByteArray& name) const;
    TChat* FindChat(TChatId id) const;

    // The transport is told who takes the records of each group: everybody
    // (kEverybody) and the distinct members of each chat (keyed by its id).
    static constexpr uint64_t kEverybody = 0;
    void SetGroups(ITransport* transport) { Groups = transport; }
    void GroupMembers(uint64_t group, std::vector<SocketHandle>& members) const;
    // The chat's MemberNames, brought up to date.
    const QByteArray& MemberNames(TChat* chat);

    void AddEntry(TChat* chat, TConnection* user);
    // Removes the user's first entry; false when it has none.
    bool RemoveFirstEntry(TChat* chat, TConnection* user);
    // Removes every entry of the user, in time linear in their number;
    // returns how many there were.
    int RemoveAllEntries(TChat* chat, TConnection* user);
    static bool IsMember(const TChat* chat, const TConnection* user);

    const UserList& Users() const { return UserRecords; }
    const ChatList& Chats() const { return ChatRecords; }
    int UserCount() const { return static_cast<int>(UserRecords.size()); }
    int ChatCount() const { return static_cast<int>(ChatRecords.size()); }

    // The records a newcomer is sent for every user and every chat, in list
    // order, encoded once and brought up to date from the first changed
    // element on; record() encodes one element.
    using UserEncoder = const QByteArray& (*)(const TConnection&);
    using ChatEncoder = QByteArray (*)(const TChat&);
    const std::vector<QByteArray>& UserListRecords(UserEncoder record);
    const std::vector<QByteArray>& ChatListRecords(ChatEncoder record);

private:
    void Unindex(TConnection* user);
    // The user has no entry left in the chat.
    void DropMember(TChat* chat, TConnection* user);
    // Where the user stands in the chat's MembersByOrder (size() if not).
    static size_t MemberIndex(const TChat* chat, const TConnection* user);
    // Still found by its socket (not ended, not leaving).
    bool Indexed(const TConnection* user) const;

    ITransport* Groups = nullptr;

    UserList UserRecords;
    ChatList ChatRecords;
    TListEncoding UserListEncoding;
    TListEncoding ChatListEncoding;
    TConnection* LastListedUser = nullptr; // the last user UserListEncoding holds
    TChat* LastListedChat = nullptr;
    uint64_t NextUserOrder = 1;
    uint64_t NextChatOrder = 1;

    std::unordered_map<SocketHandle, UserList::iterator> BySocket;
    QHash<QByteArray, TConnection*> ByNickname;       // lower-cased, non-empty nicknames
    std::map<uint64_t, TConnection*> WithoutNickname; // accept order
    std::unordered_map<TConnection*, UserList::iterator> UserPos;
    std::unordered_map<TChat*, ChatList::iterator> ChatPos;
    std::unordered_map<TChatId, TChat*> ChatsById;
    QHash<QByteArray, std::vector<TChat*>> ChatsByName; // lower-cased, creation order
};

} // namespace kelvra
