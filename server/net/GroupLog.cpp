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

} // namespace

void TGroupLog::Append(const QByteArray& encoded, uint64_t seq, bool urgent) {
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
    Bytes += static_cast<uint64_t>(n);
    Entries.push_back({seq, static_cast<uint32_t>(Blocks.size() - 1), static_cast<uint32_t>(offset),
                       static_cast<uint32_t>(n), Bytes});
    if (urgent)
        UrgentEnd = Entries.size();
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

void TGroupLogs::Clear() {
    Logs.clear();
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
    for (;;) {
        // The cursor whose next record was sent first; a run of its records
        // goes as one piece while no other group's record came between and
        // they share a block.
        TGroupCursor* first = nullptr;
        uint64_t firstSeq = UINT64_MAX;
        uint64_t otherSeq = UINT64_MAX;
        for (TGroupCursor& c : cursors) {
            const TGroupLog& log = Logs[c.Group];
            if (c.Next >= log.Count())
                continue;
            const uint64_t seq = log.Entry(c.Next).Seq;
            if (seq < firstSeq) {
                otherSeq = firstSeq;
                firstSeq = seq;
                first = &c;
            } else if (seq < otherSeq) {
                otherSeq = seq;
            }
        }
        if (!first)
            return urgent;
        const TGroupLog& log = Logs[first->Group];
        const TGroupLog::TEntry& start = log.Entry(first->Next);
        qsizetype length = start.Size;
        size_t next = first->Next + 1;
        while (next < log.Count() && log.Entry(next).Block == start.Block &&
               log.Entry(next).Seq < otherSeq) {
            length += log.Entry(next).Size;
            ++next;
        }
        first->Next = static_cast<uint32_t>(next);
        // A slow member must not keep a large block for a small part of it.
        const QByteArray& block = log.Block(start.Block);
        out.Append(TSharedRecord(block, start.Offset, length), length * 2 < block.size());
    }
}

} // namespace kelvra
