#pragma once
// The settings store: named string values in sections of the program's key,
// kept in an INI file (TSettingsFile): per user that is
// $XDG_CONFIG_HOME/<CompanyName>/<ProgramName>.conf. Every value is a string;
// integers and booleans are converted when read. Lines of the file that are
// not ours (comments, unknown values and groups) survive every save, a file
// that is not a settings file is never written, and the file is kept readable
// by its owner only.
#include "SettingsFile.h"

#include <QHash>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kelvra {

class TRegLink {
public:
    // The per-user store for the company and program names.
    TRegLink(const QString& companyName = QStringLiteral("Dravenholt"),
             const QString& programName = QStringLiteral("Kelvra Chat Server"));
    // A store in an explicit INI file (tests, kelvra-serverd --settings).
    static std::unique_ptr<TRegLink> AtPath(const QString& filePath);
    ~TRegLink();

    QString FilePath() const { return Path; }

    // Reads the file and checks that it can be written back. Refused: it is
    // not a settings file or cannot be read; it is then never written and
    // reads give their defaults. NotWritable: reads work, writes fail. The
    // message names the file and says why.
    enum class TOpenResult { Ok, NotWritable, Refused };
    TOpenResult Open(QString* message);
    // Reads the file again now. False with the reason when it cannot be read
    // or is no longer a settings file; what was read before then stays.
    bool Reload(QString* error);

    // A read-only configuration that decides some values instead of this
    // store: its sections Server, Files, TLS, Limits and Web, and this store's
    // "Logfile", "Mailfile" (Files/LoginLog, Files/MailFile), Main/Home and
    // Main/Password (Server/Bind, Server/Password). Reads of those never look
    // at this store; a value the configuration lacks reads as its default.
    void SetConfiguration(std::shared_ptr<const TSettingsFile> config);
    const TSettingsFile* Configuration() const { return Config.get(); }

    // Reads return the default when the section or the value is missing.
    QString ReadString(const QString& section, const QString& name, const QString& def) const;
    int32_t ReadInteger(const QString& section, const QString& name, int32_t def) const;
    bool ReadBool(const QString& section, const QString& name, bool def) const;

    // Writes are kept until Flush; each returns false (with LastError) when the
    // store cannot take it.
    bool WriteString(const QString& section, const QString& name, const QString& value);
    bool WriteInteger(const QString& section, const QString& name, int32_t value);
    bool WriteBool(const QString& section, const QString& name, bool value);

    // Stores every write made so far, on top of the file as it is on disk now
    // (edits made meanwhile by hand stay). False with LastError "Failed to set
    // data for '<name>'" (name of the first value written since the last
    // flush) when the file cannot be written. Either way the writes are done
    // with: a failure ends only this sequence, and the next one starts afresh.
    bool Flush();
    QString LastError() const { return Error; }

    // Integer text conversion: longer than two characters and starting with
    // "0x" or "0X" is hexadecimal, anything else signed decimal; def otherwise.
    static int32_t ConvertInteger(const QString& text, int32_t def);

private:
    struct TAtPath {};
    TRegLink(TAtPath, QString path) : Path(std::move(path)) {}
    std::optional<QString> Lookup(const QString& section, const QString& name) const;
    // Reads the file when it changed on disk since it was last read: the store
    // keeps no values of its own between reads.
    void Refresh() const;
    // Tells one version of the file from another; empty when there is none.
    static QByteArray FileIdentity(const QString& path);

    struct TWrite {
        QString Section, Name, Value;
    };

    QString Path;
    mutable TSettingsFile Doc;
    mutable QByteArray DocIdentity;
    mutable bool Loaded = false;
    mutable QString Refusal; // why the file on disk is not taken, while it is not
    std::shared_ptr<const TSettingsFile> Config;
    std::vector<TWrite> Pending;         // writes since the last flush, in order
    QHash<QString, size_t> PendingIndex; // lower-cased section "\n" name -> last of them
    QString Error;
};

} // namespace kelvra
