#include "OutBuffer.h"

#include <algorithm>

namespace kelvra {

namespace {

// Emptied piece lists wait here for the next connection that has output. A
// relay touches every member's queue in one pass, so the pool must hold about
// one list per busy connection to spare the allocator; past its cap the
// storage goes back to the heap.
struct TPiecePool {
    static constexpr qsizetype kMaxBytes = 8 * 1024 * 1024;
    // A list grown past this (a burst to one connection) is not kept.
    static constexpr size_t kMaxPieces = 4096;
    std::vector<std::vector<TSharedRecord>> Lists;
    qsizetype Bytes = 0;

    static qsizetype SizeOf(const std::vector<TSharedRecord>& v) {
        return static_cast<qsizetype>(v.capacity() * sizeof(TSharedRecord));
    }
    void Give(std::vector<TSharedRecord>& v) {
        v.clear();
        const qsizetype size = SizeOf(v);
        if (size == 0)
            return;
        if (v.capacity() <= kMaxPieces && Bytes + size <= kMaxBytes) {
            Bytes += size;
            Lists.push_back(std::move(v));
        }
        std::vector<TSharedRecord>().swap(v);
    }
    void Take(std::vector<TSharedRecord>& v) {
        if (Lists.empty())
            return;
        v = std::move(Lists.back());
        Lists.pop_back();
        Bytes -= SizeOf(v);
    }
};

TPiecePool& Pool() {
    static thread_local TPiecePool pool;
    return pool;
}

} // namespace

qsizetype TOutBuffer::PooledBytes() {
    return Pool().Bytes;
}

void TOutBuffer::Append(const TSharedRecord& record) {
    const qsizetype n = record.Size();
    if (n == 0)
        return;
    if (Pieces.capacity() == 0)
        Pool().Take(Pieces);
    Pieces.push_back(record);
    Queued += n;
    QueuedTotal += static_cast<uint64_t>(n);
}

int TOutBuffer::Gather(iovec* parts, int maxParts, qsizetype maxBytes) const {
    int count = 0;
    qsizetype bytes = 0;
    for (size_t i = Head; i < Pieces.size() && count < maxParts && bytes < maxBytes; ++i) {
        const qsizetype skip = i == Head ? HeadUsed : 0;
        const qsizetype len = std::min(Pieces[i].Size() - skip, maxBytes - bytes);
        parts[count].iov_base = const_cast<char*>(Pieces[i].Data() + skip);
        parts[count].iov_len = static_cast<size_t>(len);
        ++count;
        bytes += len;
    }
    return count;
}

void TOutBuffer::Consume(qsizetype n) {
    n = std::min(n, Queued);
    Queued -= n;
    WrittenTotal += static_cast<uint64_t>(n);
    while (n > 0) {
        const qsizetype left = Pieces[Head].Size() - HeadUsed;
        if (n < left) {
            HeadUsed += n;
            return;
        }
        n -= left;
        Pieces[Head] = TSharedRecord(); // the encoding goes once its last member has it
        ++Head;
        HeadUsed = 0;
    }
    if (Queued == 0) {
        Release(); // an idle connection holds nothing for past bursts
    } else if (Head >= 64 && Head * 2 >= Pieces.size()) {
        Pieces.erase(Pieces.begin(), Pieces.begin() + static_cast<std::ptrdiff_t>(Head));
        Head = 0;
    }
}

void TOutBuffer::Release() {
    Pool().Give(Pieces);
    Head = 0;
    HeadUsed = 0;
}

qsizetype TOutBuffer::Discard() {
    const qsizetype unsent = Queued;
    Release();
    Queued = 0;
    return unsent;
}

} // namespace kelvra
