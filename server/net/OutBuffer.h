#pragma once
// A connection's unsent output, in the order it was queued: a list of
// pieces the kernel gathers. A record relayed to many members is encoded once
// and every member's queue refers to that one encoding, so a delivery costs a
// reference, not a copy of its bytes. Only tiny records (a login's user
// list) are copied, into chunks of our own, where a copy costs less than a
// reference and a gather entry of its own. Piece lists and chunks are
// recycled between connections, so a busy connection allocates nothing per
// record.
#include <QByteArray>
#include <cstdint>
#include <sys/uio.h>
#include <vector>

namespace kelvra {

// One encoded record, or a run of records in a shared block, that any number
// of queues may hold; copying it costs a reference count, not the bytes.
class TSharedRecord {
    friend class TOutBuffer;

public:
    TSharedRecord() = default;
    // Shares the array's storage (QByteArray is implicitly shared): no copy.
    explicit TSharedRecord(const QByteArray& encoded) : Bytes(encoded), Length(encoded.size()) {}
    // `length` bytes of the block from `begin` on, sharing the block.
    TSharedRecord(const QByteArray& block, qsizetype begin, qsizetype length)
        : Bytes(block), Begin(begin), Length(length) {}
    const char* Data() const { return Bytes.constData() + Begin; }
    qsizetype Size() const { return Length; }

private:
    QByteArray Bytes;
    qsizetype Begin = 0;
    qsizetype Length = 0;
};

class TOutBuffer {
public:
    TOutBuffer() = default;
    TOutBuffer(const TOutBuffer&) = delete;
    TOutBuffer& operator=(const TOutBuffer&) = delete;
    ~TOutBuffer() { Discard(); }

    qsizetype Pending() const { return Queued; }
    // Stream offsets since the connection began: bytes ever queued, bytes
    // the socket took.
    uint64_t QueuedOffset() const { return QueuedTotal; }
    uint64_t WrittenOffset() const { return WrittenTotal; }

    struct TPiece {
        TSharedRecord Record; // a shared encoding, or a chunk of our own
        bool Own = false;
    };

    // Records smaller than this are copied rather than referred to.
    static constexpr qsizetype kCopyBelow = 64;
    // Copied records are gathered into chunks of this size.
    static constexpr qsizetype kChunkSize = 4096;

    // Queues the record: a reference to its encoding, or a copy when tiny
    // or when asked for (a small part of a large block, which a reference
    // would keep whole).
    void Append(const TSharedRecord& record, bool copy = false);
    void Append(const QByteArray& bytes) { Append(TSharedRecord(bytes)); }
    // Fills parts with the front of the queue, at most maxParts entries and
    // about maxBytes; returns the number of entries. The pieces stay where
    // they are until Consume or Discard, whatever is appended meanwhile.
    int Gather(iovec* parts, int maxParts, qsizetype maxBytes) const;
    // The socket took n bytes from the front.
    void Consume(qsizetype n);
    // Forgets what is queued; returns the bytes that were still unsent.
    qsizetype Discard();

    // Piece lists kept for reuse by this thread's buffers, in bytes; and
    // giving them back to the heap (when the server is quiet).
    static qsizetype PooledBytes();
    static void EmptyPool();

private:
    void Grow();
    void Release();
    static void Drop(TPiece& piece);

    std::vector<TPiece> Pieces;
    size_t Head = 0;        // first piece with unsent bytes
    size_t PeakPieces = 0;  // the longest list this connection needed
    qsizetype HeadUsed = 0; // bytes of it already sent
    qsizetype Queued = 0;
    uint64_t QueuedTotal = 0;
    uint64_t WrittenTotal = 0;
};

} // namespace kelvra
