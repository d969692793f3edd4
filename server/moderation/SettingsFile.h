#pragma once
// A settings file in the INI layout that the console has always written: the
// program key's own values in [General], each section a group of its name,
// every value a string. Sections and names are compared without case and the
// last of several equal names counts, as before.
//
// Edited in place: a write replaces the value of its line or adds a line, and
// every other line (comments starting with # or ;, values and groups this
// program does not know, blank lines) is written back byte for byte.
//
// Escapes are those the file has always had, so older files read back the
// same: names keep letters, digits, "_", "-" and "." and write any other
// character as %XX (or %UXXXX), "/" as "\"; values escape \ " and control
// characters with backslashes, are quoted when they hold ; , = or start or end
// with a blank, and a leading "@" is doubled.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace kelvra {

class TSettingsFile {
public:
    // Larger files are not taken for settings.
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;

    // Reads the file; a missing file is an empty one. False, with a message
    // naming the file, when it cannot be read or is not a settings file:
    // binary content, no group header, or a line that is neither a group
    // header, a value nor a comment. The document is then left as it was.
    bool Load(const QString& path, QString* error);
    // The same for content in memory; why says what is wrong with it.
    bool Parse(const QByteArray& content, QString* why);

    // Section "" is the program's own values ([General]).
    std::optional<QString> Value(const QString& section, const QString& name) const;
    bool HasSection(const QString& section) const;
    // The sections that hold values, and the names of a section's values, as
    // written in the file (for telling an operator what is not read).
    QStringList SectionNames() const;
    QStringList Names(const QString& section) const;
    void SetValue(const QString& section, const QString& name, const QString& value);

    QByteArray Serialize() const;
    // Writes the whole file to a temporary beside it and renames that over
    // the old one, creating missing folders; the file is readable by its
    // owner only from the moment it exists.
    bool Save(const QString& path, QString* error) const;

    static QByteArray EscapeName(const QString& name);
    static QString UnescapeName(const QByteArray& raw);
    static QByteArray EscapeValue(const QString& value);
    // A value as stored after "=": unquoted, unescaped; a list of values
    // separated by unquoted commas is joined with ",".
    static std::optional<QString> UnescapeValue(const QByteArray& raw);

private:
    struct Line {
        QByteArray Raw;     // the line as in the file, without its end
        QByteArray RawName; // a value line's name as written; empty for other lines
        QString Name;       // a value line's name, unescaped
        std::optional<QString> Value;
    };
    struct Section {
        QByteArray Header; // the header line as written; empty for the lines before any
        QString Name;
        std::vector<Line> Lines;
    };
    static QString Key(const QString& section, const QString& name);
    void Index(size_t section, size_t line);
    size_t AddSection(const QString& name);
    void Reindex();

    std::vector<Section> Sections; // the first holds the lines before any header
    // Lower-cased section "\n" name -> (section, line) of the last such value.
    QHash<QString, std::pair<size_t, size_t>> Values;
    // Lower-cased section -> the last section of that name.
    QHash<QString, size_t> SectionIndex;
    QByteArray Bom;
    QByteArray LineEnd = "\n";
};

// Why a file at path could not be written, or empty when it can. Replace:
// written whole to a temporary beside it and renamed over it (the folder must
// take new files; missing folders are created when createFolders is set).
// Append: opened and appended to, created when missing.
enum class TWriteMode { Replace, Append };
QString PathWriteProblem(const QString& path, TWriteMode mode, bool createFolders = false);

} // namespace kelvra
