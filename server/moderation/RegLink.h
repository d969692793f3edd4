#pragma once
// The settings store: named string values in sections of the program's key.
// Stored with QSettings in the native format, so on Linux the file is
// $XDG_CONFIG_HOME/<CompanyName>/<ProgramName>.conf with the program key's own
// values in [General] and each section a group of its name. Every value is a
// string; integers and booleans are converted when read. The file holds the
// server password and is kept readable by its owner only.
#include <QString>
#include <cstdint>
#include <memory>

class QSettings;
class QVariant;

namespace kelvra {

class TRegLink {
public:
    // The per-user store for the company and program names.
    TRegLink(const QString& companyName = QStringLiteral("Dravenholt"),
             const QString& programName = QStringLiteral("Kelvra Chat Server"));
    // A store in an explicit INI file (tests, kelvra-serverd --settings).
    static std::unique_ptr<TRegLink> AtPath(const QString& filePath);
    ~TRegLink();

    QString FilePath() const;

    // Reads return the default when the section or the value is missing.
    QString ReadString(const QString& section, const QString& name, const QString& def) const;
    int32_t ReadInteger(const QString& section, const QString& name, int32_t def) const;
    bool ReadBool(const QString& section, const QString& name, bool def) const;

    // Writes are kept until Flush; each returns false (with LastError) when the
    // store cannot take it.
    bool WriteString(const QString& section, const QString& name, const QString& value);
    bool WriteInteger(const QString& section, const QString& name, int32_t value);
    bool WriteBool(const QString& section, const QString& name, bool value);

    // Stores every write made so far and makes the file owner-only. False with
    // LastError "Failed to set data for '<name>'" (name of the first value
    // written since the last flush) when the file cannot be written. Either way
    // the writes are done with: a failure ends only this sequence, and the next
    // one starts afresh. Lines of the file that are not values are dropped.
    bool Flush();
    QString LastError() const { return Error; }

    // Integer text conversion: longer than two characters and starting with
    // "0x" or "0X" is hexadecimal, anything else signed decimal; def otherwise.
    static int32_t ConvertInteger(const QString& text, int32_t def);

private:
    explicit TRegLink(std::unique_ptr<QSettings> settings);
    static QString Key(const QString& section, const QString& name);
    static QString Text(const QVariant& value, const QString& def);
    // Tells one file at the path from another put in its place; empty when
    // there is none.
    static QByteArray FileIdentity(const QString& path);

    std::unique_ptr<QSettings> Settings;
    QString Error;
    QString FirstUnflushed;
    bool HasUnflushed = false; // writes made since the last flush
    QByteArray FileBefore;     // FileIdentity when the first of them was made
};

} // namespace kelvra
