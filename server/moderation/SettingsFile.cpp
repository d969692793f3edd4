#include "SettingsFile.h"

#include "TextUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvra {

namespace {

const QString kGeneral = QStringLiteral("General");

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArray TrimBlanks(QByteArrayView text) {
    qsizetype b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    return text.sliced(b, e - b).toByteArray();
}

// Bytes that text files do not hold (tab, line and page breaks are fine).
qsizetype FirstBinaryByte(const QByteArray& content) {
    for (qsizetype i = 0; i < content.size(); ++i) {
        const auto c = static_cast<uint8_t>(content[i]);
        if (c < 9 || (c > 13 && c < 32))
            return i;
    }
    return -1;
}

// Where the text of a value line ends: a ";" outside quotes starts a comment.
// eq gets the first "=" outside quotes, -1 when there is none.
qsizetype ContentEnd(const QByteArray& line, qsizetype* eq) {
    bool inQuotes = false;
    *eq = -1;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (!inQuotes && c == '=' && *eq < 0) {
            *eq = i;
        } else if (!inQuotes && c == ';') {
            return i;
        }
    }
    return line.size();
}

void ChopTrailingBlanks(QString& s, qsizetype limit) {
    while (s.size() > limit && (s.back() == u' ' || s.back() == u'\t'))
        s.chop(1);
}

// Reads a stored value: quotes group text, backslash escapes as in C (\a \b
// \f \n \r \t \v \" \' \? \\, \x hex, \ octal), unquoted commas separate list
// items, blanks around unquoted text are dropped.
class TValueReader {
public:
    explicit TValueReader(QByteArrayView text) : Text(text) {}

    QString Read() {
        SkipBlanks();
        qsizetype chopLimit = Result.size();
        while (I < Text.size()) {
            const char c = Text[I];
            if (c == '\\') {
                ++I;
                if (I >= Text.size())
                    break;
                Escape(Text[I++]);
                chopLimit = Result.size();
            } else if (c == '"') {
                ++I;
                CurrentQuoted = true;
                InQuotes = !InQuotes;
                if (!InQuotes) {
                    SkipBlanks();
                    chopLimit = Result.size();
                }
            } else if (c == ',' && !InQuotes) {
                if (!CurrentQuoted)
                    ChopTrailingBlanks(Result, chopLimit);
                Items << Result;
                Result.clear();
                IsList = true;
                CurrentQuoted = false;
                ++I;
                SkipBlanks();
                chopLimit = 0;
            } else {
                qsizetype j = I + 1;
                while (j < Text.size() && Text[j] != '\\' && Text[j] != '"' && Text[j] != ',')
                    ++j;
                Result += Utf8(Text.sliced(I, j - I));
                I = j;
            }
        }
        if (!CurrentQuoted)
            ChopTrailingBlanks(Result, chopLimit);
        if (!IsList)
            return Result;
        Items << Result;
        return Items.join(QLatin1Char(','));
    }

private:
    void SkipBlanks() {
        while (I < Text.size() && IsBlank(Text[I]))
            ++I;
    }
    void Escape(char e) {
        static const char kCodes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                         {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                         {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
        for (const auto& code : kCodes)
            if (e == code[0]) {
                Result += QLatin1Char(code[1]);
                return;
            }
        if (e == 'x') {
            Number(16, 0, false);
        } else if (e >= '0' && e <= '7') {
            Number(8, static_cast<char32_t>(e - '0'), true);
        }
        // Any other escaped character is dropped.
    }
    // The digits of a numeric escape, as many as follow.
    void Number(int base, char32_t value, bool started) {
        while (I < Text.size()) {
            const int digit = HexDigitValue(static_cast<char16_t>(Text[I]));
            if (digit < 0 || digit >= base)
                break;
            value = value * static_cast<char32_t>(base) + static_cast<char32_t>(digit);
            started = true;
            ++I;
        }
        if (!started)
            return; // "\x" without digits: nothing
        if (value > 0x10FFFF)
            value = 0xFFFD;
        Result += QString::fromUcs4(&value, 1);
    }
    QString Utf8(QByteArrayView bytes) { return QString::fromUtf8(bytes); }

    QByteArrayView Text;
    qsizetype I = 0;
    QString Result;
    QStringList Items;
    bool IsList = false;
    bool InQuotes = false;
    bool CurrentQuoted = false;
};

} // namespace

QString TSettingsFile::Key(const QString& section, const QString& name) {
    return section.toLower() + QLatin1Char('\n') + name.toLower();
}

QByteArray TSettingsFile::EscapeName(const QString& name) {
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(name.size() * 3 / 2);
    for (const QChar qc : name) {
        const char16_t c = qc.unicode();
        if (c == '/') {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHex[(c >> shift) & 15];
        }
    }
    return out;
}

QString TSettingsFile::UnescapeName(const QByteArray& raw) {
    const QString text = QString::fromUtf8(raw);
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const char16_t c = text[i].unicode();
        if (c == '\\') {
            out += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i + 1 >= text.size()) {
            out += text[i++];
            continue;
        }
        const bool wide = text[i + 1] == QLatin1Char('U');
        const qsizetype first = i + (wide ? 2 : 1);
        const int digits = wide ? 4 : 2;
        bool ok = first + digits <= text.size();
        const ushort code = ok ? QStringView(text).sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        out += QChar(code);
        i = first + digits;
    }
    return out;
}

QByteArray TSettingsFile::EscapeValue(const QString& value) {
    // Control characters with a letter of their own; the others as \xHH.
    static const char kNamed[] = "\aa\bb\ff\nn\rr\tt\vv";
    const QString text = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    QByteArray out;
    out.reserve(text.size() + 2);
    bool needsQuotes = false;
    bool escapeHexDigit = false; // after a numeric escape, a digit must not extend it
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeHexDigit && HexDigitValue(c) >= 0) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeHexDigit = false;
        const char* named = c > 0 && c < 0x20 ? std::strchr(kNamed, static_cast<char>(c)) : nullptr;
        if (named) {
            out += '\\';
            out += named[1];
        } else if (c == 0) {
            out += "\\0";
            escapeHexDigit = true;
        } else if (c < 0x20) {
            out += "\\x" + QByteArray::number(c, 16);
            escapeHexDigit = true;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                   text[i + 1].isLowSurrogate()) {
            out += QStringView(text).sliced(i, 2).toUtf8();
            ++i;
        } else {
            out += QString(QChar(c)).toUtf8();
        }
    }
    if (needsQuotes || (!out.isEmpty() && (out.front() == ' ' || out.back() == ' ')))
        return '"' + out + '"';
    return out;
}

std::optional<QString> TSettingsFile::UnescapeValue(const QByteArray& raw) {
    QString value = TValueReader(raw).Read();
    if (!value.startsWith(QLatin1Char('@')))
        return value;
    // Forms that mark values of other types; of them only these are strings.
    if (value.startsWith(QLatin1String("@@")))
        return value.mid(1);
    if (value == QLatin1String("@Invalid()"))
        return std::nullopt;
    if (value.startsWith(QLatin1String("@ByteArray(")) && value.endsWith(QLatin1Char(')')))
        return value.mid(11, value.size() - 12);
    return value;
}

bool TSettingsFile::Load(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (info.isDir()) {
        *error = QStringLiteral("%1 is a folder, not a settings file").arg(path);
        return false;
    }
    QFile file(path);
    if (!info.exists()) {
        Parse({}, nullptr);
        return true;
    }
    if (info.size() > kMaxBytes) {
        *error = QStringLiteral("%1 is not a settings file: it is larger than %2 MiB; it was left "
                                "as it is")
                     .arg(path)
                     .arg(kMaxBytes >> 20);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray content = file.read(kMaxBytes + 1);
    QString why;
    if (content.size() > kMaxBytes || !Parse(content, &why)) {
        if (why.isEmpty())
            why = QStringLiteral("it is larger than %1 MiB").arg(kMaxBytes >> 20);
        *error =
            QStringLiteral("%1 is not a settings file: %2; it was left as it is").arg(path, why);
        return false;
    }
    return true;
}

bool TSettingsFile::Parse(const QByteArray& content, QString* why) {
    const auto refuse = [why](const QString& text) {
        if (why)
            *why = text;
        return false;
    };
    const qsizetype binary = FirstBinaryByte(content);
    if (binary >= 0)
        return refuse(QStringLiteral("it holds binary data (byte 0x%1 at offset %2)")
                          .arg(static_cast<uint8_t>(content[binary]), 2, 16, QLatin1Char('0'))
                          .arg(binary));

    TSettingsFile doc;
    qsizetype start = 0;
    if (content.startsWith("\xEF\xBB\xBF")) {
        doc.Bom = content.left(3);
        start = 3;
    }
    const qsizetype firstEnd = content.indexOf('\n', start);
    if (firstEnd > start && content[firstEnd - 1] == '\r')
        doc.LineEnd = "\r\n";
    doc.Sections.push_back({});
    bool hasHeader = false;
    bool hasValues = false;
    int lineNo = 0;
    while (start < content.size()) {
        ++lineNo;
        qsizetype end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        QByteArray raw = content.mid(start, end - start);
        start = end + 1;
        if (raw.endsWith('\r'))
            raw.chop(1);

        const QByteArray text = TrimBlanks(raw);
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#')) {
            doc.Sections.back().Lines.push_back({raw, {}, {}, {}});
            continue;
        }
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            if (close < 0)
                return refuse(
                    QStringLiteral("line %1 opens a group without closing it").arg(lineNo));
            QString name = UnescapeName(TrimBlanks(QByteArrayView(text).sliced(1, close - 1)));
            if (name.compare(kGeneral, Qt::CaseInsensitive) == 0)
                name.clear();
            else if (name.compare(QLatin1String("%General"), Qt::CaseInsensitive) == 0)
                name = kGeneral;
            Section section;
            section.Header = raw;
            section.Name = name;
            doc.Sections.push_back(std::move(section));
            doc.SectionIndex.insert(name.toLower(), doc.Sections.size() - 1);
            hasHeader = true;
            continue;
        }
        qsizetype eq = -1;
        const qsizetype contentEnd = ContentEnd(text, &eq);
        const QByteArray rawName =
            eq > 0 ? TrimBlanks(QByteArrayView(text).first(eq)) : QByteArray();
        if (rawName.isEmpty())
            return refuse(QStringLiteral("line %1 is neither a group header, a value nor a comment")
                              .arg(lineNo));
        Line line{raw, rawName, UnescapeName(rawName),
                  UnescapeValue(text.mid(eq + 1, contentEnd - eq - 1))};
        doc.Sections.back().Lines.push_back(std::move(line));
        doc.Index(doc.Sections.size() - 1, doc.Sections.back().Lines.size() - 1);
        hasValues = true;
    }
    if (hasValues && !hasHeader)
        return refuse(QStringLiteral("it has no group header such as [General]"));
    // Values before the first header belong to [General].
    if (!doc.Sections.front().Lines.empty() && !doc.SectionIndex.contains(QString())) {
        for (const Line& line : doc.Sections.front().Lines)
            if (!line.RawName.isEmpty()) {
                doc.SectionIndex.insert(QString(), 0);
                break;
            }
    }
    *this = std::move(doc);
    return true;
}

void TSettingsFile::Index(size_t section, size_t line) {
    Values.insert(Key(Sections[section].Name, Sections[section].Lines[line].Name), {section, line});
}

bool TSettingsFile::HasSection(const QString& section) const {
    return SectionIndex.contains(section.toLower());
}

QStringList TSettingsFile::SectionNames() const {
    QStringList names;
    for (const Section& section : Sections)
        for (const Line& line : section.Lines)
            if (!line.RawName.isEmpty()) {
                if (!names.contains(section.Name, Qt::CaseInsensitive))
                    names << section.Name;
                break;
            }
    return names;
}

QStringList TSettingsFile::Names(const QString& section) const {
    QStringList names;
    for (const Section& s : Sections)
        if (s.Name.compare(section, Qt::CaseInsensitive) == 0)
            for (const Line& line : s.Lines)
                if (!line.RawName.isEmpty() && !names.contains(line.Name, Qt::CaseInsensitive))
                    names << line.Name;
    return names;
}

std::optional<QString> TSettingsFile::Value(const QString& section, const QString& name) const {
    const auto found = Values.constFind(Key(section, name));
    if (found == Values.cend())
        return std::nullopt;
    return Sections[found->first].Lines[found->second].Value;
}

size_t TSettingsFile::AddSection(const QString& name) {
    if (Sections.empty())
        Sections.push_back({});
    Section section;
    section.Name = name;
    section.Header = '[' +
                     (name.isEmpty()     ? kGeneral.toLatin1()
                      : name == kGeneral ? QByteArray("%General")
                                         : EscapeName(name)) +
                     ']';
    // Groups stand apart by a blank line, as they always have.
    const auto separate = [](std::vector<Line>& lines, bool always) {
        if (lines.empty() ? always : !TrimBlanks(lines.back().Raw).isEmpty())
            lines.push_back({});
    };
    // The program's own values come first, where they have always been.
    if (name.isEmpty() && Sections.size() > 1) {
        separate(Sections.front().Lines, false);
        section.Lines.push_back({});
        Sections.insert(Sections.begin() + 1, std::move(section));
        Reindex();
        return 1;
    }
    separate(Sections.back().Lines, Sections.size() > 1);
    Sections.push_back(std::move(section));
    SectionIndex.insert(name.toLower(), Sections.size() - 1);
    return Sections.size() - 1;
}

void TSettingsFile::Reindex() {
    Values.clear();
    SectionIndex.clear();
    for (size_t s = 0; s < Sections.size(); ++s) {
        bool hasValues = false;
        for (size_t l = 0; l < Sections[s].Lines.size(); ++l)
            if (!Sections[s].Lines[l].RawName.isEmpty()) {
                Index(s, l);
                hasValues = true;
            }
        // Lines before any header count as [General] only when they hold values.
        if (s > 0 || hasValues)
            SectionIndex.insert(Sections[s].Name.toLower(), s);
    }
}

void TSettingsFile::SetValue(const QString& section, const QString& name, const QString& value) {
    const auto found = Values.constFind(Key(section, name));
    if (found != Values.cend()) {
        Line& line = Sections[found->first].Lines[found->second];
        line.Raw = line.RawName + '=' + EscapeValue(value);
        line.Value = value;
        return;
    }
    const auto sectionFound = SectionIndex.constFind(section.toLower());
    const size_t s = sectionFound != SectionIndex.cend() ? *sectionFound : AddSection(section);
    // After the section's last line that is not blank, so the blank lines
    // before the next header stay there; only unindexed blank lines move.
    std::vector<Line>& lines = Sections[s].Lines;
    size_t pos = lines.size();
    while (pos > 0 && lines[pos - 1].RawName.isEmpty() && TrimBlanks(lines[pos - 1].Raw).isEmpty())
        --pos;
    const QByteArray rawName = EscapeName(name);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pos),
                 Line{rawName + '=' + EscapeValue(value), rawName, name, value});
    Index(s, pos);
}

QByteArray TSettingsFile::Serialize() const {
    QByteArray out = Bom;
    for (const Section& section : Sections) {
        if (!section.Header.isEmpty())
            out += section.Header + LineEnd;
        for (const Line& line : section.Lines)
            out += line.Raw + LineEnd;
    }
    return out;
}

bool TSettingsFile::Save(const QString& path, QString* error) const {
    const QByteArray content = Serialize();
    // Never readable by others, not even between creation and the chmod.
    const mode_t oldMask = ::umask(077);
    QSaveFile file(path);
    const bool folders = QDir().mkpath(QFileInfo(path).absolutePath());
    const bool ok = folders && file.open(QIODevice::WriteOnly) &&
                    file.write(content) == content.size() && file.commit();
    ::umask(oldMask);
    if (!ok) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(path, folders ? file.errorString()
                                            : QStringLiteral("its folder cannot be created"));
        file.cancelWriting();
        return false;
    }
    if (!QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        if (error)
            *error = QStringLiteral("cannot make %1 readable by its owner only").arg(path);
        return false;
    }
    return true;
}

QString PathWriteProblem(const QString& path, TWriteMode mode, bool createFolders) {
    const auto denied = [](const QString& what) {
        return QStringLiteral("%1 cannot be written: %2")
            .arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    };
    if (path.isEmpty())
        return QStringLiteral("no file is named");
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("%1 is a folder").arg(path);
    if (info.exists()) {
        if (!info.isFile())
            return QStringLiteral("%1 is not a regular file").arg(path);
        if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
            return denied(path);
        if (mode == TWriteMode::Append)
            return {};
    }
    // A new file, or one replaced through a new one, needs a folder that takes files.
    QString folder = info.absolutePath();
    while (createFolders && !QFileInfo::exists(folder) && !QDir(folder).isRoot())
        folder = QFileInfo(folder).absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder);
    if (!folderInfo.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return denied(QStringLiteral("the folder ") + folder);
    return {};
}

} // namespace kelvra
