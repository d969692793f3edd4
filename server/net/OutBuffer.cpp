#include "OutBuffer.h"

#include <algorithm>

namespace kelvra {

namespace {

// Emptied piece lists wait here for the next connection that has output,
// sorted by size. A relay touches every member's queue in one pass, so the
// pool must hold about one list per busy connection to spare the allocator
// (whose fresh memory costs page faults); past its cap the storage goes back
// to the heap, and all of it when the server is quiet.
struct TPiecePool {
    using TList = std::vector<TOutBuffer::TPiece>;
    static constexpr qsizetype kMaxBytes = 32 * 1024 * 1024;
    static constexpr size_t kSmallest = 32;
    // Lists of at least kSmallest << b pieces in bucket b; larger ones (a
    // burst to one connection) are not kept.
    static constexpr int kBuckets = 12;
    std::vector<TList> Lists[kBuckets];
    qsizetype Bytes = 0;

    static qsizetype SizeOf(const TList& v) {
        return static_cast<qsizetype>(v.capacity() * sizeof(TOutBuffer::TPiece));
    }
    static int BucketBelow(size_t capacity) {
        int b = -1;
        while (b + 1 < kBuckets && (kSmallest << (b + 1)) <= capacity)
            ++b;
        return b;
    }
    void Give(TList& v) {
        v.clear();
        const int b = BucketBelow(v.capacity());
        const qsizetype size = SizeOf(v);
        if (b >= 0 && v.capacity() < (kSmallest << kBuckets) && Bytes + size <= kMaxBytes) {
            Bytes += size;
            Lists[b].push_back(std::move(v));
        }
        TList().swap(v);
    }
    // An empty list of at least `want` pieces.
    void Take(TList& v, size_t want) {
        for (int b = std::max(0, BucketBelow(want)); b < kBuckets; ++b) {
            if (Lists[b].empty() || Lists[b].back().capacity() < want)
                continue;
            v = std::move(Lists[b].back());
            Lists[b].pop_back();
            Bytes -= SizeOf(v);
            return;
        }
        v.reserve(want);
    }
};

// Chunks for copied records, kept the same way.
struct TChunkPool {
    static constexpr size_t kMax = 4096; // 16 MiB
    std::vector<QByteArray> Free;

    QByteArray Take() {
        if (Free.empty()) {
            QByteArray chunk;
            chunk.reserve(TOutBuffer::kChunkSize);
            return chunk;
        }
        QByteArray chunk = std::move(Free.back());
        Free.pop_back();
        return chunk;
    }
    void Give(QByteArray& chunk) {
        // Only a chunk nobody else holds may be written again.
        if (Free.size() < kMax && chunk.isDetached()) {
            chunk.resize(0);
            Free.push_back(std::move(chunk));
        }
        chunk = QByteArray();
    }
};

TChunkPool& Chunks() {
    static thread_local TChunkPool* pool = new TChunkPool;
    return *pool;
}

TPiecePool& Pool() {
    // Never destroyed: buffers of objects with static storage may still give
    // their lists back while the program ends.
    static thread_local TPiecePool* pool = new TPiecePool;
    return *pool;
}

} // namespace

qsizetype TOutBuffer::PooledBytes() {
    return Pool().Bytes;
}

void TOutBuffer::EmptyPool() {
    for (auto& lists : Pool().Lists)
        std::vector<TPiecePool::TList>().swap(lists);
    Pool().Bytes = 0;
    std::vector<QByteArray>().swap(Chunks().Free);
}

void TOutBuffer::Append(const TSharedRecord& record, bool copy) {
    const qsizetype n = record.Size();
    if (n == 0)
        return;
    if (n < kCopyBelow || copy) {
        const char* from = record.Data();
        for (qsizetype left = n; left > 0;) {
            TPiece* tail = Pieces.size() > Head ? &Pieces.back() : nullptr;
            if (!tail || !tail->Own || tail->Record.Size() >= kChunkSize) {
                if (Pieces.size() == Pieces.capacity())
                    Grow();
                Pieces.push_back({TSharedRecord(Chunks().Take()), true});
                tail = &Pieces.back();
            }
            // Within the chunk's reserved size: bytes already gathered stay put.
            const qsizetype take = std::min(left, kChunkSize - tail->Record.Size());
            tail->Record.Bytes.append(from, take);
            tail->Record.Length += take;
            from += take;
            left -= take;
        }
    } else {
        if (Pieces.size() == Pieces.capacity())
            Grow();
        Pieces.push_back({record, false});
    }
    Queued += n;
    QueuedTotal += static_cast<uint64_t>(n);
}

int TOutBuffer::Gather(iovec* parts, int maxParts, qsizetype maxBytes) const {
    int count = 0;
    qsizetype bytes = 0;
    for (size_t i = Head; i < Pieces.size() && count < maxParts && bytes < maxBytes; ++i) {
        const qsizetype skip = i == Head ? HeadUsed : 0;
        const qsizetype len = std::min(Pieces[i].Record.Size() - skip, maxBytes - bytes);
        parts[count].iov_base = const_cast<char*>(Pieces[i].Record.Data() + skip);
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
        const qsizetype left = Pieces[Head].Record.Size() - HeadUsed;
        if (n < left) {
            HeadUsed += n;
            return;
        }
        n -= left;
        Drop(Pieces[Head]); // an encoding goes once its last member has it
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

void TOutBuffer::Grow() {
    // A list from the pool, as large as this connection needed last time,
    // rather than the allocator's fresh memory; the sent pieces stay behind.
    const size_t want = std::max({PeakPieces, (Pieces.size() - Head) * 2, TPiecePool::kSmallest});
    std::vector<TPiece> grown;
    Pool().Take(grown, want);
    for (size_t i = Head; i < Pieces.size(); ++i)
        grown.push_back(std::move(Pieces[i]));
    Pool().Give(Pieces);
    Pieces.swap(grown);
    Head = 0;
    PeakPieces = std::max(PeakPieces, Pieces.capacity());
}

void TOutBuffer::Drop(TPiece& piece) {
    if (piece.Own)
        Chunks().Give(piece.Record.Bytes);
    piece = TPiece();
}

void TOutBuffer::Release() {
    for (size_t i = Head; i < Pieces.size(); ++i)
        Drop(Pieces[i]);
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
