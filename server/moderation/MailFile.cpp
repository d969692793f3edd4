#include "MailFile.h"

#include "IniFile.h"
#include "RegLink.h"
#include "TextUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvra {

namespace {

constexpr qsizetype kChunk = 1024 * 1024;
const QByteArray MailSection = QByteArrayLiteral("mail");

quint64 Rotl(quint64 x, int r) {
    return (x << r) | (x >> (64 - r));
}

quint64 Finish(quint64 h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// The index of a numbered item ("12Msg": 12, field 2) as a reader looks it up:
// decimal without leading zeros, from 1; -1 for any other key.
int ItemIndex(const QByteArray& lowerKey, int* field) {
    static const std::array<QByteArray, 3> suffixes = {"target", "sender", "msg"};
    qsizetype digits = 0;
    while (digits < lowerKey.size() && lowerKey[digits] >= '0' && lowerKey[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 9 || lowerKey[0] == '0')
        return -1;
    const QByteArray suffix = lowerKey.mid(digits);
    for (int f = 0; f < 3; ++f) {
        if (suffix == suffixes[static_cast<size_t>(f)]) {
            *field = f;
            return lowerKey.left(digits).toInt();
        }
    }
    return -1;
}

bool IsOurKey(const QByteArray& name) {
    const QByteArray lower = AsciiLower(name);
    int field = 0;
    return lower == MailSection || ItemIndex(lower, &field) > 0;
}

// A file read line by line in large chunks, hashing every byte read.
class TLineReader {
public:
    explicit TLineReader(QFile& file) : File(file) {}

    // The next line without its line break; false at the end or on an error.
    bool Next(QByteArray* line) {
        for (;;) {
            const qsizetype end = Buffer.indexOf('\n', ScanFrom);
            if (end >= 0) {
                *line = Buffer.mid(Pos, end - Pos);
                Pos = ScanFrom = end + 1;
                if (line->endsWith('\r'))
                    line->chop(1);
                return true;
            }
            ScanFrom = Buffer.size();
            if (AtEnd) {
                if (Pos >= Buffer.size())
                    return false;
                *line = Buffer.mid(Pos);
                Pos = ScanFrom = Buffer.size();
                if (line->endsWith('\r'))
                    line->chop(1);
                return true;
            }
            Buffer.remove(0, Pos);
            ScanFrom -= Pos;
            Pos = 0;
            const QByteArray chunk = File.read(kChunk);
            if (chunk.isEmpty()) {
                AtEnd = true;
                Failed = File.error() != QFileDevice::NoError;
                if (Failed)
                    return false;
                continue;
            }
            Hash.Add(chunk);
            Buffer += chunk;
        }
    }
    bool Error() const { return Failed; }
    TFilePrint Print() const { return Hash.Print(); }

private:
    QFile& File;
    QByteArray Buffer;
    qsizetype Pos = 0;
    qsizetype ScanFrom = 0;
    bool AtEnd = false;
    bool Failed = false;
    TContentHash Hash;
};

// Output to a descriptor through a large buffer, hashing what is written.
class TBufferedOut {
public:
    explicit TBufferedOut(int fd) : Fd(fd) { Buffer.reserve(kChunk + 4096); }
    void Line(const QByteArray& a, const QByteArray& b = {}, const QByteArray& c = {}) {
        Buffer += a;
        Buffer += b;
        Buffer += c;
        Buffer += "\r\n";
        if (Buffer.size() >= kChunk)
            Flush();
    }
    bool Flush() {
        Hash.Add(Buffer);
        const char* p = Buffer.constData();
        qsizetype left = Buffer.size();
        while (left > 0 && Ok) {
            const ssize_t n = ::write(Fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                Ok = false;
            else {
                p += n;
                left -= n;
            }
        }
        Buffer.clear();
        return Ok;
    }
    bool Good() const { return Ok; }
    TFilePrint Print() const { return Hash.Print(); }

private:
    int Fd;
    QByteArray Buffer;
    bool Ok = true;
    TContentHash Hash;
};

void WriteItems(TBufferedOut& out, const std::vector<TMailItem>& records) {
    int i = 0;
    for (const TMailItem& item : records) {
        const QByteArray n = QByteArray::number(++i);
        out.Line(n, "Target=", TIniFile::EncodeValue(item.Target));
        out.Line(n, "Sender=", TIniFile::EncodeValue(item.Sender));
        out.Line(n, "Msg=", TIniFile::EncodeValue(item.Msg));
    }
    out.Line("Mail=", QByteArray::number(static_cast<int>(records.size())));
}

bool Fail(QString* error, const QString& path) {
    if (error)
        *error = QStringLiteral("Unable to write to %1").arg(path);
    return false;
}

} // namespace

void TContentHash::Mix(quint64 word) {
    State ^= Rotl(word * 0x87C37B91114253D5ull, 31) * 0x4CF5AD432745937Full;
    State = Rotl(State, 27) * 5 + 0x52DCE729;
}

void TContentHash::Add(const char* data, qsizetype size) {
    Size += static_cast<quint64>(size);
    if (TailSize > 0) {
        while (size > 0 && TailSize < 8) {
            Tail[TailSize++] = *data++;
            --size;
        }
        if (TailSize < 8)
            return;
        quint64 word;
        std::memcpy(&word, Tail, 8);
        Mix(word);
        TailSize = 0;
    }
    for (; size >= 8; size -= 8, data += 8) {
        quint64 word;
        std::memcpy(&word, data, 8);
        Mix(word);
    }
    std::memcpy(Tail, data, static_cast<size_t>(size));
    TailSize = static_cast<int>(size);
}

TFilePrint TContentHash::Print() const {
    quint64 h = State;
    quint64 last = 0;
    std::memcpy(&last, Tail, static_cast<size_t>(TailSize));
    h ^= Rotl(last * 0x87C37B91114253D5ull, 31) ^ Size;
    return TFilePrint{Size, Finish(h)};
}

namespace MailFile {

QString TempPathFor(const QString& path) {
    return path + QStringLiteral(".saving");
}

QString Resolved(const QString& path) {
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString target = info.symLinkTarget();
    return target.isEmpty() ? path : target;
}

void SyncFolder(const QString& path) {
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool Read(const QString& path, std::vector<TMailItem>* records, TFilePrint* print, QString* error) {
    records->clear();
    *print = TContentHash().Print();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Unable to read %1 (%2)").arg(path, file.errorString());
        return false;
    }
    struct TFields {
        std::array<QByteArray, 3> Field;
        uint8_t Seen = 0;
    };
    QHash<int, TFields> items;
    QByteArray count;
    bool countSeen = false;
    bool inMail = false;
    bool mailSeen = false;
    TLineReader reader(file);
    QByteArray line;
    while (reader.Next(&line)) {
        TIniLine parsed = TIniFile::ClassifyLine(line);
        if (parsed.Kind == TIniLine::TKind::Section) {
            // Only the first section of the name counts, as for every lookup.
            inMail = !mailSeen && AsciiLower(parsed.Name) == MailSection;
            mailSeen = mailSeen || inMail;
            continue;
        }
        if (!inMail || parsed.Kind != TIniLine::TKind::Key)
            continue;
        const QByteArray lower = AsciiLower(parsed.Name);
        int field = 0;
        if (lower == MailSection) {
            if (!countSeen)
                count = TIniFile::DecodeValue(parsed.RawValue);
            countSeen = true;
        } else if (const int index = ItemIndex(lower, &field); index > 0) {
            TFields& f = items[index];
            if (!(f.Seen & (1u << field))) {
                f.Field[static_cast<size_t>(field)] = TIniFile::DecodeValue(parsed.RawValue);
                f.Seen |= static_cast<uint8_t>(1u << field);
            }
        }
    }
    if (reader.Error()) {
        if (error)
            *error = QStringLiteral("Unable to read %1 (%2)").arg(path, file.errorString());
        return false;
    }
    *print = reader.Print();
    const int32_t n = TRegLink::ConvertInteger(FromBytes(count), 0);
    if (n > 0)
        records->reserve(static_cast<size_t>(std::min<qsizetype>(n, items.size())));
    for (int32_t i = 1; i <= n; ++i) {
        TMailItem item;
        if (auto found = items.find(i); found != items.end()) {
            item.Target = std::move(found->Field[0]);
            item.Sender = std::move(found->Field[1]);
            item.Msg = std::move(found->Field[2]);
            items.erase(found);
        }
        records->push_back(std::move(item));
    }
    return true;
}

bool Write(const QString& path, const QString& tempPath, const std::vector<TMailItem>& records,
           TFilePrint* print, QString* error) {
    // What is there already is read as we go, so the other content of the
    // file survives; a file that cannot be read is not overwritten.
    QFile old(path);
    const bool hasOld = old.exists();
    if (hasOld && !old.open(QIODevice::ReadOnly))
        return Fail(error, path);
    const QByteArray temp = QFile::encodeName(tempPath);
    // Users' private words: the owner's eyes only, from the first byte on.
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return Fail(error, path);
    ::fchmod(fd, 0600);
    TBufferedOut out(fd);
    bool written = false;
    bool readFailed = false;
    if (hasOld) {
        TLineReader reader(old);
        QByteArray line;
        bool inMail = false;
        while (reader.Next(&line) && out.Good()) {
            const TIniLine parsed = TIniFile::ClassifyLine(line);
            if (parsed.Kind == TIniLine::TKind::Section) {
                inMail = AsciiLower(parsed.Name) == MailSection;
                out.Line(line);
                if (inMail && !written) {
                    WriteItems(out, records);
                    written = true;
                }
                continue;
            }
            // Items of an earlier, longer list go: private text that left the
            // store leaves the file too.
            if (inMail && parsed.Kind == TIniLine::TKind::Key && IsOurKey(parsed.Name))
                continue;
            out.Line(line);
        }
        readFailed = reader.Error();
    }
    if (!written) {
        out.Line("[Mail]");
        WriteItems(out, records);
    }
    const bool ok = !readFailed && out.Flush() && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed) {
        ::unlink(temp.constData());
        return Fail(error, path);
    }
    if (print)
        *print = out.Print();
    return true;
}

bool Replace(const QString& tempPath, const QString& path, QString* error) {
    if (::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(path).constData()) !=
        0) {
        ::unlink(QFile::encodeName(tempPath).constData());
        return Fail(error, path);
    }
    SyncFolder(path);
    return true;
}

bool Save(const QString& path, const std::vector<TMailItem>& records, TFilePrint* print,
          QString* error) {
    const QString target = Resolved(path);
    const QString temp = TempPathFor(target);
    if (!Write(target, temp, records, print, error))
        return Fail(error, path);
    return Replace(temp, target, error) || Fail(error, path);
}

} // namespace MailFile
} // namespace kelvra
