#pragma once
// A connection's unsent output, in the order it was queued. Small records are
// copied into chunks of our own; large ones are held by reference to the one
// encoding every recipient shares, so relaying a big text to many members
// costs no copy per member. The socket takes it through a gather list.
#include <QByteArray>
#include <cstdint>
#include <sys/uio.h>
#include <vector>

namespace kelvra {

class TOutBuffer {
public:
    // Records at least this large are shared rather than copied.
    static constexpr qsizetype kShareFrom = 4096;
    // Copied records are gathered into chunks of at most this size.
    static constexpr qsizetype kChunkSize = 16 * 1024;

    TOutBuffer() = default;
    TOutBuffer(const TOutBuffer&) = delete;
    TOutBuffer& operator=(const TOutBuffer&) = delete;
    ~TOutBuffer() { Discard(); }

    qsizetype Pending() const { return Queued; }
    // Stream offsets since the connection began: bytes ever queued, bytes
    // the socket took.
    uint64_t QueuedOffset() const { return QueuedTotal; }
    uint64_t WrittenOffset() const { return WrittenTotal; }

    void Append(const QByteArray& bytes);
    // Fills parts with the front of the queue, at most maxParts entries and
    // about maxBytes; returns the number of entries.
    int Gather(iovec* parts, int maxParts, qsizetype maxBytes) const;
    // The socket took n bytes from the front.
    void Consume(qsizetype n);
    // Forgets what is queued and gives the memory back; returns the bytes
    // that were still unsent.
    qsizetype Discard();

private:
    struct TChunk {
        QByteArray Shared; // a shared encoding; empty for a chunk of our own
        char* Own = nullptr;
        qsizetype Size = 0;
        qsizetype Capacity = 0;
        const char* Data() const { return Own ? Own : Shared.constData(); }
    };
    void FreeChunks(size_t from, size_t to);

    std::vector<TChunk> Chunks;
    size_t Head = 0;        // first chunk with unsent bytes
    qsizetype HeadUsed = 0; // bytes of it already sent
    qsizetype Queued = 0;
    uint64_t QueuedTotal = 0;
    uint64_t WrittenTotal = 0;
};

} // namespace kelvra
