#include "MailJournal.h"

#include <QtEndian>

namespace kelvra {

namespace {

constexpr qint64 kMaxBody = qint64(1) << 30;

void PutU32(QByteArray& out, quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void PutU64(QByteArray& out, quint64 v) {
    char b[8];
    qToLittleEndian(v, b);
    out.append(b, 8);
}

void PutText(QByteArray& out, const QByteArray& text) {
    PutU32(out, static_cast<quint32>(text.size()));
    out += text;
}

quint64 BodyCheck(const char* data, qsizetype size) {
    TContentHash hash;
    hash.Add(data, size);
    return hash.Print().Hash;
}

// Fields of a body, read with their bounds checked.
class TFields {
public:
    explicit TFields(const QByteArray& body) : Body(body) {}
    bool U64(quint64* v) {
        if (Body.size() - Pos < 8)
            return false;
        *v = qFromLittleEndian<quint64>(Body.constData() + Pos);
        Pos += 8;
        return true;
    }
    bool Text(QByteArray* text) {
        if (Body.size() - Pos < 4)
            return false;
        const quint32 n = qFromLittleEndian<quint32>(Body.constData() + Pos);
        Pos += 4;
        if (static_cast<quint64>(Body.size() - Pos) < n)
            return false;
        *text = Body.mid(Pos, n);
        Pos += n;
        return true;
    }
    bool Print(TFilePrint* p) { return U64(&p->Size) && U64(&p->Hash); }
    bool Done() const { return Pos == Body.size(); }

private:
    const QByteArray& Body;
    qsizetype Pos = 1;
};

bool DecodeBody(const QByteArray& body, TMailJournal::TRecord* r) {
    using TKind = TMailJournal::TKind;
    if (body.isEmpty())
        return false;
    *r = TMailJournal::TRecord();
    r->Kind = static_cast<TKind>(body[0]);
    TFields f(body);
    bool ok = false;
    switch (r->Kind) {
    case TKind::Base:
        ok = f.Print(&r->Print);
        break;
    case TKind::Add:
        ok = f.U64(&r->Number) && f.Text(&r->Target) && f.Text(&r->Sender) && f.Text(&r->Msg);
        break;
    case TKind::Remove:
    case TKind::Renumber:
        ok = f.U64(&r->Number);
        break;
    case TKind::Folded:
        ok = f.U64(&r->Number) && f.Print(&r->Print);
        break;
    }
    return ok && f.Done();
}

} // namespace

QByteArray TMailJournal::Encode(const TRecord& r) {
    QByteArray body;
    body += static_cast<char>(r.Kind);
    switch (r.Kind) {
    case TKind::Base:
        PutU64(body, r.Print.Size);
        PutU64(body, r.Print.Hash);
        break;
    case TKind::Add:
        body.reserve(1 + 8 + 12 + r.Target.size() + r.Sender.size() + r.Msg.size());
        PutU64(body, r.Number);
        PutText(body, r.Target);
        PutText(body, r.Sender);
        PutText(body, r.Msg);
        break;
    case TKind::Remove:
    case TKind::Renumber:
        PutU64(body, r.Number);
        break;
    case TKind::Folded:
        PutU64(body, r.Number);
        PutU64(body, r.Print.Size);
        PutU64(body, r.Print.Hash);
        break;
    }
    QByteArray out;
    out.reserve(body.size() + 12);
    PutU32(out, static_cast<quint32>(body.size()));
    out += body;
    PutU64(out, BodyCheck(body.constData(), body.size()));
    return out;
}

TMailJournal::TReader::TReader(QFile& file, qint64 from) : File(file) {
    if (from > 0) {
        Usable = File.seek(from);
        End = from;
        return;
    }
    Usable = File.read(8) == Magic();
    End = Usable ? 8 : 0;
}

bool TMailJournal::TReader::Next(TRecord* record) {
    if (!Usable)
        return false;
    const QByteArray head = File.read(4);
    if (head.size() < 4)
        return Usable = false;
    const qint64 size = qFromLittleEndian<quint32>(head.constData());
    if (size > kMaxBody || size > File.size() - File.pos())
        return Usable = false;
    const QByteArray body = File.read(size);
    const QByteArray check = File.read(8);
    if (body.size() != size || check.size() != 8 ||
        qFromLittleEndian<quint64>(check.constData()) != BodyCheck(body.constData(), size) ||
        !DecodeBody(body, record))
        return Usable = false;
    End = File.pos();
    return true;
}

} // namespace kelvra
