#include "OutBuffer.h"

#include <algorithm>

namespace kelvra {

void TOutBuffer::Append(const QByteArray& bytes) {
    const qsizetype n = bytes.size();
    if (n == 0)
        return;
    Queued += n;
    QueuedTotal += static_cast<uint64_t>(n);
    if (n >= kShareFrom) {
        Chunks.push_back(bytes); // shares the encoding
        TailOwned = false;
        return;
    }
    if (TailOwned && Chunks.back().size() + n <= kChunkSize) {
        Chunks.back().append(bytes);
        return;
    }
    QByteArray chunk;
    chunk.reserve(std::min<qsizetype>(kChunkSize, std::max<qsizetype>(n, 256)));
    chunk.append(bytes);
    Chunks.push_back(std::move(chunk));
    TailOwned = true;
}

int TOutBuffer::Gather(iovec* parts, int maxParts, qsizetype maxBytes) const {
    int count = 0;
    qsizetype bytes = 0;
    for (size_t i = Head; i < Chunks.size() && count < maxParts && bytes < maxBytes; ++i) {
        const qsizetype skip = i == Head ? HeadUsed : 0;
        const qsizetype len = std::min(Chunks[i].size() - skip, maxBytes - bytes);
        parts[count].iov_base = const_cast<char*>(Chunks[i].constData() + skip);
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
        const qsizetype left = Chunks[Head].size() - HeadUsed;
        if (n < left) {
            HeadUsed += n;
            return;
        }
        n -= left;
        Chunks[Head] = QByteArray(); // releases a shared encoding as soon as it is sent
        ++Head;
        HeadUsed = 0;
    }
    if (Queued == 0) {
        // An idle connection holds nothing for past bursts.
        std::vector<QByteArray>().swap(Chunks);
        Head = 0;
        TailOwned = false;
    } else if (Head >= 32 && Head * 2 >= Chunks.size()) {
        Chunks.erase(Chunks.begin(), Chunks.begin() + static_cast<std::ptrdiff_t>(Head));
        Head = 0;
    }
}

qsizetype TOutBuffer::Discard() {
    const qsizetype unsent = Queued;
    std::vector<QByteArray>().swap(Chunks);
    Head = 0;
    HeadUsed = 0;
    TailOwned = false;
    Queued = 0;
    return unsent;
}

} // namespace kelvra
