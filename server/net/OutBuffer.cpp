#include "OutBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kelvra {

void TOutBuffer::Append(const QByteArray& bytes) {
    const qsizetype n = bytes.size();
    if (n == 0)
        return;
    Queued += n;
    QueuedTotal += static_cast<uint64_t>(n);
    if (n >= kShareFrom) {
        TChunk shared;
        shared.Shared = bytes; // no copy
        shared.Size = n;
        Chunks.push_back(std::move(shared));
        return;
    }
    TChunk* tail = Chunks.size() > Head ? &Chunks.back() : nullptr;
    if (!tail || !tail->Own || tail->Size + n > kChunkSize) {
        Chunks.push_back(TChunk{});
        tail = &Chunks.back();
    }
    if (tail->Size + n > tail->Capacity) {
        // Doubling from a small start: one record does not cost a whole chunk.
        qsizetype capacity = std::max<qsizetype>(tail->Capacity * 2, 512);
        while (capacity < tail->Size + n)
            capacity *= 2;
        capacity = std::min(capacity, std::max(kChunkSize, n));
        char* grown = static_cast<char*>(std::realloc(tail->Own, static_cast<size_t>(capacity)));
        if (!grown)
            throw std::bad_alloc();
        tail->Own = grown;
        tail->Capacity = capacity;
    }
    std::memcpy(tail->Own + tail->Size, bytes.constData(), static_cast<size_t>(n));
    tail->Size += n;
}

int TOutBuffer::Gather(iovec* parts, int maxParts, qsizetype maxBytes) const {
    int count = 0;
    qsizetype bytes = 0;
    for (size_t i = Head; i < Chunks.size() && count < maxParts && bytes < maxBytes; ++i) {
        const qsizetype skip = i == Head ? HeadUsed : 0;
        const qsizetype len = std::min(Chunks[i].Size - skip, maxBytes - bytes);
        parts[count].iov_base = const_cast<char*>(Chunks[i].Data() + skip);
        parts[count].iov_len = static_cast<size_t>(len);
        ++count;
        bytes += len;
    }
    return count;
}

void TOutBuffer::FreeChunks(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        std::free(Chunks[i].Own);
        Chunks[i] = TChunk{}; // releases a shared encoding as soon as it is sent
    }
}

void TOutBuffer::Consume(qsizetype n) {
    n = std::min(n, Queued);
    Queued -= n;
    WrittenTotal += static_cast<uint64_t>(n);
    while (n > 0) {
        const qsizetype left = Chunks[Head].Size - HeadUsed;
        if (n < left) {
            HeadUsed += n;
            return;
        }
        n -= left;
        FreeChunks(Head, Head + 1);
        ++Head;
        HeadUsed = 0;
    }
    if (Queued == 0) {
        // An idle connection holds nothing for past bursts.
        FreeChunks(Head, Chunks.size());
        std::vector<TChunk>().swap(Chunks);
        Head = 0;
    } else if (Head >= 32 && Head * 2 >= Chunks.size()) {
        Chunks.erase(Chunks.begin(), Chunks.begin() + static_cast<std::ptrdiff_t>(Head));
        Head = 0;
    }
}

qsizetype TOutBuffer::Discard() {
    const qsizetype unsent = Queued;
    FreeChunks(Head, Chunks.size());
    std::vector<TChunk>().swap(Chunks);
    Head = 0;
    HeadUsed = 0;
    Queued = 0;
    return unsent;
}

} // namespace kelvra
