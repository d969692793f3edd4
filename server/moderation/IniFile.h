#pragma once
// A profile (INI) file: sections and keys compared without case, first match
// wins; a write replaces the value in place or appends the key, creating the
// section when needed. The whole file is held in memory and saved atomically.
//
// Values are single-byte text. A value that would not survive a plain line
// (leading or trailing blanks, line breaks or other control characters, a
// leading double quote) is written in double quotes with backslash escapes
// (\\ \" \n \r \t \xHH); a quoted value is read back without its quotes, as the
// profile functions themselves do.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <vector>

namespace kelvra {

// One line of a profile file (without its line break) as the reader sees it.
struct TIniLine {
    enum class TKind { Other, Section, Key };
    TKind Kind = TKind::Other;
    QByteArray Name;     // the section's or the key's name, trimmed
    QByteArray RawValue; // a key's value as written, trimmed (DecodeValue gives the text)
};

class TIniFile {
public:
    // Reads the file. A missing file is an empty file and not an error.
    bool Load(const QString& path, QString* error = nullptr);
    // Parses file content (lines ended by CR LF or LF).
    void Parse(const QByteArray& content);

    QByteArray ReadString(const QByteArray& section, const QByteArray& key,
                          const QByteArray& defaultValue = {}) const;
    bool HasKey(const QByteArray& section, const QByteArray& key) const;
    void WriteString(const QByteArray& section, const QByteArray& key, const QByteArray& value);

    // File content, lines ended by CR LF.
    QByteArray Serialize() const;
    // Writes to a temporary file beside `path` and renames it over the old one,
    // so a failed save leaves the old file intact.
    bool Save(const QString& path, QString* error = nullptr) const;

    static TIniLine ClassifyLine(const QByteArray& line);
    static QByteArray EncodeValue(const QByteArray& value);
    static QByteArray DecodeValue(const QByteArray& raw);

private:
    struct Entry {
        QByteArray Key;   // empty for a line that is not key=value (kept verbatim)
        QByteArray Value; // decoded
        QByteArray Raw;   // the original line, for lines that are not key=value
    };
    struct Section {
        QByteArray Name;
        std::vector<Entry> Entries;
        QHash<QByteArray, int> Index; // lower-cased key -> first entry with it
    };
    void AddSection(const QByteArray& name);
    Section* FindSection(const QByteArray& name);
    const Section* FindSection(const QByteArray& name) const;
    const Entry* FindEntry(const QByteArray& section, const QByteArray& key) const;

    std::vector<Entry> Preamble; // lines before the first section
    std::vector<Section> Sections;
    QHash<QByteArray, int> SectionIndex; // lower-cased name -> first section with it
};

} // namespace kelvra
