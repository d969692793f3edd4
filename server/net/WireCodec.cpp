#include "WireCodec.h"

#include <cstring>

namespace kelvra {

namespace {

constexpr char kShortStart[] = {TagStartOfList, TagShortText, 8, 'K', 'L', 'V', 'R', '8', '0', '0', '2'};
constexpr char kLongStart[] = {TagStartOfList, TagLongText, 8, 0, 0, 0, 'K', 'L', 'V', 'R', '8', '0', '0', '2'};
constexpr qsizetype kShortStartLen = sizeof(kShortStart);
constexpr qsizetype kLongStartLen = sizeof(kLongStart);

inline void PutLE(QByteArray& out, uint32_t v, int bytes) {
    char b[4];
    for (int i = 0; i < bytes; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, bytes);
}

inline qsizetype IntegerSize(int32_t v) {
    if (v >= -128 && v <= 127)
        return 2;
    if (v >= -32768 && v <= 32767)
        return 3;
    return 5;
}

inline qsizetype TextSize(const QByteArray& t) { return (t.size() <= 255 ? 2 : 5) + t.size(); }

// How far [data, data+size) at `at` agrees with `pattern`: full match, a
// prefix cut by the end of data, or a mismatch.
enum class Match { Full, Prefix, No };
Match MatchAt(const char* data, qsizetype size, qsizetype at, const char* pattern, qsizetype len) {
    const qsizetype avail = size - at;
    const qsizetype n = avail < len ? avail : len;
    if (std::memcmp(data + at, pattern, static_cast<size_t>(n)) != 0)
        return Match::No;
    return n == len ? Match::Full : Match::Prefix;
}

} // namespace

void AppendInteger(QByteArray& out, int32_t v) {
    if (v >= -128 && v <= 127) {
        out.append(static_cast<char>(TagInt8));
        PutLE(out, static_cast<uint32_t>(v), 1);
    } else if (v >= -32768 && v <= 32767) {
        out.append(static_cast<char>(TagInt16));
        PutLE(out, static_cast<uint32_t>(v), 2);
    } else {
        out.append(static_cast<char>(TagInt32));
        PutLE(out, static_cast<uint32_t>(v), 4);
    }
}

void AppendText(QByteArray& out, const QByteArray& text) {
    if (text.size() <= 255) {
        out.append(static_cast<char>(TagShortText));
        out.append(static_cast<char>(text.size()));
    } else {
        out.append(static_cast<char>(TagLongText));
        PutLE(out, static_cast<uint32_t>(text.size()), 4);
    }
    out.append(text);
}

qsizetype EncodedSize(const TDataPacket& p) {
    return 1 + 10 + IntegerSize(p.Version) + IntegerSize(p.Code) + IntegerSize(p.From) +
           TextSize(p.Param1) + TextSize(p.Param2) + 1 + 1;
}

void AppendPacket(QByteArray& out, const TDataPacket& p) {
    out.append(kShortStart, kShortStartLen);
    AppendInteger(out, p.Version);
    AppendInteger(out, p.Code);
    AppendInteger(out, p.From);
    AppendText(out, p.Param1);
    AppendText(out, p.Param2);
    out.append(static_cast<char>(p.Switch ? TagTrue : TagFalse));
    out.append(static_cast<char>(TagEndOfList));
}

QByteArray EncodePacket(const TDataPacket& p) {
    QByteArray out;
    out.reserve(EncodedSize(p));
    AppendPacket(out, p);
    return out;
}

bool TPacketReader::Need(qsizetype n) {
    if (Size - Pos < n) {
        OutOfData = true;
        return false;
    }
    return true;
}

bool TPacketReader::ReadStartOfList() {
    if (!Need(1))
        return false;
    return static_cast<uint8_t>(Data[Pos++]) == TagStartOfList;
}

bool TPacketReader::ReadEndOfList() {
    if (!Need(1))
        return false;
    return static_cast<uint8_t>(Data[Pos++]) == TagEndOfList;
}

bool TPacketReader::ReadInteger(int32_t& v) {
    if (!Need(1))
        return false;
    const uint8_t tag = static_cast<uint8_t>(Data[Pos]);
    const auto* p = reinterpret_cast<const uint8_t*>(Data + Pos + 1);
    switch (tag) {
    case TagInt8:
        if (!Need(2))
            return false;
        v = static_cast<int8_t>(p[0]);
        Pos += 2;
        return true;
    case TagInt16:
        if (!Need(3))
            return false;
        v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
        Pos += 3;
        return true;
    case TagInt32:
        if (!Need(5))
            return false;
        v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16) |
                                 (static_cast<uint32_t>(p[3]) << 24));
        Pos += 5;
        return true;
    default:
        return false;
    }
}

bool TPacketReader::ReadText(QByteArray& v, qsizetype maxLength) {
    if (!Need(1))
        return false;
    const uint8_t tag = static_cast<uint8_t>(Data[Pos]);
    qsizetype len = 0;
    qsizetype head = 0;
    if (tag == TagShortText) {
        if (!Need(2))
            return false;
        len = static_cast<uint8_t>(Data[Pos + 1]);
        head = 2;
    } else if (tag == TagLongText) {
        if (!Need(5))
            return false;
        const auto* p = reinterpret_cast<const uint8_t*>(Data + Pos + 1);
        const uint32_t l = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        if (static_cast<quint64>(l) > static_cast<quint64>(maxLength))
            return false; // larger than any record we take: not a record
        len = static_cast<qsizetype>(l);
        head = 5;
    } else {
        return false;
    }
    if (!Need(head + len))
        return false;
    v = QByteArray(Data + Pos + head, len);
    Pos += head + len;
    return true;
}

bool TPacketReader::ReadBoolean(bool& v) {
    if (!Need(1))
        return false;
    v = static_cast<uint8_t>(Data[Pos++]) == TagTrue;
    return true;
}

qsizetype FindRecordStart(const char* data, qsizetype size, qsizetype from) {
    for (qsizetype i = from; i < size; ++i) {
        const void* hit = std::memchr(data + i, TagStartOfList, static_cast<size_t>(size - i));
        if (!hit)
            return size;
        i = static_cast<const char*>(hit) - data;
        if (MatchAt(data, size, i, kShortStart, kShortStartLen) != Match::No ||
            MatchAt(data, size, i, kLongStart, kLongStartLen) != Match::No)
            return i;
    }
    return size;
}

DecodeResult DecodeRecord(const char* data, qsizetype size, TDataPacket& out) {
    DecodeResult r;
    if (size <= 0)
        return r; // NeedMore
    // Only the exact magic, in either text form, starts a record.
    const Match shortForm = MatchAt(data, size, 0, kShortStart, kShortStartLen);
    const Match longForm = MatchAt(data, size, 0, kLongStart, kLongStartLen);
    if (shortForm == Match::No && longForm == Match::No) {
        r.Status = DecodeStatus::Garbage;
        r.Consumed = FindRecordStart(data, size, 1);
        return r;
    }
    if (shortForm != Match::Full && longForm != Match::Full)
        return r; // a prefix of the start: wait for more

    const qsizetype limit = size < kMaxRecordSize ? size : kMaxRecordSize;
    TPacketReader reader(data, limit);
    reader.SetPosition(shortForm == Match::Full ? kShortStartLen : kLongStartLen);
    TDataPacket p;
    const bool ok = reader.ReadInteger(p.Version) && reader.ReadInteger(p.Code) &&
                    reader.ReadInteger(p.From) && reader.ReadText(p.Param1) &&
                    reader.ReadText(p.Param2) && reader.ReadBoolean(p.Switch);
    // More bytes can only help while the record could still fit the size bound.
    const bool canGrow = size < kMaxRecordSize;
    if (!ok) {
        if (reader.RanOut() && canGrow)
            return r; // NeedMore: the record continues in bytes not yet received
        // Bad tag, oversized text, or a record that would pass the size bound.
        r.Status = DecodeStatus::Garbage;
        r.Consumed = FindRecordStart(data, size, 1);
        return r;
    }
    // The fields are complete. The record is taken once its end-of-list
    // position has arrived; a wrong byte there does not undo the record, the
    // stream simply resynchronises at the next record start.
    if (reader.AtEnd()) {
        if (!canGrow) {
            r.Status = DecodeStatus::Garbage;
            r.Consumed = FindRecordStart(data, size, 1);
        }
        return r;
    }
    const qsizetype endPos = reader.Position();
    out = std::move(p);
    r.Status = DecodeStatus::Record;
    r.Consumed = static_cast<uint8_t>(data[endPos]) == TagEndOfList ? endPos + 1 : endPos;
    return r;
}

void TStreamDecoder::Feed(const char* data, qsizetype size) {
    if (size <= 0)
        return;
    if (Start > 0 && Start == Buffer.size()) {
        Buffer.clear();
        Start = 0;
    }
    Buffer.append(data, size);
}

void TStreamDecoder::Compact() {
    if (Start == 0)
        return;
    if (Start >= Buffer.size()) {
        Buffer = QByteArray(); // release memory of idle connections
    } else {
        Buffer.remove(0, Start);
    }
    Start = 0;
}

bool TStreamDecoder::Next(TDataPacket& out) {
    for (;;) {
        const qsizetype avail = Buffer.size() - Start;
        if (avail <= 0) {
            Compact();
            return false;
        }
        const DecodeResult r = DecodeRecord(Buffer.constData() + Start, avail, out);
        switch (r.Status) {
        case DecodeStatus::Record:
            Start += r.Consumed;
            return true;
        case DecodeStatus::Garbage:
            Start += r.Consumed;
            Skipped += static_cast<quint64>(r.Consumed);
            continue;
        case DecodeStatus::NeedMore:
            Compact();
            return false;
        }
    }
}

} // namespace kelvra
