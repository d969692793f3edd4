#include "WireCodec.h"

#include <algorithm>
#include <cstring>

namespace kelvra {

namespace {

constexpr char kShortStart[] = {
    TagStartOfList, TagShortText, 8, 'K', 'L', 'V', 'R', '8', '0', '0', '2'};
constexpr char kLongStart[] = {
    TagStartOfList, TagLongText, 8, 0, 0, 0, 'K', 'L', 'V', 'R', '8', '0', '0', '2'};
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

inline qsizetype TextSize(const QByteArray& t) {
    return (t.size() <= 255 ? 2 : 5) + t.size();
}

// How far [data, data+size) at `at` agrees with `pattern`: full match, a
// prefix cut by the end of data, or a mismatch. `compared` grows by the bytes
// looked at.
enum class Match { Full, Prefix, No };
Match MatchAt(const char* data, qsizetype size, qsizetype at, const char* pattern, qsizetype len,
              qsizetype& compared) {
    const qsizetype avail = size - at;
    const qsizetype n = avail < len ? avail : len;
    for (qsizetype i = 0; i < n; ++i)
        if (data[at + i] != pattern[i]) {
            compared = std::max(compared, i + 1);
            return Match::No;
        }
    compared = std::max(compared, n);
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

qsizetype FindRecordStart(const char* data, qsizetype size, qsizetype from, qsizetype& examined) {
    for (qsizetype i = from; i < size; ++i) {
        const void* hit = std::memchr(data + i, TagStartOfList, static_cast<size_t>(size - i));
        if (!hit) {
            examined += size - i;
            return size;
        }
        const qsizetype at = static_cast<const char*>(hit) - data;
        examined += at - i;
        i = at;
        qsizetype compared = 0;
        const Match shortForm = MatchAt(data, size, i, kShortStart, kShortStartLen, compared);
        const Match longForm = MatchAt(data, size, i, kLongStart, kLongStartLen, compared);
        // The list byte itself was counted by the search.
        examined += compared - 1;
        if (shortForm != Match::No || longForm != Match::No)
            return i;
    }
    return size;
}

qsizetype FindRecordStart(const char* data, qsizetype size, qsizetype from) {
    qsizetype examined = 0;
    return FindRecordStart(data, size, from, examined);
}

namespace {

// Where a text value lies in the buffer; copied only once the record is whole.
struct TTextSpan {
    qsizetype At = 0;
    qsizetype Length = 0;
};

// Walks the fields of the record at the front of [data, data+size) without
// copying anything. Each step either advances or says what stopped it.
class TRecordScan {
public:
    TRecordScan(const char* data, qsizetype size, qsizetype pos)
        : Data(reinterpret_cast<const uint8_t*>(data)), Size(size), Pos(pos) {}

    enum class Step { Ok, NeedMore, Bad };

    Step Integer(int32_t& v) {
        if (Pos >= Size)
            return Short(1);
        const uint8_t tag = Data[Pos];
        const qsizetype width = tag == TagInt8 ? 1 : tag == TagInt16 ? 2 : tag == TagInt32 ? 4 : 0;
        if (width == 0)
            return Bad(1);
        if (Size - Pos < 1 + width)
            return Short(1 + width);
        uint32_t u = 0;
        for (qsizetype i = 0; i < width; ++i)
            u |= static_cast<uint32_t>(Data[Pos + 1 + i]) << (8 * i);
        if (width == 1)
            v = static_cast<int8_t>(u);
        else if (width == 2)
            v = static_cast<int16_t>(u);
        else
            v = static_cast<int32_t>(u);
        Advance(1 + width);
        return Step::Ok;
    }

    // after: the fewest bytes the record still has past this text; a text that
    // cannot fit the record size bound is refused before its bytes arrive.
    Step Text(TTextSpan& span, qsizetype after) {
        if (Pos >= Size)
            return Short(1);
        const uint8_t tag = Data[Pos];
        qsizetype head = 0;
        quint64 length = 0;
        if (tag == TagShortText) {
            if (Size - Pos < 2)
                return Short(2);
            head = 2;
            length = Data[Pos + 1];
        } else if (tag == TagLongText) {
            if (Size - Pos < 5)
                return Short(5);
            head = 5;
            length = static_cast<quint64>(Data[Pos + 1]) |
                     (static_cast<quint64>(Data[Pos + 2]) << 8) |
                     (static_cast<quint64>(Data[Pos + 3]) << 16) |
                     (static_cast<quint64>(Data[Pos + 4]) << 24);
        } else {
            return Bad(1);
        }
        Examined += head;
        if (static_cast<quint64>(Pos + head + after) + length >
            static_cast<quint64>(kMaxRecordSize))
            return Step::Bad;
        const qsizetype total = head + static_cast<qsizetype>(length);
        if (Size - Pos < total) {
            NeededAt = Pos + total;
            return Step::NeedMore;
        }
        span = {Pos + head, static_cast<qsizetype>(length)};
        Pos += total;
        return Step::Ok;
    }

    // Any byte reads as a boolean; only 09 is true.
    Step Boolean(bool& v) {
        if (Pos >= Size)
            return Short(1);
        v = Data[Pos] == TagTrue;
        Advance(1);
        return Step::Ok;
    }

    qsizetype Position() const { return Pos; }
    qsizetype Needed() const { return NeededAt; }
    qsizetype ExaminedBytes() const { return Examined; }

private:
    Step Short(qsizetype n) {
        Examined += std::min(n, Size - Pos);
        NeededAt = Pos + n;
        return Step::NeedMore;
    }
    Step Bad(qsizetype n) {
        Examined += n;
        return Step::Bad;
    }
    void Advance(qsizetype n) {
        Examined += n;
        Pos += n;
    }

    const uint8_t* Data;
    qsizetype Size;
    qsizetype Pos;
    qsizetype NeededAt = 0;
    qsizetype Examined = 0;
};

DecodeResult SkipGarbage(const char* data, qsizetype size, qsizetype examined) {
    DecodeResult r;
    r.Status = DecodeStatus::Garbage;
    r.Consumed = FindRecordStart(data, size, 1, examined);
    r.Examined = examined;
    return r;
}

} // namespace

DecodeResult DecodeRecord(const char* data, qsizetype size, TDataPacket& out) {
    DecodeResult r;
    if (size <= 0) {
        r.Needed = 1;
        return r; // NeedMore
    }
    // Only the exact magic, in either text form, starts a record.
    qsizetype compared = 0;
    const Match shortForm = MatchAt(data, size, 0, kShortStart, kShortStartLen, compared);
    const Match longForm = MatchAt(data, size, 0, kLongStart, kLongStartLen, compared);
    if (shortForm == Match::No && longForm == Match::No)
        return SkipGarbage(data, size, compared);
    if (shortForm != Match::Full && longForm != Match::Full) {
        r.Needed = size + 1;
        r.Examined = compared;
        return r; // a prefix of the start: wait for more
    }
    const qsizetype startLen = shortForm == Match::Full ? kShortStartLen : kLongStartLen;

    TRecordScan scan(data, size, startLen);
    TDataPacket p;
    TTextSpan param1, param2;
    // Param1 is followed by at least Param2 (2), Switch (1) and the end (1).
    TRecordScan::Step step = scan.Integer(p.Version);
    if (step == TRecordScan::Step::Ok)
        step = scan.Integer(p.Code);
    if (step == TRecordScan::Step::Ok)
        step = scan.Integer(p.From);
    if (step == TRecordScan::Step::Ok)
        step = scan.Text(param1, 4);
    if (step == TRecordScan::Step::Ok)
        step = scan.Text(param2, 2);
    if (step == TRecordScan::Step::Ok)
        step = scan.Boolean(p.Switch);
    // The fields are complete. The record is taken once its end-of-list
    // position has arrived; a wrong byte there does not undo the record, the
    // stream simply resynchronises at the next record start.
    const qsizetype endPos = scan.Position();
    const qsizetype examined = startLen + scan.ExaminedBytes();
    if (step == TRecordScan::Step::Bad)
        return SkipGarbage(data, size, examined);
    if (step == TRecordScan::Step::NeedMore || endPos >= size) {
        r.Needed = step == TRecordScan::Step::NeedMore ? scan.Needed() : endPos + 1;
        r.Examined = examined;
        return r;
    }
    p.Param1 = QByteArray(data + param1.At, param1.Length);
    p.Param2 = QByteArray(data + param2.At, param2.Length);
    out = std::move(p);
    r.Status = DecodeStatus::Record;
    r.Consumed = static_cast<uint8_t>(data[endPos]) == TagEndOfList ? endPos + 1 : endPos;
    r.Examined = endPos + 1;
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

void TStreamDecoder::Reset() {
    Buffer = QByteArray();
    Start = 0;
    NeedUntil = 0;
    Backlog = false;
}

void TStreamDecoder::Compact() {
    // Only once at least half the buffer is consumed: each byte is then moved
    // a bounded number of times, however the reads are cut. The copy also
    // hands back the capacity of a past large record.
    if (Start == 0 || Start * 2 < Buffer.size())
        return;
    if (Start >= Buffer.size())
        Buffer = QByteArray(); // release memory of idle connections
    else
        Buffer = QByteArray(Buffer.constData() + Start, Buffer.size() - Start);
    Start = 0;
}

bool TStreamDecoder::Next(TDataPacket& out) {
    for (;;) {
        const qsizetype avail = Buffer.size() - Start;
        if (avail <= 0 || avail < NeedUntil) {
            Compact();
            return false;
        }
        const DecodeResult r = DecodeRecord(Buffer.constData() + Start, avail, out);
        Account(r);
        switch (r.Status) {
        case DecodeStatus::Record:
            Start += r.Consumed;
            return true;
        case DecodeStatus::Garbage:
            Start += r.Consumed;
            continue;
        case DecodeStatus::NeedMore:
            Compact();
            return false;
        }
    }
}

bool TStreamDecoder::Decode(const char* data, qsizetype size, std::vector<TDataPacket>& out,
                            size_t maxRecords) {
    size_t taken = 0;
    TDataPacket p;
    if (PendingBytes() == 0) {
        // The common case: decoded straight from the read; only what is left
        // over is kept.
        qsizetype pos = 0;
        while (pos < size && taken < maxRecords) {
            const DecodeResult r = DecodeRecord(data + pos, size - pos, p);
            Account(r);
            if (r.Status == DecodeStatus::NeedMore)
                break;
            pos += r.Consumed;
            if (r.Status == DecodeStatus::Record) {
                out.push_back(std::move(p));
                ++taken;
            }
        }
        Feed(data + pos, size - pos);
        Backlog = taken == maxRecords && pos < size;
        return Backlog;
    }
    Feed(data, size);
    while (taken < maxRecords && Next(p)) {
        out.push_back(std::move(p));
        ++taken;
    }
    Backlog = taken == maxRecords && PendingBytes() > 0;
    return Backlog;
}

} // namespace kelvra
