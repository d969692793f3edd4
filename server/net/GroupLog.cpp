#include "GroupLog.h"

#include <algorithm>
#include <cstring>

namespace kelvra {

namespace {

// Block sizes: a pass with one notice to a small chat takes little, a login
// storm's pass a few large blocks.
constexpr qsizetype kFirstBlock = 4 * 1024;
constexpr qsizetype kLargestBlock = 64 * 1024;
// Records at least this large are referred to, not copied into a block.
constexpr qsizetype kReferFrom = 8 * 1024;
// Up to this many groups a member's records are merged by looking at each.
constexpr size_t kMergeByScan = 8;

} // namespace

void TGroupLog::Append(const TEntry& entry, bool urgent) {
    Bytes += entry.Size;
    Entries.push_back(entry);
    Entries.back().End = Bytes;
    if (urgent)
        UrgentEnd = Entries.size();
}

void TGroupLogs::Append(uint32_t index, const QByteArray& encoded, bool urgent) {
    const qsizetype n = encoded.size();
    TBlock* block = Blocks.empty() ? nullptr : &Blocks.back();
    if (n >= kReferFrom) {
        Blocks.push_back({encoded, nullptr, n});
        block = &Blocks.back();
    } else if (!block || !block->Base || block->Used + n > block->Bytes.size()) {
        const qsizetype last = block ? block->Bytes.size() : kFirstBlock / 2;
        TBlock fresh;
        fresh.Bytes = QByteArray(std::max(n, std::min(last * 2, kLargestBlock)), Qt::Uninitialized);
        fresh.Base = fresh.Bytes.data();
        Blocks.push_back(std::move(fresh));
        block = &Blocks.back();
    }
    const qsizetype offset = block->Base ? block->Used : 0;
    if (block->Base) {
        std::memcpy(block->Base + offset, encoded.constData(), static_cast<size_t>(n));
        block->Used += n;
    }
    ++Entries;
    Logs[index].Append({++Seq, static_cast<uint32_t>(Blocks.size() - 1),
                        static_cast<uint32_t>(offset), static_cast<uint32_t>(n), 0},
                       urgent);
}

TGroupLog* TGroupLogs::Find(uint64_t key, uint32_t* index) {
    auto it = Index.find(key);
    if (it == Index.end())
        return nullptr;
    if (index)
        *index = it->second;
    return &Logs[it->second];
}

TGroupLog& TGroupLogs::Open(uint64_t key, uint32_t* index, bool* made) {
    auto [it, fresh] = Index.emplace(key, static_cast<uint32_t>(Logs.size()));
    if (fresh)
        Logs.emplace_back(key);
    *index = it->second;
    *made = fresh;
    return Logs[it->second];
}

void TGroupLogs::Compact() {
    for (TBlock& block : Blocks) {
        if (block.Base && block.Used * 2 < block.Bytes.size()) {
            block.Bytes = QByteArray(block.Base, block.Used);
            block.Base = nullptr; // filled no further
        }
    }
}

void TGroupLogs::Clear() {
    Entries = 0;
    Logs.clear();
    Blocks.clear();
    Index.clear();
}

qsizetype TGroupLogs::Pending(const std::vector<TGroupCursor>& cursors) const {
    qsizetype bytes = 0;
    for (const TGroupCursor& c : cursors)
        bytes += Logs[c.Group].BytesFrom(c.Next);
    return bytes;
}

bool TGroupLogs::TakeShare(std::vector<TGroupCursor>& cursors, TOutBuffer& out) const {
    bool urgent = false;
    for (const TGroupCursor& c : cursors)
        urgent = urgent || Logs[c.Group].UrgentFrom(c.Next);
    // A member of every group that sent, from the start of the pass: the
    // blocks whole (most members in a login storm).
    size_t pending = 0;
    bool fromStart = true;
    for (const TGroupCursor& c : cursors) {
        pending += Logs[c.Group].Count() - c.Next;
        fromStart = fromStart && c.Next == 0;
    }
    if (fromStart && pending == Entries) {
        for (const TBlock& b : Blocks)
            out.Append(TSharedRecord(b.Bytes, 0, b.Used), b.Used * 2 < b.Bytes.size());
        for (TGroupCursor& c : cursors)
            c.Next = static_cast<uint32_t>(Logs[c.Group].Count());
        return urgent;
    }
    // The cursors' records in send order; records adjacent in a block go as
    // one piece.
    uint32_t block = 0;
    uint32_t begin = 0;
    uint32_t end = 0;
    const auto putRun = [&] {
        if (end == begin)
            return;
        // A slow member must not keep a large block for a small part of it.
        const QByteArray& bytes = Blocks[block].Bytes;
        const qsizetype length = end - begin;
        out.Append(TSharedRecord(bytes, begin, length), length * 2 < bytes.size());
    };
    const auto take = [&](const TGroupLog::TEntry& e) {
        if (e.Block != block || e.Offset != end || end == begin) {
            putRun();
            block = e.Block;
            begin = e.Offset;
            end = e.Offset;
        }
        end += e.Size;
    };
    if (cursors.size() > kMergeByScan) {
        // A member of many groups that sent in this pass: sorting beats
        // looking at every cursor for every record.
        std::vector<const TGroupLog::TEntry*> pending;
        for (TGroupCursor& c : cursors) {
            const TGroupLog& log = Logs[c.Group];
            for (; c.Next < log.Count(); ++c.Next)
                pending.push_back(&log.Entry(c.Next));
        }
        std::sort(pending.begin(), pending.end(),
                  [](const auto* a, const auto* b) { return a->Seq < b->Seq; });
        for (const TGroupLog::TEntry* e : pending)
            take(*e);
    } else {
        for (;;) {
            TGroupCursor* first = nullptr;
            uint64_t firstSeq = UINT64_MAX;
            for (TGroupCursor& c : cursors) {
                const TGroupLog& log = Logs[c.Group];
                if (c.Next < log.Count() && log.Entry(c.Next).Seq < firstSeq) {
                    firstSeq = log.Entry(c.Next).Seq;
                    first = &c;
                }
            }
            if (!first)
                break;
            take(Logs[first->Group].Entry(first->Next++));
        }
    }
    putRun();
    return urgent;
}

} // namespace kelvra
