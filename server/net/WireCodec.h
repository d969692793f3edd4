#pragma once
// Byte layout of one message record, value after value (all numbers little-endian):
//
//   01                      start of list
//   06 08 "KLVR8002"        the magic as a text (0C 08 00 00 00 "KLVR8002" also accepted)
//   <int> Version           02 b | 03 b b | 04 b b b b   (smallest form when writing)
//   <int> Code
//   <int> From
//   <text> Param1           06 L bytes (L <= 255) | 0C L L L L bytes
//   <text> Param2
//   <bool> Switch           09 true, 08 false (reading: any byte but 09 is false)
//   00                      end of list
//
// There is no other framing: records follow one another on the stream.
#include "DataPacket.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

inline constexpr char kMagic[] = "KLVR8002";
inline constexpr int kMagicLength = 8;
// The largest record we accept from a peer; a bigger declared size is not a record.
inline constexpr qsizetype kMaxRecordSize = 1024 * 1024;

enum : uint8_t {
    TagEndOfList = 0x00,
    TagStartOfList = 0x01,
    TagInt8 = 0x02,
    TagInt16 = 0x03,
    TagInt32 = 0x04,
    TagShortText = 0x06,
    TagFalse = 0x08,
    TagTrue = 0x09,
    TagLongText = 0x0C,
};

// Encoding. Version and From are written as given; the send path zeroes them.
void AppendInteger(QByteArray& out, int32_t v);
void AppendText(QByteArray& out, const QByteArray& text);
void AppendPacket(QByteArray& out, const TDataPacket& p);
QByteArray EncodePacket(const TDataPacket& p);
qsizetype EncodedSize(const TDataPacket& p);

// Result of trying to take one record from the front of a byte range.
enum class DecodeStatus {
    Record,   // a whole record was decoded; Consumed bytes belong to it
    NeedMore, // the bytes so far are the beginning of a record
    Garbage,  // the bytes at the front are not a record; skip Consumed bytes
};

struct DecodeResult {
    DecodeStatus Status = DecodeStatus::NeedMore;
    qsizetype Consumed = 0;
    // NeedMore: no answer can change before this many bytes are there.
    qsizetype Needed = 0;
    // Bytes looked at (texts count only when copied into a record).
    qsizetype Examined = 0;
};

// Decodes one record at the front of [data, data+size). The structure is
// checked first and the texts are copied only for a whole, valid record, so a
// candidate costs the bytes of its fields, not its declared lengths. On
// Garbage, Consumed is the number of bytes up to the next possible record
// start (at least 1).
DecodeResult DecodeRecord(const char* data, qsizetype size, TDataPacket& out);

// Offset of the first possible record start in [data, data+size) at or after
// `from`: a full start (list byte plus magic in either form), or a trailing
// prefix of one that more bytes could complete. Returns size when none.
qsizetype FindRecordStart(const char* data, qsizetype size, qsizetype from);
qsizetype FindRecordStart(const char* data, qsizetype size, qsizetype from, qsizetype& examined);

// Stream reassembly for one connection: feed bytes as they arrive, take records
// out. Keeps only the bytes of an incomplete record between reads, and tries
// that record again only once enough bytes are there to change the answer, so
// the work stays linear in the bytes received whatever the reads look like.
class TStreamDecoder {
public:
    // Appends bytes to the pending buffer.
    void Feed(const char* data, qsizetype size);
    // Takes the next record; false when no whole record is pending.
    bool Next(TDataPacket& out);
    // Decodes what arrived in one read into `out`, at most maxRecords of them
    // (when nothing is pending the bytes are decoded in place, without a
    // copy); the bytes after those stay pending. True when it stopped at the
    // limit with more bytes to look at (call again with no data for the
    // rest), false when what is pending is the beginning of a record (or
    // nothing).
    bool Decode(const char* data, qsizetype size, std::vector<TDataPacket>& out,
                size_t maxRecords = SIZE_MAX);
    // Whether the last Decode stopped at its limit.
    bool HasBacklog() const { return Backlog; }
    // Forgets whatever is pending.
    void Reset();
    qsizetype PendingBytes() const { return Buffer.size() - Start; }
    // Bytes discarded as not belonging to any record, since creation.
    quint64 SkippedBytes() const { return Skipped; }
    // Bytes looked at by the decoding, since creation: a bound on its work.
    quint64 ExaminedBytes() const { return Examined; }

private:
    void Compact();
    void Account(const DecodeResult& r) {
        Examined += static_cast<quint64>(r.Examined);
        if (r.Status == DecodeStatus::Garbage)
            Skipped += static_cast<quint64>(r.Consumed);
        NeedUntil = r.Status == DecodeStatus::NeedMore ? r.Needed : 0;
    }

    QByteArray Buffer;
    qsizetype Start = 0;
    qsizetype NeedUntil = 0; // pending bytes needed before the next try
    bool Backlog = false;
    quint64 Skipped = 0;
    quint64 Examined = 0;
};

} // namespace kelvra
