#pragma once
// Records sent to a group of connections (everybody, the members of a chat)
// during one pass of the event loop, kept once for all of them. The records
// of all groups go into the same blocks in the order they were sent; a member
// takes its share when its queue is next touched, or at the end of the pass:
// its records in that order, adjacent ones as one piece (a member of every
// group that sent takes whole blocks). So a record to a group costs the same
// whatever the number of members, and each member's queue is touched once
// per pass instead of once per record (a login storm sends every newcomer's
// announcement to every user).
#include "OutBuffer.h"

#include <QByteArray>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace kelvra {

class TGroupLog {
public:
    struct TEntry {
        uint64_t Seq;    // send order across all groups
        uint32_t Block;  // index in Blocks
        uint32_t Offset; // where its bytes start in the block
        uint32_t Size;
        uint64_t End; // the group's bytes up to and including this record
    };

    explicit TGroupLog(uint64_t key) : Key(key) {}
    uint64_t Key;
    int Takers = 0; // links that hold a place in this log

    // urgent: the members write it in the next pass, gathering nothing more.
    void Append(const TEntry& entry, bool urgent);
    // Whether a member whose next record is `entry` has an urgent one to take.
    bool UrgentFrom(size_t entry) const { return entry < UrgentEnd; }
    size_t Count() const { return Entries.size(); }
    const TEntry& Entry(size_t i) const { return Entries[i]; }
    // Bytes of the records from `entry` on.
    qsizetype BytesFrom(size_t entry) const {
        const uint64_t before = entry == 0 ? 0 : Entries[entry - 1].End;
        return static_cast<qsizetype>(Bytes - before);
    }

private:
    std::vector<TEntry> Entries;
    uint64_t Bytes = 0;
    size_t UrgentEnd = 0; // after the last urgent record
};

// Where a link stands in the log of one group: the next record it takes.
struct TGroupCursor {
    uint32_t Group;
    uint32_t Next;
};

// The logs of the groups that sent something in this pass.
class TGroupLogs {
public:
    // The group's log if it has sent in this pass, else nullptr.
    TGroupLog* Find(uint64_t key, uint32_t* index = nullptr);
    // Its log, made when it is the group's first record in this pass.
    TGroupLog& Open(uint64_t key, uint32_t* index, bool* made);
    TGroupLog& At(uint32_t index) { return Logs[index]; }
    const TGroupLog& At(uint32_t index) const { return Logs[index]; }
    // Appends a record to the group's log.
    void Append(uint32_t index, const QByteArray& encoded, bool urgent);
    bool Empty() const { return Logs.empty(); }
    // Before the members take their shares at the end of a pass: a block
    // less than half full is copied to one of its size, so that every
    // member refers to it rather than copying its part.
    void Compact();
    void Clear();

    // Bytes the cursors have not taken yet.
    qsizetype Pending(const std::vector<TGroupCursor>& cursors) const;
    // Appends what the cursors have not taken to `out` in send order and
    // moves them to the end of their logs; true when an urgent record was
    // among them.
    bool TakeShare(std::vector<TGroupCursor>& cursors, TOutBuffer& out) const;

private:
    // A block is filled through its own pointer, never resized: pieces that
    // refer to its first bytes keep them while later records go behind.
    struct TBlock {
        QByteArray Bytes;
        char* Base = nullptr; // nullptr: a record's own encoding, not ours to fill
        qsizetype Used = 0;
    };
    std::vector<TBlock> Blocks;
    size_t Entries = 0; // records in this pass, all groups together
    std::vector<TGroupLog> Logs;
    std::unordered_map<uint64_t, uint32_t> Index;
    uint64_t Seq = 0;
};

} // namespace kelvra
