#include "IniFile.h"

#include "TextUtil.h"

#include <QFile>
#include <QSaveFile>

#include <optional>

namespace kelvra {

namespace {

bool IsControl(uint8_t c) {
    return c < 32 || c == 127;
}

bool NeedsQuotes(const QByteArray& value) {
    if (value.isEmpty())
        return false;
    if (value.front() == '"' || static_cast<uint8_t>(value.front()) <= 32 ||
        static_cast<uint8_t>(value.back()) <= 32)
        return true;
    for (const char c : value) {
        if (IsControl(static_cast<uint8_t>(c)))
            return true;
    }
    return false;
}

// Unquotes and unescapes a value that is a single quoted string; nullopt when
// the text is not exactly that (a hand-written value that merely starts with a
// quote is then taken literally).
std::optional<QByteArray> Unquote(const QByteArray& text) {
    if (text.size() < 2 || text.front() != '"')
        return std::nullopt;
    QByteArray out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 1; i < n; ++i) {
        const char c = text[i];
        if (c == '"')
            return i == n - 1 ? std::optional<QByteArray>(out) : std::nullopt;
        if (c != '\\' || i + 1 >= n - 1) {
            out += c;
            continue;
        }
        const char e = text[i + 1];
        switch (e) {
        case '\\':
        case '"':
            out += e;
            ++i;
            break;
        case 'n':
            out += '\n';
            ++i;
            break;
        case 'r':
            out += '\r';
            ++i;
            break;
        case 't':
            out += '\t';
            ++i;
            break;
        case 'x':
        case 'X': {
            const int hi = i + 2 < n ? HexDigitValue(text[i + 2]) : -1;
            const int lo = i + 3 < n ? HexDigitValue(text[i + 3]) : -1;
            if (hi < 0 || lo < 0) {
                out += c; // not an escape: keep the backslash
                break;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 3;
            break;
        }
        default:
            out += c; // unknown escape: keep it as written
            break;
        }
    }
    return std::nullopt; // no closing quote
}

} // namespace

bool TIniFile::Load(const QString& path, QString* error) {
    QFile file(path);
    if (!file.exists()) {
        Parse({});
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Unable to read %1 (%2)").arg(path, file.errorString());
        return false;
    }
    Parse(file.readAll());
    return true;
}

void TIniFile::Parse(const QByteArray& content) {
    Preamble.clear();
    Sections.clear();
    SectionIndex.clear();

    std::vector<Entry>* target = &Preamble;
    Section* section = nullptr;
    qsizetype start = 0;
    const qsizetype n = content.size();
    while (start < n) {
        qsizetype end = content.indexOf('\n', start);
        if (end < 0)
            end = n;
        QByteArray line = content.mid(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);

        TIniLine parsed = ClassifyLine(line);
        if (parsed.Kind == TIniLine::TKind::Section) {
            AddSection(parsed.Name);
            section = &Sections.back();
            target = &section->Entries;
            continue;
        }
        Entry entry;
        if (parsed.Kind == TIniLine::TKind::Other) {
            entry.Raw = line;
        } else {
            entry.Key = std::move(parsed.Name);
            entry.Value = DecodeValue(parsed.RawValue);
            if (section) {
                const QByteArray lower = AsciiLower(entry.Key);
                if (!section->Index.contains(lower))
                    section->Index.insert(lower, static_cast<int>(target->size()));
            }
        }
        target->push_back(std::move(entry));
    }
}

TIniLine TIniFile::ClassifyLine(const QByteArray& line) {
    TIniLine result;
    const QByteArray trimmed = TrimText(line);
    if (trimmed.startsWith('[')) {
        qsizetype close = trimmed.indexOf(']');
        if (close < 0)
            close = trimmed.size();
        result.Kind = TIniLine::TKind::Section;
        result.Name = TrimText(trimmed.mid(1, close - 1));
        return result;
    }
    const qsizetype eq = trimmed.indexOf('=');
    if (trimmed.startsWith(';') || eq <= 0)
        return result;
    result.Name = TrimText(trimmed.left(eq));
    if (result.Name.isEmpty())
        return result;
    result.Kind = TIniLine::TKind::Key;
    result.RawValue = trimmed.mid(eq + 1);
    return result;
}

QByteArray TIniFile::ReadString(const QByteArray& section, const QByteArray& key,
                                const QByteArray& defaultValue) const {
    const Entry* entry = FindEntry(section, key);
    return entry ? entry->Value : defaultValue;
}

bool TIniFile::HasKey(const QByteArray& section, const QByteArray& key) const {
    return FindEntry(section, key) != nullptr;
}

void TIniFile::WriteString(const QByteArray& section, const QByteArray& key,
                           const QByteArray& value) {
    Section* s = FindSection(section);
    if (!s) {
        AddSection(section);
        s = &Sections.back();
    }
    const QByteArray lowerKey = AsciiLower(key);
    const auto found = s->Index.constFind(lowerKey);
    if (found != s->Index.cend()) {
        s->Entries[static_cast<size_t>(found.value())].Value = value;
        return;
    }
    // A new key goes after the section's last non-blank line, so blank lines
    // that separate it from the next section stay where they are. Only blank
    // lines follow the insertion point, so no indexed position moves.
    size_t pos = s->Entries.size();
    while (pos > 0 && s->Entries[pos - 1].Key.isEmpty() &&
           TrimText(s->Entries[pos - 1].Raw).isEmpty())
        --pos;
    Entry entry;
    entry.Key = key;
    entry.Value = value;
    s->Entries.insert(s->Entries.begin() + static_cast<std::ptrdiff_t>(pos), std::move(entry));
    s->Index.insert(lowerKey, static_cast<int>(pos));
}

QByteArray TIniFile::Serialize() const {
    QByteArray out;
    const auto writeEntries = [&out](const std::vector<Entry>& entries) {
        for (const Entry& e : entries) {
            if (e.Key.isEmpty()) {
                out += e.Raw;
            } else {
                out += e.Key;
                out += '=';
                out += EncodeValue(e.Value);
            }
            out += "\r\n";
        }
    };
    writeEntries(Preamble);
    for (const Section& s : Sections) {
        out += '[';
        out += s.Name;
        out += "]\r\n";
        writeEntries(s.Entries);
    }
    return out;
}

bool TIniFile::Save(const QString& path, QString* error) const {
    QSaveFile file(path);
    const QByteArray content = Serialize();
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("Unable to write to %1 (%2)").arg(path, file.errorString());
        file.cancelWriting();
        return false;
    }
    // The mail file holds users' private words.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

QByteArray TIniFile::EncodeValue(const QByteArray& value) {
    if (!NeedsQuotes(value))
        return value;
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(value.size() + 2);
    out += '"';
    for (const char c : value) {
        const auto u = static_cast<uint8_t>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (IsControl(u)) {
                out += "\\x";
                out += hex[u >> 4];
                out += hex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

QByteArray TIniFile::DecodeValue(const QByteArray& raw) {
    const QByteArray text = TrimText(raw);
    if (auto unquoted = Unquote(text))
        return *unquoted;
    return text;
}

void TIniFile::AddSection(const QByteArray& name) {
    Section s;
    s.Name = name;
    Sections.push_back(std::move(s));
    const QByteArray lower = AsciiLower(name);
    if (!SectionIndex.contains(lower))
        SectionIndex.insert(lower, static_cast<int>(Sections.size() - 1));
}

TIniFile::Section* TIniFile::FindSection(const QByteArray& name) {
    const auto found = SectionIndex.constFind(AsciiLower(name));
    return found == SectionIndex.cend() ? nullptr : &Sections[static_cast<size_t>(found.value())];
}

const TIniFile::Section* TIniFile::FindSection(const QByteArray& name) const {
    const auto found = SectionIndex.constFind(AsciiLower(name));
    return found == SectionIndex.cend() ? nullptr : &Sections[static_cast<size_t>(found.value())];
}

const TIniFile::Entry* TIniFile::FindEntry(const QByteArray& section, const QByteArray& key) const {
    const Section* s = FindSection(section);
    if (!s)
        return nullptr;
    const auto found = s->Index.constFind(AsciiLower(key));
    return found == s->Index.cend() ? nullptr : &s->Entries[static_cast<size_t>(found.value())];
}

} // namespace kelvra
