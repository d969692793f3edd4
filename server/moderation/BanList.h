#pragma once
// The ban list: address and nickname masks, matched in list order.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

namespace kelvra {

class TRegLink;

// A ban's stable id, the handle by which the console refers to it.
using TBanId = uint64_t;

struct TBan {
    TBanId Id = 0; // unique for the run, never reused
    uint8_t IP1 = 0, IP2 = 0, IP3 = 0, IP4 = 0;
    bool IP1_On = false, IP2_On = false, IP3_On = false, IP4_On = false;
    QByteArray Nick;
    bool Nick_On = false;
    int32_t Hits = 0;
    bool InString = false;
    QByteArray Comment;
};

class TBanList {
public:
    // A fresh ban appended at the end of the list.
    TBan* NewBan();
    // Takes a ban out of the list and frees it; false when it is not in the list.
    bool Remove(TBan* ban);
    // nullptr when no ban of the list has that id.
    TBan* FindById(TBanId id) const;
    const std::vector<std::unique_ptr<TBan>>& Bans() const { return List; }
    int Count() const { return static_cast<int>(List.size()); }
    void Clear() { List.clear(); }

    static bool NickMatches(const TBan& ban, const QByteArray& nick);
    // The first ban matching a (trimmed) nickname and an IPv4 address in host
    // order (octet 1 is the most significant byte); nullptr when none.
    TBan* FindBan(const QByteArray& nick, uint32_t ipv4) const;

    // Appends the bans stored in section "Bans"; returns the bans added, in order.
    std::vector<TBan*> Load(const TRegLink& reg);
    // Writes every ban and the count to section "Bans" (not flushed). False with
    // the store's error text when a write fails; the save stops there.
    bool Save(TRegLink& reg, QString* error = nullptr) const;

    // The Bans view's display forms.
    static QString DisplayNick(const TBan& ban);
    static QString DisplayIP(const TBan& ban);

private:
    std::vector<std::unique_ptr<TBan>> List;
    TBanId NextId = 1;
};

} // namespace kelvra
